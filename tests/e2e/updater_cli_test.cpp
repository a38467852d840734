// The Updater binary as a user meets it: its command line, messages, usage
// text, exit codes and the store directory it leaves behind. Commands are
// chosen so that nothing leaves the machine: jobs that talk to the update
// server are pointed at loopback, and no run searches the network.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/LoopbackHttpServer.h"
#include "support/RunProcess.h"
#include "support/TempFiles.h"
#include "support/Text.h"

namespace fs = std::filesystem;

namespace {

const std::string kHeader =
    "\nApplication Usage:\nUpdater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n    [-s serial_port] [-o baud_rate]\n\n"
    "  Corvalith Update and Maintenance Application\n    -H -h or --help for full usage information.\n\n";
const std::regex kVersionLine(
    R"(Updater \(Version: [0-9]+\.[0-9]+\.[0-9]+ [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}\))");
const std::regex kMakerNotice(R"(\(Copyright \(c\) 2019-[0-9]{4} Tessaron\))");
// Nothing listens on port 1: jobs that call the server fail at once.
const char* const kDeadServer = "http://127.0.0.1:1/cgi/u";

bool sContains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string sDescribe(const std::vector<std::string>& args, const ProcessResult& r) {
  std::string cmd = "Updater";
  for (const std::string& a : args) cmd += " " + a;
  return cmd + "\n--- exit " + std::to_string(r.exitCode) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

class UpdaterCliTest : public ::testing::Test {
 protected:
  TempDir tempDir;

  void SetUp() override {
    dir = tempDir.path();
    home = dir + "/home";
    store = dir + "/store";
    fs::create_directory(home);
  }

  ProcessResult run(const std::vector<std::string>& args, bool merge = false) {
    ProcessOptions o;
    o.env["HOME"] = home;
    o.cwd = dir;
    o.mergeStderr = merge;
    ProcessResult r = RunProcess(CV_BINARY_DIR "/Updater", args, o);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut) << sDescribe(args, r);
    return r;
  }

  // args with "-i <store>" appended, so a run never touches the real home.
  ProcessResult runWithStore(std::vector<std::string> args, bool merge = false) {
    args.push_back("-i");
    args.push_back(store);
    return run(args, merge);
  }

  void expectVersionFirst(const ProcessResult& r) {
    std::vector<std::string> lines = SplitLines(r.out);
    ASSERT_FALSE(lines.empty()) << r.err;
    EXPECT_TRUE(std::regex_match(lines[0], kVersionLine)) << lines[0];
  }

  std::string dir;
  std::string home;
  std::string store;
};

TEST_F(UpdaterCliTest, NoCommandShowsShortUsageAndTouchesNothing) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {"-Q"}, {"stray", "words"}, {"-d"}, {"-D=1"}, {"-d", "-i", "x"}, {"-Z"}, {"-b", "-s", "p"}}) {
    args.push_back("-i");
    args.push_back(store);
    ProcessResult r = run(args);
    const std::string what = sDescribe(args, r);
    EXPECT_EQ(r.exitCode, 0) << what;
    std::vector<std::string> lines = SplitLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << what;
    EXPECT_TRUE(std::regex_match(lines[0], kVersionLine)) << what;
    EXPECT_TRUE(std::regex_match(lines[1], kMakerNotice)) << what;
    EXPECT_EQ(r.err, kHeader) << "parser errors are silent: " << what;
    EXPECT_FALSE(fs::exists(store)) << "no command, no store: " << what;
  }
}

TEST_F(UpdaterCliTest, HelpFormsAndExtendedBlocks) {
  for (const char* help : {"-h", "-H", "--help", "--he"}) {
    ProcessResult r = run({help, "-i", store});
    EXPECT_EQ(r.exitCode, 0) << help;
    EXPECT_EQ(r.err.rfind(kHeader, 0), 0u) << help;
    EXPECT_TRUE(sContains(r.err, "\n  Commands:\n")) << help;
    EXPECT_TRUE(sContains(r.err, " Sample usage:\n")) << help;
    EXPECT_FALSE(sContains(r.err, "Extended")) << help;
    EXPECT_FALSE(fs::exists(store));
  }
  ProcessResult extended = run({"-X", "0x10000", "-h"});
  EXPECT_EQ(extended.exitCode, 0);
  EXPECT_TRUE(sContains(extended.err, "  Extended Parameters:\n"));
  EXPECT_TRUE(sContains(extended.err, "  Extended Commands:\n"));
  EXPECT_TRUE(sContains(extended.err, "DEBUG_iMXSerial     0x10000000"));

  ProcessResult stopped = run({"-h", "-X", "0x10000", "-Y"});
  EXPECT_EQ(stopped.exitCode, 0) << "words after help are not read";
  EXPECT_FALSE(sContains(stopped.err, "Extended"));
  EXPECT_FALSE(sContains(stopped.err, "Unhandled"));
}

