#include "loaders/Serial_SDPLoader.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "updater/report/Log.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kSecurityWordSize = 4;
constexpr int kWriteRetryMs = 1;

bool sNoDataYet(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

class PrivateSerial_SDPLoader {
 public:
  int fd = 0;  // 0: not open
  const char* path = nullptr;
  struct termios settings = {};
};

Serial_SDPLoader::Serial_SDPLoader(const char* path) : d_(std::make_unique<PrivateSerial_SDPLoader>()) {
  d_->path = path;
}

Serial_SDPLoader::~Serial_SDPLoader() {
  if (d_->fd > 0) {
    tcflush(d_->fd, TCIOFLUSH);
    close(d_->fd);
  }
}

bool Serial_SDPLoader::init() {
  if (d_->fd > 0 || !d_->path) return d_->fd > 0;
  int fd = open(d_->path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    Log::log(DEBUG_iMXSerial, "open %s: %s\n", d_->path, strerror(errno));
    return false;
  }
  if (!isatty(fd) || tcgetattr(fd, &d_->settings) != 0) {
    close(fd);
    return false;
  }
  struct termios& t = d_->settings;
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = CS8 | CREAD | CLOCAL;
  // Non-blocking reads: whatever is there, at once.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, B115200) != 0 || cfsetospeed(&t, B115200) != 0 || tcsetattr(fd, TCSAFLUSH, &t) != 0) {
    close(fd);
    return false;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
  tcflush(fd, TCIOFLUSH);
  d_->fd = fd;
  return true;
}

ssize_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& bytes) {
  if (d_->fd <= 0) return -1;
  if (bytes.size() <= 1) return 0;
  const uint8_t* data = bytes.data() + 1;
  const size_t size = bytes.size() - 1;
  size_t done = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
  while (done < size) {
    ssize_t n = write(d_->fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EINTR && !sNoDataYet(errno)) return -1;
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(kWriteRetryMs));
  }
  return static_cast<ssize_t>(done);
}

ssize_t Serial_SDPLoader::readData(std::vector<uint8_t>& out, int timeoutMs) {
  if (d_->fd <= 0) return -1;
  if (timeoutMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
  // Take what the wait collected; a line that keeps sending is cut at the
  // caps rather than read for ever.
  const auto deadline = Clock::now() + std::chrono::milliseconds(kMaxDrainMs);
  ssize_t count = 0;
  while (static_cast<size_t>(count) < kMaxAnswerBytes && Clock::now() < deadline) {
    uint8_t byte;
    ssize_t n = read(d_->fd, &byte, 1);
    if (n == 1) {
      out.push_back(byte);
      ++count;
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (sNoDataYet(errno)) break;
    Log::log(DEBUG_iMXSerial, "read %s: %s\n", d_->path, strerror(errno));
    return -1;
  }
  return count;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& bytes, int index, uint32_t& out) {
  if (index < 0) return false;
  size_t at = kSecurityWordSize + 4 * static_cast<size_t>(index);
  if (bytes.size() < at + 4) return false;
  out |= static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
         static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
  return true;
}
