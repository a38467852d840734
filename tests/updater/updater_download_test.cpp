// Download_Firmware, Get_BuildList and Get_JWT against a scripted loopback
// server: the checks made before any request, the spinner while the download
// runs, and what reaches the store when the reply or the write goes wrong.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/Loopback.h"
#include "support/LoopbackHttpServer.h"
#include "support/RecordingDisplay.h"
#include "support/TempFiles.h"
#include "tools/BirdWriter.h"
#include "updater/Updater.h"

namespace {

// Standard base64 with padding, written here so that a fault in the
// updater's decoder cannot be cancelled by the same fault in an encoder.
std::string sBase64(const std::vector<uint8_t>& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
    if (n > 1) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (n > 2) group |= bytes[i + 2];
    for (size_t k = 0; k < 4; ++k) out += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
  }
  return out;
}

std::vector<uint8_t> sBird(uint32_t build) {
  BirdWriter writer;
  writer.SetDescriptor(build, "2.1.0", 0x1A2B, "CV-HUB");
  writer.AddFirmware(0x08000000, std::vector<uint8_t>(256, 0x5A));
  return writer.FileImage();
}

// Answers like an update server that lists 1200 and 1210 (current 1210) and
// sends birdText for any download, once beforeBird (if any) has returned.
struct FakeServer {
  explicit FakeServer(std::string bird, std::function<void()> beforeBird = nullptr)
      : server([bird, beforeBird](const std::string& line) {
          if (line.find("op=bird") != std::string::npos) {
            if (beforeBird) beforeBird();
            return LoopbackHttpServer::Reply(200, "ok\n" + bird + "\n");
          }
          if (line.find("op=qu") != std::string::npos)
            return LoopbackHttpServer::Reply(200, "ok\n1210\nfw\n");
          if (line.find("op=builds") != std::string::npos) {
            return LoopbackHttpServer::Reply(200, "ok\n1200;2.1.0\n1210;2.1.1\n");
          }
          if (line.find("op=ent_jwt") != std::string::npos)
            return LoopbackHttpServer::Reply(200, "ok\naa.bb.cc\n");
          return LoopbackHttpServer::Reply(200, "ok\n");
        }) {}
  LoopbackHttpServer server;
};

TEST(UpdaterDownload, RefusesBadArgumentsBeforeAskingTheServer) {
  TempDir dir;
  FakeServer fake(sBase64(sBird(1200)));
  RecordingDisplay display;
  Updater updater(fake.server.url().c_str(), dir.path().c_str(), display);

  for (const char* build : {"abc", "12x", "-5", "4294967296", " 12"}) {
    display.errors.clear();
    EXPECT_EQ(updater.Download_Firmware(0x1A2B, build, false, false), 0u) << build;
    ASSERT_EQ(display.errors.size(), 1u) << build;
    EXPECT_EQ(display.errors[0], std::string("Build number '") + build + "' must be an number");
  }
  display.errors.clear();
  EXPECT_EQ(updater.Download_Firmware(0, "1200", false, false), 0u);
  EXPECT_EQ(display.errors, std::vector<std::string>{"Serial Number must be non-zero"});
  EXPECT_TRUE(fake.server.requests().empty());
  EXPECT_TRUE(ListNames(dir.path()).empty());
}

// A display that also tells another thread how often the spinner has turned.
class SpinCountingDisplay final : public UpdaterDisplayInterface {
 public:
  void display_progress(bool running) override { record.display_progress(running); }
  void update_progress(double fraction, const char* label) override {
    record.update_progress(fraction, label);
  }
  void update_spinner(bool running, const char* label) override {
    record.update_spinner(running, label);
    std::lock_guard<std::mutex> lock(mutex);
    if (running) ++turns;
    turned.notify_all();
  }
  void info_message(const char* text) override { record.info_message(text); }
  void error_message(const char* text) override { record.error_message(text); }
  // True once the spinner has turned n times, false after limit.
  bool awaitTurns(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex);
    return turned.wait_for(lock, limit, [&] { return turns >= n; });
  }

  RecordingDisplay record;  // read by the test thread once the download returned

 private:
  std::mutex mutex;
  std::condition_variable turned;
  size_t turns = 0;
};