TEST_F(UpdaterCliTest, ParseErrorsFailWithShortUsageAndCreateNothing) {
  fs::create_directory(dir + "/logs");
  struct Case {
    std::vector<std::string> args;
    std::string errors;
  } cases[] = {
      {{"-d", "40F5849Z", "-G"}, "Invalid serial number obtained from argument [40F5849Z]\n"},
      {{"-d", "0", "-G"}, "Invalid serial number obtained from argument [0]\n"},
      {{"-d", "0x", "-G"}, "Invalid serial number obtained from argument []\n"},
      {{"-d", "140F5849A", "-G"}, "Invalid serial number obtained from argument [140F5849A]\n"},
      {{"-D", "-r", "D27203Q1"}, "Invalid router serial number obtained from argument [D27203Q1]\n"},
      {{"-Y"}, "Unhandled command: [-Y]\n"},
      {{"-OVER", "-C"}, "Invalid format for firmware update override parameter [-OVER]\n"},
      {{"-t", "tcp", "-D"},
       "Invalid transport type:[tcp]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
      {{"-k", dir + "/logs/none/x.log", "-C"}, "Could not open log file " + dir + "/logs/none/x.log\n"},
      {{"-Y", "-d", "zz", "-D"},
       "Unhandled command: [-Y]\nInvalid serial number obtained from argument [zz]\n"},
  };
  for (Case& c : cases) {
    ProcessResult r = runWithStore(c.args);
    const std::string what = sDescribe(c.args, r);
    EXPECT_EQ(r.exitCode, 1) << what;
    std::vector<std::string> lines = SplitLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << what;
    EXPECT_TRUE(std::regex_match(lines[0], kVersionLine)) << what;
    EXPECT_TRUE(std::regex_match(lines[1], kMakerNotice)) << what;
    EXPECT_EQ(r.err, c.errors + kHeader) << what;
    EXPECT_FALSE(fs::exists(store)) << what;
  }
  EXPECT_TRUE(fs::is_empty(dir + "/logs"));
}

TEST_F(UpdaterCliTest, BadLogMaskIsReportedButDoesNotFail) {
  ProcessResult r = run({"-X", "0x1G"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "Invalid format for \"-X\" parameter, unprocessed characters [G]\n" + kHeader);
}

TEST_F(UpdaterCliTest, CommandsWithoutTheirDevice) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-G"}, "-G must specify a specific device via -d\n--help for usage information\n"},
      {{"-U"}, "Must specify the specific device to be updated\n"},
      {{"-U", "-t", "USB"}, "Must specify the specific device to be updated\n"},
      {{"-B"}, "Error must supply a serial number for the List Builds command\n" + kHeader},
      {{"-L"}, "Error must supply a serial number for the List Local Builds command\n" + kHeader},
      {{"-J"}, "Error must supply a serial number for the Get JWT command\n" + kHeader},
      {{"-N"}, "Must specify the serial port used for connecting\n"},
      {{"-N", "-d", "1234", "-B"}, "Must specify the serial port used for connecting\n"},
  };
  for (Case& c : cases) {
    ProcessResult r = runWithStore(c.args);
    const std::string what = sDescribe(c.args, r);
    EXPECT_EQ(r.exitCode, 1) << what;
    EXPECT_EQ(r.err, c.err) << what;
    ASSERT_EQ(SplitLines(r.out).size(), 1u) << "only the version line: " << what;
    expectVersionFirst(r);
  }
}

