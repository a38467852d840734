#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "app/Parameters.h"
#include "support/LogCapture.h"
#include "support/RecordingDisplay.h"
#include "support/TempFiles.h"

namespace {

struct Parsed {
  ParseResult result;
  RecordingDisplay display;
};

// Parses "Updater <words>" with the log captured; every test starts from an
// empty mask.
std::unique_ptr<Parsed> sParse(std::initializer_list<const char*> words) {
  auto parsed = std::make_unique<Parsed>();
  std::vector<const char*> argv{"/usr/local/bin/Updater"};
  argv.insert(argv.end(), words.begin(), words.end());
  parsed->result = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), parsed->display);
  return parsed;
}

class ParametersTest : public ::testing::Test {
 protected:
  LogCapture log;
};

TEST_F(ParametersTest, DefaultsWithoutOptions) {
  auto p = sParse({});
  ASSERT_TRUE(p->result.ok);
  const Parameters& r = p->result.params;
  EXPECT_EQ(r.commands.Word(), 0u);
  EXPECT_EQ(r.serialNumber, 0u);
  EXPECT_EQ(r.transport, 1u);
  EXPECT_FALSE(r.transportGiven);
  EXPECT_EQ(r.baudRate, 115200u);
  EXPECT_EQ(r.serverUrl, "http://127.0.0.1:8490/cgi/u");
  EXPECT_EQ(r.logMode, "a+");
  EXPECT_EQ(r.logFile, "Updater.log");
  EXPECT_TRUE(r.ueiBytesLoad);
  EXPECT_FALSE(r.override);
  EXPECT_EQ(r.applicationName, "Updater");
  EXPECT_TRUE(p->display.info.empty());
  EXPECT_TRUE(p->display.errors.empty());
}

TEST_F(ParametersTest, ApplicationNameIsLastPathComponentForEitherSeparator) {
  RecordingDisplay display;
  const char* unixArgv[] = {"/opt/x/Updater"};
  EXPECT_EQ(ParseCommandLine(1, unixArgv, display).params.applicationName, "Updater");
  const char* dosArgv[] = {"C:\\tools\\Upd.exe"};
  EXPECT_EQ(ParseCommandLine(1, dosArgv, display).params.applicationName, "Upd.exe");
  const char* bareArgv[] = {"Updater"};
  EXPECT_EQ(ParseCommandLine(1, bareArgv, display).params.applicationName, "Updater");
}

TEST_F(ParametersTest, CommandBitsAccumulate) {
  auto p = sParse({"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J", "-Z", "x", "-D"});
  ASSERT_TRUE(p->result.ok);
  EXPECT_EQ(p->result.params.commands.Word(), 0x3FFu);
  EXPECT_TRUE(p->result.params.commands.IsSet(CMD_JWT | CMD_HELP));
  EXPECT_FALSE(p->result.params.commands.IsSet(CMD_HELP));
}

TEST_F(ParametersTest, MatchOptionPrefixesExactnessAndAmbiguity) {
  const OptionDef table[] = {{"-verbose", OptionGroup::Parameter, false},
                             {"-version", OptionGroup::Parameter, false},
                             {"-v", OptionGroup::Parameter, false},
                             {"--help", OptionGroup::Help, false},
                             {"-hex", OptionGroup::Parameter, true}};
  const size_t n = sizeof(table) / sizeof(table[0]);
  EXPECT_EQ(MatchOption("-v", table, n).def, &table[2]) << "an exact name wins over longer entries";
  EXPECT_EQ(MatchOption("-ver", table, n).kind, OptionMatch::Ambiguous);
  EXPECT_EQ(MatchOption("-verb", table, n).def, &table[0]);
  EXPECT_EQ(MatchOption("-vers", table, n).def, &table[1]);
  EXPECT_EQ(MatchOption("--he", table, n).def, &table[3]);
  EXPECT_EQ(MatchOption("-he", table, n).def, &table[4]) << "dash count separates -hex from --help";
  EXPECT_EQ(MatchOption("---help", table, n).kind, OptionMatch::Unknown);
  EXPECT_EQ(MatchOption("-V", table, n).kind, OptionMatch::Unknown) << "matching is case-sensitive";
  EXPECT_EQ(MatchOption("-", table, n).kind, OptionMatch::NotOption);
  EXPECT_EQ(MatchOption("--", table, n).kind, OptionMatch::NotOption);
  EXPECT_EQ(MatchOption("plain", table, n).kind, OptionMatch::NotOption);
  OptionMatch eq = MatchOption("-hex=12=3", table, n);
  EXPECT_EQ(eq.def, &table[4]);
  EXPECT_EQ(eq.typed, "-hex");
  EXPECT_TRUE(eq.hasInlineValue);
  EXPECT_EQ(eq.inlineValue, "12=3");
}

