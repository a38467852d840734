#include "sim/StandInPty.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace sim {

StandInPty::~StandInPty() {
  if (keeper_ >= 0) close(keeper_);
  if (master_ >= 0) close(master_);
}

bool StandInPty::open(const char* program, const std::string& link) {
  const std::string what = std::string(program) + ": pseudo-terminal";
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    std::perror(what.c_str());
    return false;
  }
  path_ = ptsname(master_);
  // Holding the far side open keeps the pty alive between clients, and raw
  // mode keeps the line discipline from echoing or translating.
  keeper_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
  struct termios raw;
  if (keeper_ < 0 || tcgetattr(keeper_, &raw) != 0) {
    std::perror(what.c_str());
    return false;
  }
  cfmakeraw(&raw);
  cfsetispeed(&raw, B115200);
  cfsetospeed(&raw, B115200);
  if (tcsetattr(keeper_, TCSANOW, &raw) != 0 ||
      fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) {
    std::perror(what.c_str());
    return false;
  }
  if (!link.empty()) {
    unlink(link.c_str());
    if (symlink(path_.c_str(), link.c_str()) != 0) {
      std::perror((std::string(program) + ": --link").c_str());
      return false;
    }
  }
  return true;
}

}  // namespace sim