TEST_F(UpdaterCliTest, MainCommandPrecedence) {
  // Each run leaves out the winner of the previous one; the others lack -d,
  // so any of them that ran would print its complaint.
  ProcessResult d = runWithStore({"-J", "-L", "-B", "-U", "-D", "-t", "USB"});
  EXPECT_EQ(SplitLines(d.out).at(1), "Searching for Corvalith devices");
  EXPECT_FALSE(sContains(d.err, "Must specify")) << d.err;
  EXPECT_FALSE(sContains(d.err, "Error must supply")) << d.err;

  ProcessResult u = runWithStore({"-J", "-L", "-B", "-U"});
  EXPECT_EQ(u.err, "Must specify the specific device to be updated\n");
  ProcessResult b = runWithStore({"-J", "-L", "-B"});
  EXPECT_EQ(b.err, "Error must supply a serial number for the List Builds command\n" + kHeader);
  ProcessResult l = runWithStore({"-J", "-L"});
  EXPECT_EQ(l.err, "Error must supply a serial number for the List Local Builds command\n" + kHeader);
  // -I and -C rank below every other command.
  ProcessResult j = runWithStore({"-I", "-C", "-J", "-f", "x.bird", "-d", "12", "-u", kDeadServer});
  EXPECT_FALSE(sContains(j.err, "Check_BirdFile")) << j.err;
  EXPECT_FALSE(sContains(j.err, "Show_StoredDevice")) << j.err;
}

TEST_F(UpdaterCliTest, DiscoverWithoutTransportUsesUsb) {
  ProcessResult r = runWithStore({"-D"});
  expectVersionFirst(r);
  EXPECT_EQ(SplitLines(r.out).at(1), "Searching for Corvalith devices");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(SplitLines(r.out).at(2), "Discovered Devices: (USB)");
}

TEST_F(UpdaterCliTest, RecoveryNeedsNoDevice) {
  ProcessResult r = runWithStore({"-U", "-t", "RECOVER", "-s", dir + "/no-such-port", "-u", kDeadServer});
  EXPECT_EQ(r.exitCode, 1) << "there is no port to recover through";
  EXPECT_FALSE(sContains(r.err, "Must specify the specific device to be updated")) << r.err;
}

TEST_F(UpdaterCliTest, SerialNumberFormsAndValuesAfterEquals) {
  const std::string expected =
      "Retrieving firmware for device with serial number 40F5849A\nNo build specified\nUsing Latest build\n";
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{{"-G", "-d", "0x40F5849A"},
                                                                             {"-G", "-d", "40F5849A"},
                                                                             {"-G", "-d=40f5849a"},
                                                                             {"-G", "-d=0X40F5849A"}}) {
    args.push_back("-u=" + std::string(kDeadServer));
    ProcessResult r = runWithStore(args);
    const std::string what = sDescribe(args, r);
    expectVersionFirst(r);
    EXPECT_TRUE(sContains(r.out, expected)) << what;
    EXPECT_EQ(r.exitCode, 1) << "the server cannot be reached: " << what;
  }
  ProcessResult build = runWithStore({"-G", "-d", "2181F0EE", "-b=0099528558", "-u", kDeadServer});
  EXPECT_TRUE(sContains(build.out,
                        "Retrieving firmware for device with serial number 2181F0EE\n"
                        "Retrieving firmware build 99528558\n"))
      << build.out;
}

TEST_F(UpdaterCliTest, CommandsWithoutActionEndAfterTheVersionLine) {
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{"-C"},
                                             {"-I"},
                                             {"-Z", "x"},
                                             {"-OVERRIDE", "-C"},
                                             {"-OVERRID", "-I"},
                                             {"-C", "-t", "TCPIP", "-t", "TCP"}}) {
    ProcessResult r = runWithStore(args);
    const std::string what = sDescribe(args, r);
    EXPECT_EQ(r.exitCode, 0) << what;
    ASSERT_EQ(SplitLines(r.out).size(), 1u) << what;
    expectVersionFirst(r);
    EXPECT_EQ(r.err, "") << what;
  }
}

TEST_F(UpdaterCliTest, FailedFingerprintOrDownloadDecidesWithoutMainCommand) {
  ProcessResult g = runWithStore({"-G", "-d", "1234", "-C", "-u", kDeadServer});
  EXPECT_EQ(g.exitCode, 1) << g.out << g.err;
  ProcessResult n = runWithStore({"-N", "-s", dir + "/no-such-port", "-I", "-u", kDeadServer});
  EXPECT_EQ(n.exitCode, 1) << n.out << n.err;
}

