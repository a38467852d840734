#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

PtyPair::PtyPair(bool raw) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return;
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
    closeMaster();
    return;
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    closeMaster();
    return;
  }
  slavePath_ = name;
  if (raw) {
    // Terminal settings set through the master apply to the slave side.
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
  }
}

PtyPair::~PtyPair() {
  closeMaster();
}

void PtyPair::closeMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

bool PtyPair::send(const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  for (int tries = 0; sent < bytes.size() && tries < 1000; ++tries) {
    ssize_t n = write(master_, bytes.data() + sent, bytes.size() - sent);
    if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
    if (n > 0) sent += static_cast<size_t>(n);
  }
  return sent == bytes.size();
}

std::vector<uint8_t> PtyPair::receive(size_t count, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<uint8_t> got;
  while (got.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left)) <= 0) break;
    uint8_t buffer[256];
    size_t want = count - got.size() < sizeof buffer ? count - got.size() : sizeof buffer;
    ssize_t n = read(master_, buffer, want);
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

std::vector<uint8_t> PtyPair::drain(int quietMs) {
  std::vector<uint8_t> got;
  for (int rounds = 0; rounds < 10000; ++rounds) {
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, quietMs) <= 0) break;
    uint8_t buffer[256];
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}
