// SDPLoader's reports and result codes through a scripted transport, and the
// answer layouts of both transports: HID through stand-in hidapi functions,
// serial through a pseudo-terminal. Expected bytes are written out here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "loaders/HID_SDPLoader.h"
#include "loaders/SDPLoader.h"
#include "loaders/Serial_SDPLoader.h"

namespace {

using Bytes = std::vector<uint8_t>;

// What the scripted ROM said and heard. Answers are serial-framed: the
// security word, then the status word.
struct Script {
  std::vector<Bytes> written;
  std::deque<Bytes> answers;  // one per read with a time-out
  std::deque<Bytes> early;    // one per 0 ms read, empty when nothing
  ssize_t earlyResult = 0;    // what a 0 ms read returns when early is empty
  bool initOk = true;
  bool answerStatus = true;  // answer ERROR_STATUS by itself
};

Bytes sWord(uint32_t status) {
  return {0x56,
          0x78,
          0x78,
          0x56,
          static_cast<uint8_t>(status),
          static_cast<uint8_t>(status >> 8),
          static_cast<uint8_t>(status >> 16),
          static_cast<uint8_t>(status >> 24)};
}

class ScriptedTransport : public SDPLoader_Interface {
 public:
  explicit ScriptedTransport(Script* s) : s_(s) {}
  bool init() override { return s_->initOk; }
  ssize_t writeData(const Bytes& bytes) override {
    s_->written.push_back(bytes);
    if (s_->answerStatus && bytes.size() > 2 && bytes[1] == 0x05) s_->answers.push_front(sWord(0xF0F0F0F0));
    return static_cast<ssize_t>(bytes.size());
  }
  ssize_t readData(Bytes& out, int timeoutMs) override {
    std::deque<Bytes>& q = timeoutMs == 0 ? s_->early : s_->answers;
    if (q.empty()) return timeoutMs == 0 ? s_->earlyResult : 0;
    out.insert(out.end(), q.front().begin(), q.front().end());
    q.pop_front();
    return static_cast<ssize_t>(out.size());
  }
  bool getDataFromBuffer(const Bytes& bytes, int index, uint32_t& out) override {
    size_t at = 4 + 4 * static_cast<size_t>(index);
    if (bytes.size() < at + 4) return false;
    out |= bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
    return true;
  }

 private:
  Script* s_;
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(engine_.setLoader(std::make_unique<ScriptedTransport>(&script_))); }
  Script script_;
  SDPLoader engine_;
};