TEST_F(UpdaterCliTest, FingerprintAndDownloadRunBeforeTheMainCommand) {
  ProcessResult r =
      runWithStore({"-L", "-G", "-N", "-s", dir + "/no-such-port", "-d", "1234", "-u", kDeadServer}, true);
  std::vector<std::string> lines = SplitLines(r.out);
  ASSERT_GE(lines.size(), 4u) << r.out;
  EXPECT_TRUE(std::regex_match(lines[0], kVersionLine));
  size_t get = r.out.find("Retrieving firmware for device with serial number 00001234");
  ASSERT_NE(get, std::string::npos) << r.out;
  EXPECT_GT(get, r.out.find('\n') + 1) << "the fingerprint reports before the download";

  // A failed download does not fail a main command that succeeds.
  EXPECT_EQ(r.exitCode, 0) << r.out;
  size_t list = r.out.find("No builds found for device [00001234]");
  EXPECT_NE(list, std::string::npos) << r.out;
  EXPECT_GT(list, get);
}

TEST_F(UpdaterCliTest, StoreDirectoryIsCreatedWhenACommandRuns) {
  std::string nested = dir + "/a/b";
  ProcessResult r = run({"-C", "-i", nested});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(fs::is_directory(nested + "/updater"));
  struct stat st;
  ASSERT_EQ(stat((nested + "/updater").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0700, 0700u);
  EXPECT_EQ(st.st_mode & 0022, 0u);

  std::ofstream(dir + "/plain-file") << "x";
  ProcessResult blocked = run({"-C", "-i", dir + "/plain-file"});
  EXPECT_EQ(blocked.exitCode, 1);
  EXPECT_EQ(blocked.err, "Could not find updater directory at " + dir + "/plain-file/updater\n");
}

TEST_F(UpdaterCliTest, LogFileReceivesTheDebugLog) {
  const std::string log = dir + "/debug.log";
  std::ofstream(log) << "kept\n";
  ProcessResult r = runWithStore({"-k", log, "-X", "0x10000", "-C"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "") << "the log no longer goes to standard error";
  std::stringstream content;
  content << std::ifstream(log).rdbuf();
  EXPECT_EQ(content.str(), "kept\n\nApplication parameters:[Updater]\n\t[-k]\n\t[" + log +
                               "]\n\t[-X]\n\t[0x10000]\n\t[-C]\n\t[-i]\n\t[" + store + "]\n");

  // Without -k the log goes to standard error; -X acts from where it stands.
  ProcessResult late = runWithStore({"-d", "0x12", "-X", "0x10001", "-C"});
  EXPECT_TRUE(sContains(late.err, "\nApplication parameters:[Updater]\n")) << late.err;
  EXPECT_FALSE(sContains(late.err, "Discarding")) << late.err;
  ProcessResult early = runWithStore({"-X", "1", "-d", "0x12", "-C"});
  EXPECT_TRUE(sContains(early.err, "Discarding '0x' serial number prefix\n")) << early.err;
  EXPECT_FALSE(sContains(early.err, "Application parameters")) << early.err;
}

TEST_F(UpdaterCliTest, JobsWithoutTheirTargetFailTheRun) {
  // No chip on the port: neither boot ROM answers and no recovery image can
  // be had from a dead server. An update with no build anywhere fails before
  // it looks for the device.
  const std::string port = dir + "/no-such-port";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-U", "-d", "40F5849A", "-u", kDeadServer}, "Could not find valid build for this device.\n"},
      {{"-U", "-t", "RECOVER", "-s", port, "-u", kDeadServer}, "Could not get Device Identifier\n"},
      {{"-N", "-s", port, "-u", kDeadServer}, "Got no response from chip\n"},
  };
  for (const auto& c : cases) {
    ProcessResult r = runWithStore(c.args);
    EXPECT_EQ(r.exitCode, 1) << c.args.at(0);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST_F(UpdaterCliTest, ServerUrlReachesTheUpdater) {
  // Every request is answered with a refusal; the request lines are kept.
  LoopbackHttpServer server([](const std::string&) {
    return "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\nerror\n";
  });
  ASSERT_NE(server.port(), 0);
  const std::string url = server.url("/cgi/probe");
  ProcessResult r = runWithStore({"-B", "-d", "40F5849A", "-u", url});
  ASSERT_FALSE(r.timedOut);
  std::vector<std::string> requests = server.requests();
  ASSERT_FALSE(requests.empty());
  for (const std::string& line : requests) EXPECT_EQ(line.rfind("GET /cgi/probe", 0), 0u) << line;
}

}  // namespace