TEST_F(ParametersTest, RealTablePrefixes) {
  size_t n = 0;
  const OptionDef* table = UpdaterOptionTable(&n);
  EXPECT_STREQ(MatchOption("-OVER", table, n).def->name, "-OVERRIDE");
  EXPECT_STREQ(MatchOption("--h", table, n).def->name, "--help");
  EXPECT_STREQ(MatchOption("-h", table, n).def->name, "-h");
  EXPECT_EQ(MatchOption("-help", table, n).kind, OptionMatch::Unknown);
  EXPECT_EQ(MatchOption("-Q", table, n).kind, OptionMatch::Unknown);
}

TEST_F(ParametersTest, EveryRealOptionButHelpHasAHandler) {
  size_t n = 0;
  const OptionDef* table = UpdaterOptionTable(&n);
  ASSERT_EQ(n, 30u);
  size_t help = 0;
  for (size_t i = 0; i < n; ++i) {
    const bool isHelp = table[i].group == OptionGroup::Help;
    help += isHelp ? 1 : 0;
    EXPECT_EQ(table[i].handle == nullptr, isHelp) << table[i].name;
  }
  EXPECT_EQ(help, 3u) << "-h, -H and --help";
}

TEST_F(ParametersTest, ValuesFromNextWordOrEquals) {
  auto p = sParse({"-d=40F5849A", "-s", "/dev/ttyUSB0", "-f=a=b.bird", "-u", "http://127.0.0.1:9/cgi/u"});
  ASSERT_TRUE(p->result.ok);
  EXPECT_EQ(p->result.params.serialNumber, 0x40F5849Au);
  EXPECT_EQ(p->result.params.serialPort, "/dev/ttyUSB0");
  EXPECT_EQ(p->result.params.birdFile, "a=b.bird");
  EXPECT_EQ(p->result.params.serverUrl, "http://127.0.0.1:9/cgi/u");
}

TEST_F(ParametersTest, ParserErrorsAreDroppedSilently) {
  // -d takes no dash word, so -D after it is an option; -s at the end has no
  // value; -D=1 gives a value to an option without one; -Q is unknown.
  auto p = sParse({"-d", "-D", "stray", "-Q", "-B=1", "-s"});
  ASSERT_TRUE(p->result.ok);
  EXPECT_EQ(p->result.params.serialNumber, 0u);
  EXPECT_EQ(p->result.params.commands.Word(), CMD_DISCOVER);
  EXPECT_TRUE(p->result.params.serialPort.empty());
  EXPECT_TRUE(p->display.errors.empty());
  EXPECT_TRUE(p->display.info.empty());
}

TEST_F(ParametersTest, RepeatedOptionsLastValueWins) {
  auto p = sParse({"-d", "1111", "-s", "a", "-d", "2222", "-s", "b", "-b", "5", "-b", "6"});
  ASSERT_TRUE(p->result.ok);
  EXPECT_EQ(p->result.params.serialNumber, 0x2222u);
  EXPECT_EQ(p->result.params.serialPort, "b");
  EXPECT_EQ(p->result.params.build, "6");
}

TEST_F(ParametersTest, HexSerialNumbers) {
  Log::ActivatePackage(DEBUG_Updater);
  EXPECT_EQ(sParse({"-d", "0x40F5849A"})->result.params.serialNumber, 0x40F5849Au);
  EXPECT_EQ(sParse({"-d", "0X40f5849a"})->result.params.serialNumber, 0x40F5849Au);
  EXPECT_EQ(sParse({"-d", "40F5849A"})->result.params.serialNumber, 0x40F5849Au);
  EXPECT_EQ(sParse({"-r", "0xD272031D"})->result.params.routerSerialNumber, 0xD272031Du);
  EXPECT_EQ(log.text(),
            "Discarding '0x' serial number prefix\nDiscarding '0x' serial number prefix\n"
            "Discarding '0x' router serial number prefix\n");

  struct Bad {
    const char* option;
    const char* word;
    const char* message;
  } bad[] = {
      {"-d", "40F5849Z", "Invalid serial number obtained from argument [40F5849Z]"},
      {"-d", "0", "Invalid serial number obtained from argument [0]"},
      {"-d", "0x", "Invalid serial number obtained from argument []"},
      {"-d", "0x0x12", "Invalid serial number obtained from argument [0x12]"},
      {"-d", " 12", "Invalid serial number obtained from argument [ 12]"},
      // Nine digits would otherwise wrap to another device's number.
      {"-d", "140F5849A", "Invalid serial number obtained from argument [140F5849A]"},
      {"-r", "xyz", "Invalid router serial number obtained from argument [xyz]"},
  };
  for (const Bad& b : bad) {
    auto p = sParse({b.option, b.word});
    EXPECT_FALSE(p->result.ok) << b.word;
    ASSERT_EQ(p->display.errors.size(), 1u) << b.word;
    EXPECT_EQ(p->display.errors[0], b.message);
  }
  EXPECT_EQ(sParse({"-d", "00000000FFFFFFFF"})->result.params.serialNumber, 0xFFFFFFFFu)
      << "leading zeros do not count as overflow";
}

