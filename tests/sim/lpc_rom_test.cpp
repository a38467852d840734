// corvalith-lpc-rom driven byte by byte over its pseudo-terminal: the
// answers are fixed texts here, independent of the ISP client in loaders/.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "support/LpcRomProcess.h"
#include "support/TempFiles.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kAnswerTimeoutMs = 3000;

class Port {
 public:
  Port(const std::string& path, speed_t speed) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    struct termios t;
    if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
      cfmakeraw(&t);
      cfsetispeed(&t, speed);
      cfsetospeed(&t, speed);
      tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~Port() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void send(const std::string& text) {
    ASSERT_EQ(write(fd_, text.data(), text.size()), (ssize_t)text.size());
  }
  // Reads until count bytes came or the time-out passed.
  std::string read(size_t count, int timeoutMs = kAnswerTimeoutMs) {
    std::string got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count && Clock::now() < deadline) {
      struct pollfd p = {fd_, POLLIN, 0};
      int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (poll(&p, 1, std::max(left, 0)) <= 0) continue;
      char buffer[256];
      ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) got.append(buffer, n);
    }
    return got;
  }
  // Sends a line and expects exactly the answer (echo included when on).
  std::string ask(const std::string& line, size_t answerSize) {
    send(line + "\r\n");
    return read(answerSize);
  }

 private:
  int fd_;
};

void sSync(Port* port) {
  port->send("?");
  EXPECT_EQ(port->read(14), "Synchronized\r\n");
  EXPECT_EQ(port->ask("Synchronized", 18), "Synchronized\r\nOK\r\n");
  EXPECT_EQ(port->ask("14746", 11), "14746\r\nOK\r\n");
}

std::string sAsk(Port* port, const std::string& line, const std::string& expected) {
  return port->ask(line, expected.size());
}

}  // namespace

TEST(LpcRom, SynchronisesEchoesAndIdentifies) {
  TempDir dir;
  LpcRomProcess rom;
  ASSERT_TRUE(rom.start({"--uid", "1 A0 ffffffff 0", "--part-id", "0x26011922", "--link", dir / "isp"},
                        dir / "state.json"));
  Port port(dir / "isp", B115200);
  ASSERT_TRUE(port.ok()) << "--link points at the pty";
  sSync(&port);
  EXPECT_EQ(sAsk(&port, "J", "J\r\n0\r\n637606178\r\n"), "J\r\n0\r\n637606178\r\n");
  EXPECT_EQ(sAsk(&port, "A 0", "A 0\r\n0\r\n"), "A 0\r\n0\r\n") << "echo of A itself still on";
  EXPECT_EQ(sAsk(&port, "N", "0\r\n1\r\n160\r\n4294967295\r\n0\r\n"), "0\r\n1\r\n160\r\n4294967295\r\n0\r\n");
  EXPECT_EQ(sAsk(&port, "K", "0\r\n1\r\n4\r\n"), "0\r\n1\r\n4\r\n");
  EXPECT_EQ(sAsk(&port, "Z 1", "1\r\n"), "1\r\n");
  EXPECT_EQ(sAsk(&port, "A 1", "0\r\n"), "0\r\n");
  EXPECT_EQ(sAsk(&port, "A 2", "A 2\r\n12\r\n"), "A 2\r\n12\r\n");
}