Bytes sImage(size_t n) {
  Bytes image(n);
  for (size_t i = 0; i < n; ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return image;
}

const Bytes kErrorStatus = {0x01, 0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

}  // namespace

TEST(SdpEngine, TransportIsTakenOnceAndInitMapsItsResult) {
  SDPLoader none;
  EXPECT_EQ(none.init(), SDPLoader::kNoTransport);
  uint64_t id = 0;
  EXPECT_EQ(none.getFingerprint(id), SDPLoader::kNoTransport);
  EXPECT_EQ(none.writeLoader(Bytes(4), 0), SDPLoader::kNoTransport);
  EXPECT_FALSE(none.setLoader(nullptr));

  Script failing;
  failing.initOk = false;
  Script other;
  SDPLoader engine;
  ASSERT_TRUE(engine.setLoader(std::make_unique<ScriptedTransport>(&failing)));
  EXPECT_FALSE(engine.setLoader(std::make_unique<ScriptedTransport>(&other)));
  EXPECT_EQ(engine.init(), SDPLoader::kInitFailed);
  failing.initOk = true;
  EXPECT_EQ(engine.init(), SDPLoader::kSuccess);
}

TEST_F(EngineTest, JumpIsOneSeventeenByteReport) {
  engine_.startLoader(0x20000400);
  ASSERT_EQ(script_.written.size(), 1u);
  EXPECT_EQ(script_.written[0],
            (Bytes{0x01, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(EngineTest, ImageGoesOutAsWriteFileAndReportsOfAtMost1024Bytes) {
  const Bytes image = sImage(2500);
  script_.answers.push_back(sWord(0x88888888));
  ASSERT_EQ(engine_.writeLoader(image, 0x20000400), SDPLoader::kSuccess);

  ASSERT_EQ(script_.written.size(), 5u);
  EXPECT_EQ(script_.written[0], kErrorStatus);
  EXPECT_EQ(script_.written[1],
            (Bytes{0x01, 0x04, 0x04, 0x20, 0x00, 0x04, 0x00, 0x20, 0x00, 0x00, 0x09, 0xC4, 0, 0, 0, 0, 0}));
  const size_t sizes[] = {1025, 1025, 453};
  Bytes sent;
  for (size_t i = 0; i < 3; ++i) {
    const Bytes& report = script_.written[2 + i];
    ASSERT_EQ(report.size(), sizes[i]) << "data report " << i;
    EXPECT_EQ(report[0], 0x02) << "data report " << i;
    sent.insert(sent.end(), report.begin() + 1, report.end());
  }
  EXPECT_EQ(sent, image);
}

TEST_F(EngineTest, FingerprintReadsBothFuseWordsIntoItsHalves) {
  script_.answers = {sWord(0x11223344), sWord(0x55667788)};
  uint64_t id = 0x100000001ull;  // bits already set stay set
  ASSERT_EQ(engine_.getFingerprint(id), SDPLoader::kSuccess);
  EXPECT_EQ(id, 0x5566778911223345ull);
  ASSERT_EQ(script_.written.size(), 3u);
  EXPECT_EQ(script_.written[1],
            (Bytes{0x01, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0x00, 0x00, 0x00, 0x04, 0, 0, 0, 0, 0}));
  EXPECT_EQ(script_.written[2],
            (Bytes{0x01, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x20, 0x20, 0x00, 0x00, 0x00, 0x04, 0, 0, 0, 0, 0}));
  for (const Bytes& report : script_.written) EXPECT_EQ(report.size(), SDPLoader::kCommandSize);
}

TEST_F(EngineTest, SilentRomIsAbsentAfterFiveStatusTries) {
  script_.answerStatus = false;
  EXPECT_EQ(engine_.writeLoader(sImage(100), 0x20000400), SDPLoader::kNoAnswer);
  ASSERT_EQ(script_.written.size(), 5u);
  for (const Bytes& report : script_.written) EXPECT_EQ(report, kErrorStatus);
  uint64_t id = 0;
  EXPECT_EQ(engine_.getFingerprint(id), SDPLoader::kNoAnswer);
  EXPECT_EQ(script_.written.size(), 10u);
  EXPECT_EQ(id, 0u);
}

TEST(SdpEngine, TransferFailuresHaveTheirCodes) {
  struct Case {
    const char* what;
    std::deque<Bytes> early;
    ssize_t earlyResult;
    std::deque<Bytes> final;
    int result;
    size_t dataReportsSent;
  };
  const Case cases[] = {
      {"bytes before the second report", {{}, sWord(0x33333333)}, 0, {}, SDPLoader::kDataDuringTransfer, 1},
      {"a failing read mid-transfer", {}, -1, {}, SDPLoader::kDataDuringTransfer, 0},
      {"a wrong final status", {}, 0, {sWord(0x12345678)}, SDPLoader::kTransferIncomplete, 3},
      {"an acknowledge as final status", {}, 0, {sWord(0xF0F0F0F0)}, SDPLoader::kTransferIncomplete, 3},
      {"a 7-byte final answer",
       {},
       0,
       {Bytes{0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88}},
       SDPLoader::kTransferIncomplete,
       3},
      {"no final answer", {}, 0, {}, SDPLoader::kTransferIncomplete, 3},
  };
  for (const Case& c : cases) {
    Script script;
    script.early = c.early;
    script.earlyResult = c.earlyResult;
    script.answers = c.final;
    SDPLoader engine;
    ASSERT_TRUE(engine.setLoader(std::make_unique<ScriptedTransport>(&script)));
    EXPECT_EQ(engine.writeLoader(sImage(2500), 0x20000400), c.result) << c.what;
    EXPECT_EQ(script.written.size(), 2 + c.dataReportsSent) << c.what;
  }
}

TEST_F(EngineTest, ShortRegisterAnswerIsUnreadable) {
  script_.answers = {sWord(0x11223344), Bytes{0x56, 0x78, 0x78, 0x56, 1, 2, 3}};
  uint64_t id = 0;
  EXPECT_EQ(engine_.getFingerprint(id), SDPLoader::kRegisterUnreadable);
}

// ---- HID: stand-in hidapi functions over a queue of reports ----

namespace {

struct FakeHid {
  std::deque<Bytes> reports;
  std::vector<Bytes> written;
  bool endless = false;  // a device that never stops sending
  bool fail = false;
  bool openOk = true;
  int inits = 0;
  int exits = 0;
  int closes = 0;
} gHid;

hid_device_* const kHandle = reinterpret_cast<hid_device_*>(0x1000);

const HidFunctions kFakeHid = {
    [] { return ++gHid.inits, 0; },
    [](unsigned short vendor, unsigned short product, const wchar_t* serial) -> hid_device_* {
      return gHid.openOk && vendor == 0x1FC9 && product == 0x0130 && !serial ? kHandle : nullptr;
    },
    [](hid_device_*, const unsigned char* data, size_t length) {
      gHid.written.emplace_back(data, data + length);
      return static_cast<int>(length);
    },
    [](hid_device_*, unsigned char* data, size_t length, int) {
      if (gHid.fail) return -1;
      if (gHid.endless) gHid.reports.push_back(Bytes(65, 4));
      if (gHid.reports.empty()) return 0;
      Bytes r = gHid.reports.front();
      gHid.reports.pop_front();
      size_t n = std::min(length, r.size());
      std::memcpy(data, r.data(), n);
      return static_cast<int>(n);
    },
    [](hid_device_*) { ++gHid.closes; },
    [] { return ++gHid.exits, 0; },
};

Bytes sReport(uint8_t id, size_t size, uint32_t firstWord) {
  Bytes r(size, 0xEE);
  r[0] = id;
  for (size_t i = 0; i < 4 && 1 + i < size; ++i) r[1 + i] = static_cast<uint8_t>(firstWord >> (8 * i));
  return r;
}

}  // namespace

TEST(HidSdpTransport, AnswersOfExactly70BytesHoldTheStatusWord) {
  gHid = FakeHid();
  {
    HID_SDPLoader hid(HID_SDPLoader::kVendorId, HID_SDPLoader::kProductId, kFakeHid);
    ASSERT_TRUE(hid.init());
    struct Case {
      std::deque<Bytes> reports;
      size_t total;
      bool holdsWord;
    };
    // The security report arrives as a full 65-byte buffer and counts 5.
    const Case cases[] = {
        {{sReport(3, 65, 0x56787856), sReport(4, 64, 0x88888888)}, 69, false},
        {{sReport(3, 65, 0x56787856), sReport(4, 65, 0x88888888)}, 70, true},
        {{sReport(3, 65, 0x56787856), sReport(4, 65, 0x88888888), Bytes{5}}, 71, false},
    };
    for (const Case& c : cases) {
      gHid.reports = c.reports;
      Bytes answer;
      EXPECT_EQ(hid.readData(answer, 100), static_cast<ssize_t>(c.total));
      ASSERT_EQ(answer.size(), c.total);
      EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 5), (Bytes{3, 0x56, 0x78, 0x78, 0x56}));
      uint32_t word = 0;
      EXPECT_EQ(hid.getDataFromBuffer(answer, 0, word), c.holdsWord) << c.total;
      if (c.holdsWord) {
        EXPECT_EQ(word, 0x88888888u);
      }
    }
    for (size_t size : {69u, 71u}) {
      uint32_t word = 0;
      Bytes answer(size, 0x88);
      EXPECT_FALSE(hid.getDataFromBuffer(answer, 0, word)) << size;
    }

    gHid.endless = true;
    Bytes flood;
    EXPECT_EQ(hid.readData(flood, 1), static_cast<ssize_t>(HID_SDPLoader::kMaxReportsPerRead * 65));
    gHid.endless = false;
    gHid.fail = true;
    Bytes broken;
    EXPECT_LT(hid.readData(broken, 1), 0);

    ASSERT_EQ(hid.writeData(Bytes{1, 5, 5}), 3);
    EXPECT_EQ(gHid.written.back(), (Bytes{1, 5, 5}));
  }
  EXPECT_EQ(gHid.closes, 1);
  EXPECT_EQ(gHid.exits, gHid.inits);
}

TEST(HidSdpTransport, NoDeviceMeansNoTransport) {
  gHid = FakeHid();
  gHid.openOk = false;
  auto hid = std::make_unique<HID_SDPLoader>(HID_SDPLoader::kVendorId, HID_SDPLoader::kProductId, kFakeHid);
  SDPLoader engine;
  ASSERT_TRUE(engine.setLoader(std::move(hid)));
  EXPECT_EQ(engine.init(), SDPLoader::kInitFailed);
  EXPECT_EQ(engine.writeLoader(Bytes(10), 0x20000400), SDPLoader::kNoAnswer);
}

// ---- Serial ----

TEST(SerialSdpTransport, StatusWordNeedsEightBytes) {
  Serial_SDPLoader serial("/nonexistent");
  uint32_t word = 0;
  EXPECT_FALSE(serial.getDataFromBuffer(Bytes{0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88}, 0, word));
  word = 0x1;
  ASSERT_TRUE(serial.getDataFromBuffer(Bytes{0x56, 0x78, 0x78, 0x56, 0x10, 0x32, 0x54, 0x76}, 0, word));
  EXPECT_EQ(word, 0x76543211u);
  EXPECT_FALSE(serial.init());
}

TEST(SerialSdpTransport, ReadOfALineThatKeepsSendingIsBounded) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  // The talker below must never block on a full line.
  ASSERT_EQ(fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK), 0);
  const std::string path = ptsname(master);
  Serial_SDPLoader serial(path.c_str());
  ASSERT_TRUE(serial.init());

  EXPECT_EQ(serial.writeData(Bytes{1, 0x05, 0x05, 0xAA}), 3);
  uint8_t got[8] = {};
  ssize_t n = 0;
  for (int i = 0; i < 100 && n < 3; ++i) {
    ssize_t r = read(master, got + n, sizeof got - static_cast<size_t>(n));
    if (r > 0) n += r;
    if (n < 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(n, 3) << "the report id must not reach the line";
  EXPECT_EQ(Bytes(got, got + 3), (Bytes{0x05, 0x05, 0xAA}));

  Bytes none;
  EXPECT_EQ(serial.readData(none, 0), 0);

  std::atomic<bool> stop{false};
  std::thread talker([&] {
    const uint8_t block[256] = {0x5A};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!stop && std::chrono::steady_clock::now() < end) {
      if (write(master, block, sizeof block) <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  Bytes flood;
  const auto start = std::chrono::steady_clock::now();
  ssize_t count = serial.readData(flood, 10);
  const auto took = std::chrono::steady_clock::now() - start;
  stop = true;
  talker.join();
  EXPECT_GT(count, 0);
  EXPECT_LE(static_cast<size_t>(count), Serial_SDPLoader::kMaxAnswerBytes);
  EXPECT_EQ(flood.size(), static_cast<size_t>(count));
  EXPECT_LT(took, std::chrono::milliseconds(10 + Serial_SDPLoader::kMaxDrainMs + 500));
  close(master);
}