TEST_F(ParametersTest, DecimalArguments) {
  EXPECT_EQ(sParse({"-b", "99528558"})->result.params.build, "99528558");
  EXPECT_EQ(sParse({"-b", "007"})->result.params.build, "7");
  EXPECT_EQ(sParse({"-b", "12a"})->result.params.build, "0");
  EXPECT_EQ(sParse({"-b", "4294967296"})->result.params.build, "0");
  EXPECT_EQ(sParse({"-o", "9600"})->result.params.baudRate, 9600u);
  auto bad = sParse({"-o", "fast", "-b", "x"});
  EXPECT_TRUE(bad->result.ok) << "neither -o nor -b reports bad digits";
  EXPECT_EQ(bad->result.params.baudRate, 0u);
  EXPECT_TRUE(bad->display.errors.empty());
}

TEST_F(ParametersTest, LogMaskActivatesOnlyWhenFullyConverted) {
  auto hex = sParse({"-X", "0x20"});
  EXPECT_TRUE(hex->result.ok);
  EXPECT_EQ(hex->result.params.logMask, 0x20u);
  EXPECT_TRUE(hex->result.params.logMaskGiven);
  EXPECT_EQ(Log::package_bitmask, 0x20u);

  auto dec = sParse({"-X=65536"});
  EXPECT_EQ(dec->result.params.logMask, 0x10000u);
  EXPECT_EQ(Log::package_bitmask, 0x10020u) << "activation ORs into the mask";

  Log::package_bitmask = 0;
  auto bad = sParse({"-X", "0x1G"});
  EXPECT_TRUE(bad->result.ok) << "a bad mask does not fail the parse";
  EXPECT_TRUE(bad->result.params.logMaskGiven);
  EXPECT_EQ(bad->result.params.logMask, 1u);
  EXPECT_EQ(Log::package_bitmask, 0u);
  ASSERT_EQ(bad->display.errors.size(), 1u);
  EXPECT_EQ(bad->display.errors[0], "Invalid format for \"-X\" parameter, unprocessed characters [G]");

  auto hexInDecimal = sParse({"-X", "12ab"});
  ASSERT_EQ(hexInDecimal->display.errors.size(), 1u);
  EXPECT_EQ(hexInDecimal->display.errors[0],
            "Invalid format for \"-X\" parameter, unprocessed characters [ab]");
  auto overflow = sParse({"-X", "0x100000000"});
  ASSERT_EQ(overflow->display.errors.size(), 1u);
  EXPECT_EQ(Log::package_bitmask, 0u);
}

TEST_F(ParametersTest, HelpEndsParsingAtOnce) {
  auto first = sParse({"-h", "-X", "0x10000", "-Y"});
  EXPECT_TRUE(first->result.ok);
  EXPECT_TRUE(first->result.params.helpRequested);
  EXPECT_TRUE(first->result.params.commands.IsSet(CMD_HELP));
  EXPECT_FALSE(first->result.params.logMaskGiven) << "words after help are not read";
  EXPECT_TRUE(first->display.errors.empty());

  auto after = sParse({"-X", "0x10000", "--help"});
  EXPECT_TRUE(after->result.params.logMaskGiven);
  EXPECT_TRUE(after->result.params.helpRequested);
  EXPECT_TRUE(sParse({"--he"})->result.params.helpRequested);
  EXPECT_TRUE(sParse({"-H"})->result.params.helpRequested);
}

TEST_F(ParametersTest, OverrideNeedsEightCharacters) {
  EXPECT_TRUE(sParse({"-OVERRIDE"})->result.params.override);
  EXPECT_TRUE(sParse({"-OVERRID"})->result.params.override);
  auto shortForm = sParse({"-OVER"});
  EXPECT_FALSE(shortForm->result.ok);
  EXPECT_FALSE(shortForm->result.params.override);
  ASSERT_EQ(shortForm->display.errors.size(), 1u);
  EXPECT_EQ(shortForm->display.errors[0], "Invalid format for firmware update override parameter [-OVER]");
  EXPECT_FALSE(sParse({"-O"})->result.ok);
}

