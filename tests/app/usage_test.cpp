#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "app/Usage.h"
#include "support/Text.h"

namespace {

const char* const kHeader =
    "\nApplication Usage:\nUpdater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n    [-s serial_port] [-o baud_rate]\n\n"
    "  Corvalith Update and Maintenance Application\n    -H -h or --help for full usage information.\n\n";

// The line after the first one that begins with prefix.
size_t sFind(const std::vector<std::string>& lines, const std::string& prefix) {
  for (size_t i = 0; i < lines.size(); i++) {
    if (lines[i].rfind(prefix, 0) == 0) return i;
  }
  return lines.size();
}

TEST(UsageTest, VersionLineAndMakerNotice) {
  std::string version = VersionLine();
  EXPECT_TRUE(std::regex_match(version, std::regex(R"(Updater \(Version: [0-9]+\.[0-9]+\.[0-9]+ )"
                                                   R"([A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}\))")))
      << version;
  std::string year = std::string(__DATE__).substr(7);
  EXPECT_EQ(MakerNotice(), "(Copyright (c) 2019-" + year + " Tessaron)");
}

TEST(UsageTest, ShortFormIsTheHeader) {
  EXPECT_EQ(UsageText(false, false), kHeader);
  EXPECT_EQ(UsageText(false, true), kHeader);
}

TEST(UsageTest, LongFormEntriesAreAligned) {
  std::string text = UsageText(true, true);
  ASSERT_EQ(text.rfind(kHeader, 0), 0u);
  std::vector<std::string> lines = SplitLines(text.substr(std::string(kHeader).size()));
  std::regex entry("     [-][^ ].{0,23} *- .+");
  size_t entries = 0;
  for (const std::string& line : lines) {
    if (line.rfind("     -", 0) == 0) {
      entries++;
      EXPECT_TRUE(std::regex_match(line, entry)) << line;
      EXPECT_EQ(line.substr(30, 2), "- ") << "option column padded to 25: " << line;
    }
  }
  EXPECT_EQ(entries, 25u);

  size_t i = sFind(lines, "     -i <tessaron_directory>");
  ASSERT_LT(i + 1, lines.size());
  EXPECT_EQ(lines[i],
            "     -i <tessaron_directory>  - The Tessaron directory used for storage of firmware files.");
  EXPECT_EQ(lines[i + 1], std::string(32, ' ') + "[Default: ~/.tessaron ].");
}

TEST(UsageTest, BlankLinesFollowTheNamedEntries) {
  std::vector<std::string> lines = SplitLines(UsageText(true, true));
  for (const char* option : {"-B", "-L", "-D", "-G", "-H or -h", "-e", "-I", "-OVERRIDE", "-N", "-X", "-C"}) {
    size_t i = sFind(lines, std::string("     ") + option + " ");
    ASSERT_LT(i, lines.size()) << option;
    size_t j = i + 1;
    while (j < lines.size() && lines[j].rfind(std::string(32, ' '), 0) == 0) j++;
    ASSERT_LT(j, lines.size()) << option;
    EXPECT_EQ(lines[j], "") << option;
  }
  for (const char* option : {"-U", "-J", "-m", "-d"}) {
    size_t i = sFind(lines, std::string("     ") + option + " ");
    ASSERT_LT(i + 1, lines.size()) << option;
    size_t j = i + 1;
    while (j < lines.size() && lines[j].rfind(std::string(32, ' '), 0) == 0) j++;
    EXPECT_NE(lines[j], "") << option;
  }
}

// Only the named entries are followed by a blank line, so a heading after an
// entry without one follows it directly.
TEST(UsageTest, HeadingsFollowTheirBlocksWithoutExtraBlankLines) {
  const std::string in(32, ' ');
  struct Case {
    bool extended;
    const char* heading;
    std::string before;
  } cases[] = {
      {false, "  Parameters to commands:", ""},
      {false, "  Commands:", in + "(2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)"},
      {false, " Sample usage:", ""},
      {true, "  Extended Parameters:", ""},
      {true, "  Extended Commands:", in + "Default:127.0.0.1:8490"},
      {true, " Sample usage:", ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> lines = SplitLines(UsageText(true, c.extended));
    size_t i = sFind(lines, c.heading);
    ASSERT_LT(i, lines.size()) << c.heading;
    ASSERT_GT(i, 0u) << c.heading;
    EXPECT_EQ(lines[i], c.heading);
    EXPECT_EQ(lines[i - 1], c.before) << c.heading;
  }
  std::vector<std::string> lines = SplitLines(UsageText(true, true));
  size_t u = sFind(lines, "     -u <host:port>");
  ASSERT_LT(u + 1, lines.size());
  EXPECT_EQ(lines[u], "     -u <host:port>           - The hostname and port of the update server");
  EXPECT_EQ(lines[sFind(lines, "     -m ")],
            "     -m                       - Attemps to use UEIBytes for faster loading");
}

TEST(UsageTest, ExtendedBlocksOnlyWhenAsked) {
  std::string plain = UsageText(true, false);
  std::string extended = UsageText(true, true);
  for (const char* heading : {"  Parameters to commands:", "  Commands:", " Sample usage:",
                              " Sample usage for network discovery and updates:"}) {
    EXPECT_NE(plain.find(heading), std::string::npos) << heading;
    EXPECT_NE(extended.find(heading), std::string::npos) << heading;
  }
  for (const char* heading : {"  Extended Parameters:", "  Extended Commands:", "-OVERRIDE", "DEBUG_APP"}) {
    EXPECT_EQ(plain.find(heading), std::string::npos) << heading;
    EXPECT_NE(extended.find(heading), std::string::npos) << heading;
  }
  EXPECT_NE(extended.find("Default:[APP.log]"), std::string::npos);
  EXPECT_NE(extended.find("Default:127.0.0.1:8490"), std::string::npos);
}

TEST(UsageTest, LogPackagesListedInGroups) {
  std::vector<std::string> lines = SplitLines(UsageText(true, true));
  size_t i = sFind(lines, "     -X <BIT_MASK>");
  ASSERT_LT(i + 21, lines.size());
  const std::string in(32, ' ');
  std::vector<std::string> expected = {
      in + "DEBUG_Updater       0x00000001",
      in + "DEBUG_History       0x00000002",
      in + "DEBUG_Attributes    0x00000004",
      in + "DEBUG_BirdFile      0x00000008",
      in + "DEBUG_Network       0x00000010",
      in + "DEBUG_ServerComm    0x00000020",
      "",
      in + "DEBUG_Network       0x00000100",
      in + "DEBUG_Network_SR    0x00000200",
      in + "DEBUG_Network_FIRM  0x00000400",
      "",
      in + "DEBUG_NXPSerial     0x00001000",
      in + "DEBUG_NXPSerial_E   0x00002000",
      in + "DEBUG_NXPSerial_SR  0x00004000",
      "",
      in + "DEBUG_APP           0x00010000",
      "",
      in + "DEBUG_iMXSerial     0x10000000",
      "",
  };
  std::vector<std::string> actual(
      lines.begin() + static_cast<long>(i) + 1,
      lines.begin() + static_cast<long>(i) + 1 + static_cast<long>(expected.size()));
  EXPECT_EQ(actual, expected);
}

TEST(UsageTest, SamplesPaddedTo31) {
  std::vector<std::string> lines = SplitLines(UsageText(true, false));
  size_t i = sFind(lines, " Sample usage:");
  ASSERT_LT(i + 1, lines.size());
  EXPECT_EQ(lines[i + 1].substr(0, 31), "  -D                           ");
  EXPECT_NE(lines[i + 1].substr(31, 1), " ");
  size_t recover = sFind(lines, "  -U -t RECOVER -s /dev/serial");
  ASSERT_LT(recover, lines.size());
  EXPECT_GT(lines[recover].size(), 31u) << "fits before column 31, so the explanation follows";
  size_t last = sFind(lines, "  -G -U -d 2181F0EE -r D272031D");
  ASSERT_LT(last + 1, lines.size());
  EXPECT_EQ(lines[last], "  -G -U -d 2181F0EE -r D272031D") << "too long: explanation on the next line";
  EXPECT_EQ(lines[last + 1].substr(0, 31), std::string(31, ' '));
  EXPECT_NE(lines[last + 1].substr(31, 1), " ");
}

}  // namespace