TEST(UpdaterDownload, SpinnerTurnsWhileTheDownloadRunsAndIsClearedAfter) {
  TempDir dir;
  constexpr size_t kTurns = 4;
  SpinCountingDisplay spinning;
  std::atomic<bool> sawTurns{false};  // set by the server thread before it replies
  // The server holds the reply until the user has seen the spinner turn.
  FakeServer fake(sBase64(sBird(1210)),
                  [&] { sawTurns = spinning.awaitTurns(kTurns, std::chrono::milliseconds(10000)); });
  RecordingDisplay& display = spinning.record;
  Updater updater(fake.server.url().c_str(), dir.path().c_str(), spinning);

  EXPECT_EQ(updater.Download_Firmware(0x1A2B, "", false, false), 1210u);
  EXPECT_TRUE(sawTurns) << "the spinner stood still while the download ran";
  EXPECT_TRUE(display.errors.empty()) << display.errors[0];
  ASSERT_GE(display.spins.size(), kTurns + 1);
  EXPECT_EQ(display.spins.back(), "-Downloading");
  for (size_t i = 0; i + 1 < display.spins.size(); ++i) EXPECT_EQ(display.spins[i], "+Downloading");
  EXPECT_EQ(ReadBytes(dir / "00001A2B/1210.bird"), sBird(1210));
  const std::vector<std::string> expected = {"Retrieving build 1210", "Validating build 1210 with server",
                                             "Build 1210 is valid"};
  EXPECT_EQ(display.info, expected);
}

TEST(UpdaterDownload, UnusableRepliesLeaveTheStoreAsItWas) {
  TempDir dir;
  MakeDirectory(dir / "00001A2B");
  WriteText(dir / "00001A2B/.settings", "LATEST_DOWNLOAD=1180.bird\n");
  const auto before = SnapshotTree(dir.path());
  struct Case {
    std::string bird;
    const char* error;
  };
  const std::vector<uint8_t> notBird = {'n', 'o', 't', ' ', 'b', 'i', 'r', 'd'};
  std::vector<uint8_t> truncated = sBird(1200);
  truncated.resize(truncated.size() / 2);
  const Case cases[] = {
      {"", "Failed to retrieve a valid BIRD file"},
      {sBase64(sBird(1200)).substr(1), "Failed to decode the downloaded BIRD file"},
      {"Ymly*AEB", "Failed to decode the downloaded BIRD file"},
      {sBase64(notBird), "Downloaded file is not a valid BIRD file"},
      {sBase64(truncated), "Downloaded file is not a valid BIRD file"},
  };
  for (const Case& c : cases) {
    FakeServer fake(c.bird);
    RecordingDisplay display;
    Updater updater(fake.server.url().c_str(), dir.path().c_str(), display);
    EXPECT_EQ(updater.Download_Firmware(0x1A2B, "1200", false, false), 0u) << c.error;
    ASSERT_FALSE(display.errors.empty()) << c.error;
    EXPECT_EQ(display.errors.back(), c.error);
    EXPECT_EQ(SnapshotTree(dir.path()), before) << c.error;
  }
}

TEST(UpdaterDownload, FailedWriteIsReportedAndNotRecorded) {
  TempDir dir;
  // A directory where the file belongs: the replacing rename fails.
  MakeDirectory(dir / "00001A2B");
  MakeDirectory(dir / "00001A2B/1200.bird");
  WriteText(dir / "00001A2B/1200.bird/keep", "x");
  WriteText(dir / "00001A2B/.settings", "LATEST_DOWNLOAD=1180.bird\n");
  const auto before = SnapshotTree(dir.path());
  FakeServer fake(sBase64(sBird(1200)));
  RecordingDisplay display;
  Updater updater(fake.server.url().c_str(), dir.path().c_str(), display);
  EXPECT_EQ(updater.Download_Firmware(0x1A2B, "1200", false, false), 0u);
  ASSERT_EQ(display.errors.size(), 1u);
  EXPECT_EQ(display.errors[0].rfind("Failed to write file with ", 0), 0u) << display.errors[0];
  EXPECT_EQ(SnapshotTree(dir.path()), before);
}

TEST(UpdaterDownload, SettingsThatCannotBeReadOrSavedFailTheDownload) {
  {
    TempDir dir;
    // It exists but cannot be read: rewriting it would lose its entries.
    MakeDirectory(dir / "00001A2B");
    MakeDirectory(dir / "00001A2B/.settings");
    WriteText(dir / "00001A2B/.settings/keep", "x");
    const auto before = SnapshotTree(dir.path());
    FakeServer fake(sBase64(sBird(1200)));
    RecordingDisplay display;
    Updater updater(fake.server.url().c_str(), dir.path().c_str(), display);
    EXPECT_EQ(updater.Download_Firmware(0x1A2B, "1200", false, false), 0u);
    EXPECT_EQ(display.errors,
              std::vector<std::string>{"Could not read settings file " + dir.path() + "/00001A2B/.settings"});
    EXPECT_EQ(SnapshotTree(dir.path()), before) << "nothing stored";
  }
  {
    TempDir dir;
    MakeDirectory(dir / "00001A2B");
    const std::string settings = dir / "00001A2B/.settings";
    WriteText(settings, "LATEST_DOWNLOAD=1180.bird\n");
    const std::string bird = sBase64(sBird(1200));
    // While the download runs, a directory takes the settings file's place,
    // so the save that records the download fails.
    LoopbackHttpServer server([&](const std::string& line) {
      if (line.find("op=bird") != std::string::npos) {
        if (std::rename(settings.c_str(), (settings + ".old").c_str()) == 0) MakeDirectory(settings);
        return LoopbackHttpServer::Reply(200, "ok\n" + bird + "\n");
      }
      if (line.find("op=builds") != std::string::npos)
        return LoopbackHttpServer::Reply(200, "ok\n1200;2.1.0\n");
      return LoopbackHttpServer::Reply(200, "ok\n1200\nfw\n");
    });
    RecordingDisplay display;
    Updater updater(server.url().c_str(), dir.path().c_str(), display);
    EXPECT_EQ(updater.Download_Firmware(0x1A2B, "1200", false, false), 0u) << "not recorded, so not done";
    EXPECT_EQ(display.errors, std::vector<std::string>{"Could not save settings file " + settings});
    EXPECT_EQ(ReadText(settings + ".old"), "LATEST_DOWNLOAD=1180.bird\n");
  }
}