TEST_F(ParametersTest, TransportTypes) {
  struct Case {
    const char* word;
    uint32_t transport;
    bool ok;
  } cases[] = {{"USB", 1, true},  {"TCP", 2, true},  {"TCPIP", 2, true}, {"RECOVER", 255, true},
               {"USB3", 1, true}, {"tcp", 0, false}, {"", 0, false},     {"SERIAL", 0, false}};
  for (const Case& c : cases) {
    auto p = sParse({"-t", c.word});
    EXPECT_EQ(p->result.ok, c.ok) << c.word;
    EXPECT_EQ(p->result.params.transport, c.transport) << c.word;
    EXPECT_TRUE(p->result.params.transportGiven) << c.word;
    if (!c.ok) {
      ASSERT_EQ(p->display.errors.size(), 1u);
      EXPECT_EQ(p->display.errors[0], std::string("Invalid transport type:[") + c.word +
                                          "]\nMust be one of the following: USB, TCPIP, RECOVER");
    }
  }
}

TEST_F(ParametersTest, UnhandledCommandAndAllErrorsShown) {
  auto p = sParse({"-Y", "-d", "zz", "-t", "x", "-D"});
  EXPECT_FALSE(p->result.ok);
  ASSERT_EQ(p->display.errors.size(), 3u) << "parsing goes on after an error";
  EXPECT_EQ(p->display.errors[0], "Unhandled command: [-Y]");
  EXPECT_TRUE(p->result.params.commands.IsSet(CMD_DISCOVER));
}

TEST_F(ParametersTest, FlagsAndPlainStrings) {
  auto p = sParse({"-m", "0", "-e", "-n", "-l", "note", "-i", "/tmp/store", "-Z", "ignored"});
  ASSERT_TRUE(p->result.ok);
  EXPECT_FALSE(p->result.params.ueiBytesLoad);
  EXPECT_TRUE(p->result.params.echo);
  EXPECT_TRUE(p->result.params.flagN);
  EXPECT_EQ(p->result.params.logMessage, "note");
  EXPECT_EQ(p->result.params.storeDirectory, "/tmp/store");
  EXPECT_TRUE(p->result.params.commands.IsSet(CMD_Z));
  EXPECT_TRUE(sParse({"-m", "1"})->result.params.ueiBytesLoad);
  EXPECT_TRUE(sParse({"-m", "trueish"})->result.params.ueiBytesLoad);
  EXPECT_FALSE(sParse({"-m", "TRUE"})->result.params.ueiBytesLoad);
  EXPECT_FALSE(sParse({"-Z"})->result.params.commands.IsSet(CMD_Z)) << "-Z needs its (ignored) value";
}

TEST_F(ParametersTest, ParametersAreLoggedUnderTheAppPackage) {
  sParse({"-D"});
  EXPECT_EQ(log.text(), "") << "nothing without -X";
  auto p = sParse({"-X", "0x10000", "-D", "x y"});
  EXPECT_EQ(log.text(), "\nApplication parameters:[Updater]\n\t[-X]\n\t[0x10000]\n\t[-D]\n\t[x y]\n");
}

TEST_F(ParametersTest, LogFileOptionRedirectsTheLog) {
  TempDir dir;
  std::string path = dir / "debug.log";
  {
    std::ofstream(path) << "earlier\n";
    auto p = sParse({"-k", path.c_str(), "-X", "0x10000", "-D"});
    ASSERT_TRUE(p->result.ok);
    ASSERT_TRUE(p->result.logFile);
    EXPECT_EQ(Log::fh, p->result.logFile.get());
    EXPECT_EQ(p->result.params.logFile, path);
  }
  EXPECT_EQ(Log::fh, stderr) << "closing the file points the log back at standard error";
  Log::SetOutput(log.file());
  std::stringstream content;
  content << std::ifstream(path).rdbuf();
  EXPECT_EQ(content.str().rfind("earlier\n\nApplication parameters:[Updater]\n", 0), 0u)
      << "the file is appended to: " << content.str();

  std::string missing = dir / "no/such/dir/x.log";
  FILE* before = Log::fh;
  auto bad = sParse({"-k", missing.c_str(), "-D"});
  EXPECT_FALSE(bad->result.ok);
  ASSERT_EQ(bad->display.errors.size(), 1u);
  EXPECT_EQ(bad->display.errors[0], "Could not open log file " + missing);
  EXPECT_EQ(Log::fh, before) << "a failed -k leaves the log where it was";
}

}  // namespace
