// The real Updater against corvalith-update-server on 127.0.0.1: -B, -G and
// -J, the request URLs as the server logged them, and what the local store
// holds afterwards, for good servers and for broken ones.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <thread>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/Loopback.h"
#include "support/RunProcess.h"
#include "support/TempFiles.h"
#include "support/UpdateServerProcess.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSerial = "00001A2B";
const std::string kUpdater = CV_BINARY_DIR "/Updater";
const std::string kBirdtool = CV_BINARY_DIR "/tools/birdtool";

void sWrite(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Every file under dir with its contents: what a failed job must not change.
std::map<std::string, std::string> sSnapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  if (!fs::exists(dir)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string rel = fs::relative(entry.path(), dir).string();
    files[rel] = entry.is_directory() ? "<dir>" : ReadText(entry.path());
  }
  return files;
}

bool sContains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class UpdateServerE2E : public ::testing::Test {
 protected:
  TempDir tempDir;

  void SetUp() override {
    temp = tempDir.path();
    root = temp / "served";
    storeParent = temp / "home";
    store = storeParent / "updater";
    // Publish builds the way the README tells users to.
    Publish(1200, "2.1.0", root / kSerial / "1200.bird");
    Publish(1180, "2.0.9", root / kSerial / "1180.bird");
    Publish(1210, "2.10.0", root / kSerial / "1210.bird");
    Publish(1300, "3.0.0", root / kSerial / "unlisted" / "1300.bird");
    sWrite(root / kSerial / "features", "analog-in\nrelay\n");
  }

  void Publish(unsigned build, const std::string& version, const fs::path& out) {
    const fs::path image = temp / ("image" + std::to_string(build) + ".bin");
    std::string bytes;
    for (unsigned i = 0; i < 3000; ++i) bytes += static_cast<char>((i * 7 + build) & 0xFF);
    sWrite(image, bytes);
    fs::create_directories(out.parent_path());
    const ProcessResult r = RunProcess(
        kBirdtool, {"pack", "-o", out.string(), "--build", std::to_string(build), "--version", version,
                    "--model", "CV-HUB", "--serial", "1A2B", "--firmware", "0x08000000:" + image.string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  }

  std::unique_ptr<UpdateServerProcess> StartServer(const std::vector<std::string>& extra = {"--key",
                                                                                            "e2e-key"}) {
    auto server =
        std::make_unique<UpdateServerProcess>(root.string(), (temp / "requests.log").string(), extra);
    EXPECT_TRUE(server->running()) << server->startOutput();
    return server;
  }

  // The Updater always gets an explicit server URL and store, so no test
  // reaches the default port or the user's home.
  ProcessResult Updater(const std::string& url, std::vector<std::string> args) {
    args.insert(args.end(), {"-u", url, "-i", storeParent.string()});
    ProcessOptions options;
    options.unsetEnv = {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"};
    options.timeoutMs = 20000;
    return RunProcess(kUpdater, args, options);
  }

  fs::path temp, root, storeParent, store;
};

TEST_F(UpdateServerE2E, RequestUrlsAreExactlyTheDocumentedQueries) {
  auto server = StartServer();
  ASSERT_TRUE(server->running());

  ProcessResult r = Updater(server->url(), {"-B", "-d", kSerial});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(server->requests(),
            (std::vector<std::string>{"GET /cgi/u?op=hi&rv=2&", "GET /cgi/u?op=builds&sn=00001A2B&"}));

  server->clearRequests();
  r = Updater(server->url(), {"-G", "-d", kSerial, "-b", "1200"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(server->requests(), (std::vector<std::string>{
                                    "GET /cgi/u?op=hi&rv=2&",
                                    "GET /cgi/u?op=qu&sn=00001A2B&",
                                    "GET /cgi/u?op=builds&sn=00001A2B&",
                                    "GET /cgi/u?bld=1200&fw=standard&no_cal=false&op=bird&sn=00001A2B&",
                                }));

  server->clearRequests();
  r = Updater(server->url(), {"-J", "-d", kSerial});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(server->requests(), (std::vector<std::string>{"GET /cgi/u?op=hi&rv=2&",
                                                          "GET /cgi/u?json=false&op=ent_jwt&sn=00001A2B&"}));
}

TEST_F(UpdateServerE2E, ServerAnswersAndStopsCleanlyOnSigterm) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--key", "k"}, {"--tls"}}) {
    auto server = StartServer(args);
    ASSERT_TRUE(server->running());
    const ProcessResult r = Updater(server->url(), {"-B", "-d", kSerial});
    // The client refuses the self-signed TLS server.
    EXPECT_EQ(r.exitCode, args[0] == "--tls" ? 1 : 0) << r.err;
    EXPECT_EQ(server->Stop(), 0) << "exit code after SIGTERM";
    EXPECT_FALSE(server->running());
  }
}

TEST_F(UpdateServerE2E, SlowClientsAndFifosDoNotStarveTheServer) {
  // More slow clients than the server used to have workers, each sending a
  // header line every 500 ms so no single read times out.
  constexpr int kSlowClients = 16;
  ASSERT_EQ(mkfifo((root / kSerial / "1400.bird").c_str(), 0600), 0);
  fs::remove(root / kSerial / "features");
  ASSERT_EQ(mkfifo((root / kSerial / "features").c_str(), 0600), 0);
  auto server = StartServer({"--key", "k"});
  const std::string url = server->url();
  const int port = std::stoi(url.substr(url.rfind(':') + 1));
  std::vector<int> slow;
  for (int i = 0; i < kSlowClients; ++i) {
    const int fd = ConnectLoopback(static_cast<uint16_t>(port));
    ASSERT_GE(fd, 0);
    slow.push_back(fd);
  }
  std::atomic<bool> done{false};
  std::thread dribble([&] {
    const std::string start = "GET /cgi/u?op=hi HTTP/1.1\r\n";
    for (int fd : slow) (void)send(fd, start.data(), start.size(), MSG_NOSIGNAL);
    constexpr int kMaxLines = 60;  // 30 s at most
    for (int line = 0; line < kMaxLines && !done; ++line) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));  // pacing the slow clients
      const std::string header = "X-Slow-" + std::to_string(line) + ": 1\r\n";
      for (int fd : slow) (void)send(fd, header.data(), header.size(), MSG_NOSIGNAL);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  ProcessResult r = Updater(url, {"-B", "-d", kSerial});
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(sContains(r.out, "1210")) << r.out;
  EXPECT_FALSE(sContains(r.out, "1400")) << "a FIFO is not a build";
  std::printf("-B with %d slow clients connected: answered in %.2f s\n", kSlowClients, took);

  r = Updater(url, {"-G", "-d", kSerial, "-b", "1400", "-OVERRIDE"});
  EXPECT_EQ(r.exitCode, 1) << "a FIFO is refused, not read: " << r.err;
  r = Updater(url, {"-J", "-d", kSerial});
  EXPECT_FALSE(r.timedOut) << "features as a FIFO must not hold the worker";

  done = true;
  dribble.join();
  for (int fd : slow) close(fd);
  const auto stopStart = std::chrono::steady_clock::now();
  EXPECT_EQ(server->Stop(), 0) << "SIGTERM still ends the server";
  const double stopTook = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopStart).count();
  std::printf("server stopped %.2f s after SIGTERM\n", stopTook);
  EXPECT_LT(stopTook, 5.0);
}

TEST_F(UpdateServerE2E, BuildListIsSortedNewestVersionFirst) {
  auto server = StartServer();
  const ProcessResult r = Updater(server->url(), {"-B", "-d", kSerial});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(sContains(r.out, "Build List for device [00001A2B]:")) << r.out;
  const size_t newest = r.out.find("1210           \t2.10.0         \n");
  const size_t middle = r.out.find("1200           \t2.1.0          \n");
  const size_t oldest = r.out.find("1180           \t2.0.9          \n");
  ASSERT_NE(newest, std::string::npos) << r.out;
  ASSERT_NE(middle, std::string::npos) << r.out;
  ASSERT_NE(oldest, std::string::npos) << r.out;
  EXPECT_LT(newest, middle);
  EXPECT_LT(middle, oldest);
  EXPECT_FALSE(sContains(r.out, "1300")) << "unlisted builds stay unlisted";

  fs::create_directories(root / "00001A2C");
  const ProcessResult empty = Updater(server->url(), {"-B", "-d", "00001A2C"});
  EXPECT_EQ(empty.exitCode, 0) << "an answered empty list is no failure: " << empty.err;
  EXPECT_TRUE(sContains(empty.out + empty.err, "No builds found for device [00001A2C]")) << empty.out;
}

TEST_F(UpdateServerE2E, GetStoresTheCurrentBuildAndRecordsIt) {
  auto server = StartServer();
  ProcessResult r = Updater(server->url(), {"-G", "-d", kSerial});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(sContains(r.out, "Retrieving build 1210")) << r.out;
  EXPECT_TRUE(sContains(r.out, "Build 1210 is valid")) << r.out;
  EXPECT_FALSE(sContains(r.out, "Downloading")) << "no spinner when standard output is not a terminal";
  const fs::path device = store / kSerial;
  EXPECT_EQ(ReadText(device / "1210.bird"), ReadText(root / kSerial / "1210.bird"));
  std::string settings = ReadText(device / ".settings");
  EXPECT_TRUE(sContains(settings, "LATEST_DOWNLOAD=1210.bird\n")) << settings;
  const size_t date = settings.find("LAST_DOWNLOAD_DATE=");
  ASSERT_NE(date, std::string::npos) << settings;
  EXPECT_EQ(settings.find('\n', date) - date, std::string("LAST_DOWNLOAD_DATE=").size() + 24) << "ctime form";

  // A second download of an older build is recorded as the latest download.
  r = Updater(server->url(), {"-G", "-d", kSerial, "-b", "1180"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(fs::exists(device / "1210.bird"));
  EXPECT_EQ(ReadText(device / "1180.bird"), ReadText(root / kSerial / "1180.bird"));
  settings = ReadText(device / ".settings");
  EXPECT_TRUE(sContains(settings, "LATEST_DOWNLOAD=1180.bird\n")) << settings;
}

TEST_F(UpdateServerE2E, GetRunsBeforeTheBuildListInTheSameRun) {
  auto server = StartServer();
  const ProcessResult r = Updater(server->url(), {"-G", "-B", "-d", kSerial, "-b", "1200"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(fs::exists(store / kSerial / "1200.bird"));
  EXPECT_TRUE(sContains(r.out, "Build List for device [00001A2B]:")) << r.out;
  const auto requests = server->requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back(), "GET /cgi/u?op=builds&sn=00001A2B&");
}

// Without a main command the run's code is the worst of -N and -G: a script
// must not read a fingerprint that never came as success.
TEST_F(UpdateServerE2E, SuccessfulGetDoesNotHideAFailedFingerprint) {
  auto server = StartServer();
  const std::string port = (temp / "no-such-port").string();
  ProcessResult r = Updater(server->url(), {"-N", "-s", port, "-G", "-d", kSerial, "-b", "1200"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(sContains(r.err, "Got no response from chip\n")) << r.err;
  EXPECT_TRUE(fs::exists(store / kSerial / "1200.bird")) << "the download still ran";
  r = Updater(server->url(), {"-G", "-d", kSerial, "-b", "1200"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

TEST_F(UpdateServerE2E, UnlistedBuildFailsValidationUnlessOverridden) {
  auto server = StartServer();
  ProcessResult r = Updater(server->url(), {"-G", "-d", kSerial});  // the device now has a store entry
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto before = sSnapshot(store);

  r = Updater(server->url(), {"-G", "-d", kSerial, "-b", "1300"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(sContains(r.err, "No valid build 1300")) << r.err;
  EXPECT_EQ(sSnapshot(store), before);

  r = Updater(server->url(), {"-G", "-d", kSerial, "-b", "1300", "-OVERRIDE"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(sContains(r.out, "Override specified, skipping validation of build 1300")) << r.out;
  EXPECT_EQ(ReadText(store / kSerial / "1300.bird"), ReadText(root / kSerial / "unlisted" / "1300.bird"));
  EXPECT_TRUE(sContains(ReadText(store / kSerial / ".settings"), "LATEST_DOWNLOAD=1300.bird\n"));
}

TEST_F(UpdateServerE2E, ServerDownFailsEveryCommandWithoutTouchingTheStore) {
  RefusingPort down;
  const auto before = sSnapshot(store);
  ProcessResult r = Updater(down.url(), {"-G", "-d", kSerial});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(sContains(r.err, "Server request failed for " + down.url())) << r.err;

  r = Updater(down.url(), {"-B", "-d", kSerial});
  EXPECT_EQ(r.exitCode, 1) << "a failed request fails the list command";
  EXPECT_TRUE(sContains(r.err, "Server request failed for " + down.url())) << r.err;
  EXPECT_TRUE(sContains(r.out + r.err, "No builds found for device [00001A2B]")) << r.out;

  r = Updater(down.url(), {"-J", "-d", kSerial});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(sContains(r.err, "Server request failed for " + down.url())) << r.err;
  EXPECT_EQ(sSnapshot(store), before);
}

TEST_F(UpdateServerE2E, FirstLineOkayIsAcceptedAndErrorIsRefused) {
  {
    auto server = StartServer({"--fault", "*=okay"});
    ProcessResult r = Updater(server->url(), {"-G", "-B", "-d", kSerial, "-b", "1200"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fs::exists(store / kSerial / "1200.bird"));
    EXPECT_TRUE(sContains(r.out, "1210           \t2.10.0")) << r.out;
  }
  const auto before = sSnapshot(store);
  {
    auto server = StartServer({"--fault", "*=error"});
    ProcessResult r = Updater(server->url(), {"-G", "-d", kSerial, "-b", "1180"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(sContains(r.err, "Server request failed for " + server->url())) << r.err;
  }
  {
    auto server = StartServer({"--fault", "builds=error"});
    ProcessResult r = Updater(server->url(), {"-B", "-d", kSerial});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(sContains(r.err, "Failed to retrieve builds for 00001A2B")) << r.err;
    r = Updater(server->url(), {"-G", "-d", kSerial, "-b", "1180"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(sContains(r.err, "No valid build 1180")) << r.err;
  }
  {
    auto server = StartServer({"--fault", "qu=error"});
    ProcessResult r = Updater(server->url(), {"-G", "-d", kSerial, "-b", "1180"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(sContains(r.err, "No build information for device")) << r.err;
  }
  EXPECT_EQ(sSnapshot(store), before);
}

TEST_F(UpdateServerE2E, BrokenDownloadsAreNeitherStoredNorRecorded) {
  {
    auto server = StartServer();
    ASSERT_EQ(Updater(server->url(), {"-G", "-d", kSerial, "-b", "1180"}).exitCode, 0);
  }
  const auto before = sSnapshot(store);
  struct Case {
    const char* fault;
    std::vector<std::string> errors;
  };
  const Case cases[] = {
      {"bird=empty", {"Download failed", "Failed to retrieve a valid BIRD file"}},
      {"bird=status500", {"Download failed", "Failed to retrieve a valid BIRD file"}},
      {"bird=badbase64", {"Failed to decode the downloaded BIRD file"}},
      {"bird=notbird", {"Downloaded file is not a valid BIRD file"}},
  };
  for (const Case& c : cases) {
    auto server = StartServer({"--fault", c.fault});
    const ProcessResult r = Updater(server->url(), {"-G", "-d", kSerial, "-b", "1200"});
    EXPECT_EQ(r.exitCode, 1) << c.fault;
    for (const std::string& e : c.errors) EXPECT_TRUE(sContains(r.err, e)) << c.fault << ": " << r.err;
    EXPECT_EQ(sSnapshot(store), before) << c.fault;
  }
}

TEST_F(UpdateServerE2E, CrLfRepliesReadLikeLfReplies) {
  auto server = StartServer({"--fault", "*=crlf"});
  ProcessResult r = Updater(server->url(), {"-G", "-B", "-d", kSerial});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadText(store / kSerial / "1210.bird"), ReadText(root / kSerial / "1210.bird"));
  EXPECT_TRUE(sContains(r.out, "1200           \t2.1.0          \n")) << r.out;
  EXPECT_FALSE(sContains(r.out, "\r"));
}

TEST_F(UpdateServerE2E, TokenIsPrintedAloneAndRefusalsAreReported) {
  {
    auto server = StartServer();
    const ProcessResult r = Updater(server->url(), {"-J", "-d", kSerial});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // The header of every HS256 token is the same JSON, so the same text.
    const std::string header = "eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9.";
    const size_t at = r.out.find(header);
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string token = r.out.substr(at, r.out.find('\n', at) - at);
    EXPECT_TRUE(at == 0 || r.out[at - 1] == '\n') << "the token stands alone on its line";
    EXPECT_EQ(token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_."),
              std::string::npos)
        << token;
    const size_t second = token.find('.', header.size());
    ASSERT_NE(second, std::string::npos) << token;
    EXPECT_GE(token.size() - second - 1, 43u) << "a 32-byte signature";
  }
  {
    auto server = StartServer({"--key", "k", "--fault", "ent_jwt=shorttoken"});
    const ProcessResult r = Updater(server->url(), {"-J", "-d", kSerial});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(sContains(r.err, "Failed to retrieve jwt for 00001A2B")) << r.err;
    EXPECT_FALSE(sContains(r.out, "eyJ")) << r.out;
  }
  {
    auto server = StartServer({});  // no signing key: the server refuses tokens
    const ProcessResult r = Updater(server->url(), {"-J", "-d", kSerial});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(sContains(r.err, "Failed to retrieve jwt for 00001A2B")) << r.err;
  }
}

TEST_F(UpdateServerE2E, UnverifiedTlsServerIsRefused) {
  auto server = StartServer({"--tls"});
  ASSERT_TRUE(server->running());
  const auto before = sSnapshot(store);
  ProcessResult r = Updater(server->url(), {"-G", "-d", kSerial, "-X", "0x20"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(sContains(r.err, "Server request failed for " + server->url())) << r.err;
  EXPECT_TRUE(sContains(r.err, "SSL peer certificate or SSH remote key was not OK")) << r.err;
  EXPECT_EQ(sSnapshot(store), before);
  EXPECT_TRUE(server->requests().empty()) << "nothing may be asked of an unverified peer";
}

}  // namespace