TEST(UpdaterDownload, DownloadThatIsNotWhatWasAskedIsNotStored) {
  struct Case {
    unsigned serial;
    uint32_t servedBuild;
    const char* error;
  };
  const Case cases[] = {
      {0x1A2B, 1210, "Downloaded file holds build 1210, not build 1200"},
      {0x1A2C, 1200, "Downloaded file is for device 00001A2B, not 00001A2C"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    FakeServer fake(sBase64(sBird(c.servedBuild)));
    RecordingDisplay display;
    Updater updater(fake.server.url().c_str(), dir.path().c_str(), display);
    EXPECT_EQ(updater.Download_Firmware(c.serial, "1200", false, false), 0u) << c.error;
    EXPECT_EQ(display.errors, std::vector<std::string>{c.error});
    char name[16];
    std::snprintf(name, sizeof name, "%08X", c.serial);
    struct stat st;
    EXPECT_NE(0, stat((dir / (std::string(name) + "/1200.bird")).c_str(), &st)) << c.error;
  }
}

TEST(UpdaterDownload, ValidBuildComparesListedBuildsAsNumbers) {
  TempDir dir;
  LoopbackHttpServer server([](const std::string&) {
    return LoopbackHttpServer::Reply(200, "ok\n01200;2.1.0\nabc;1.0.0\n1300\n");
  });
  RecordingDisplay display;
  Updater updater(server.url().c_str(), dir.path().c_str(), display);
  const std::string url = server.url();
  EXPECT_TRUE(updater._valid_build(0x1A2B, 1200, url.c_str())) << "01200 is build 1200";
  EXPECT_TRUE(updater._valid_build(0x1A2B, 1300, url.c_str()));
  EXPECT_FALSE(updater._valid_build(0x1A2B, 1210, url.c_str()));
  RefusingPort closed;
  EXPECT_FALSE(updater._valid_build(0x1A2B, 1200, closed.url().c_str()));
}

TEST(UpdaterDownload, BuildListAndTokenReportEachFailure) {
  TempDir dir;
  RecordingDisplay display;
  {
    RefusingPort closed;
    Updater updater(closed.url().c_str(), dir.path().c_str(), display);
    EXPECT_TRUE(updater.Get_BuildList(0x1A2B).empty());
    EXPECT_EQ(updater.Get_JWT(0x1A2B), "");
    const std::string message = "Server request failed for " + closed.url();
    EXPECT_EQ(display.errors, (std::vector<std::string>{message, message}));
  }
  display.errors.clear();
  {
    LoopbackHttpServer server([](const std::string& line) {
      return LoopbackHttpServer::Reply(200, line.find("op=hi") != std::string::npos ? "ok\n" : "error\n");
    });
    Updater updater(server.url().c_str(), dir.path().c_str(), display);
    EXPECT_TRUE(updater.Get_BuildList(0x1A2B).empty());
    EXPECT_EQ(updater.Get_JWT(0x1A2B), "");
    EXPECT_EQ(display.errors, (std::vector<std::string>{"Failed to retrieve builds for 00001A2B",
                                                        "Failed to retrieve jwt for 00001A2B"}));
  }
  display.errors.clear();
  {
    FakeServer fake("");
    Updater updater(fake.server.url().c_str(), dir.path().c_str(), display);
    const std::map<std::string, std::string> expected = {{"1200", "2.1.0"}, {"1210", "2.1.1"}};
    EXPECT_EQ(updater.Get_BuildList(0x1A2B), expected);
    EXPECT_EQ(updater.Get_JWT(0x1A2B), "aa.bb.cc");
    EXPECT_TRUE(display.errors.empty());
  }
}

}  // namespace