TEST(LpcRom, FlashFollowsTheChipsRules) {
  TempDir dir;
  LpcRomProcess rom;
  ASSERT_TRUE(rom.start({}, dir / "state.json"));
  Port port(rom.pty(), B115200);
  sSync(&port);
  ASSERT_EQ(sAsk(&port, "A 0", "A 0\r\n0\r\n"), "A 0\r\n0\r\n");
  const struct {
    const char* line;
    const char* answer;
  } steps[] = {
      {"E 0 0", "15\r\n"},  // locked before U
      {"U 1234", "16\r\n"},
      {"U 23130", "0\r\n"},
      {"E 0 0", "9\r\n"},  // not prepared
      {"P 3 1", "12\r\n"},
      {"P 0 30", "7\r\n"},
      // 4 bytes 01 02 03 04 (sum 10) into RAM.
      {"W 268435968 4", "0\r\n"},
      {"$`0(#!```", ""},
      {"10", "OK\r\n"},
      {"C 0 268435968 256", "9\r\n"},
      {"P 0 0", "0\r\n"},
      {"C 1 268435968 256", "3\r\n"},
      {"C 0 268435968 100", "6\r\n"},
      {"C 0 268435969 256", "2\r\n"},
      {"C 0 0 256", "4\r\n"},
      {"C 0 268435968 256", "0\r\n"},
      {"C 0 268435968 256", "9\r\n"},  // P before each C
      {"I 0 0", "8\r\n0\r\n67305985\r\n"},
      // 0F FE 01 06 copied onto cells that hold 01 02 03 04, not erased.
      {"W 268435968 4", "0\r\n"},
      {"$#_X!!@``", ""},
      {"276", "OK\r\n"},
      {"P 0 0", "0\r\n"},
      {"C 0 268435968 256", "0\r\n"},
      {"R 0 4", "0\r\n$`0(!!```\r\n8\r\n"},  // 01 02 01 04: the AND of old and new
      {"OK", ""},
      {"M 0 268435968 4", "10\r\n0\r\n"},
      {"R 1 4", "13\r\n"},
      {"R 0 6", "6\r\n"},
      {"R 524288 4", "14\r\n"},
      {"B 1234 1", "17\r\n"},
      {"B 9600 3", "18\r\n"},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(sAsk(&port, step.line, step.answer), step.answer) << step.line;
  }
  ASSERT_EQ(kill(rom.pid(), SIGUSR1), 0);
  LpcRomState state;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
  while (!rom.readState(&state) && Clock::now() < deadline) port.read(1, 10);
  ASSERT_EQ(state.flash.size(), 0x80000u);
  EXPECT_EQ(state.flash[0], 0x01);
  EXPECT_EQ(state.flash[2], 0x01);
  EXPECT_EQ(state.flash[3], 0x04);
  EXPECT_EQ(state.flash[255], 0x00) << "the copy took 256 bytes of RAM";
  EXPECT_EQ(state.flash[256], 0xFF);
  EXPECT_EQ(state.commands.front(), "A 0");
}

TEST(LpcRom, FaultsAndLinePacing) {
  TempDir dir;
  {
    LpcRomProcess silent;
    ASSERT_TRUE(silent.start({"--silent"}, dir / "silent.json"));
    Port port(silent.pty(), B115200);
    port.send("?");
    EXPECT_EQ(port.read(1, 300), "") << "a silent chip answers nothing";
  }
  LpcRomProcess rom;
  ASSERT_TRUE(rom.start({"--fail", "J=19@2", "--bad-read-checksum", "1"}, dir / "state.json"));
  Port port(rom.pty(), B9600);
  sSync(&port);
  EXPECT_EQ(sAsk(&port, "A 0", "A 0\r\n0\r\n"), "A 0\r\n0\r\n");
  EXPECT_EQ(sAsk(&port, "J", "0\r\n637615927\r\n"), "0\r\n637615927\r\n");
  EXPECT_EQ(sAsk(&port, "J", "19\r\n"), "19\r\n") << "only the second use fails";
  EXPECT_EQ(sAsk(&port, "J", "0\r\n637615927\r\n"), "0\r\n637615927\r\n");
  // Erased flash reads as 0xFF; the first checksum is off by one, the resent one right.
  const std::string line = "$_____P``\r\n";
  EXPECT_EQ(sAsk(&port, "R 0 4", "0\r\n" + line + "1021\r\n"), "0\r\n" + line + "1021\r\n");
  EXPECT_EQ(sAsk(&port, "RESEND", line + "1020\r\n"), line + "1020\r\n");
  EXPECT_EQ(sAsk(&port, "OK", ""), "");
  // At 9600 bit/s a character takes over 1 ms: the 262 characters of this
  // answer cannot all come in less than 250 ms, however fast the host reads.
  const std::string full = "M" + std::string(60, '_') + "\r\n";
  const std::string answer = "0\r\n" + full + full + full + full + "45900\r\n";
  const auto started = Clock::now();
  EXPECT_EQ(sAsk(&port, "R 0 180", answer), answer);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count(), 250);
}
