// The pseudo-terminal a simulated ROM serves its serial line on.
#ifndef CORVALITH_SIM_STANDINPTY_H
#define CORVALITH_SIM_STANDINPTY_H

#include <string>

namespace sim {

class StandInPty {
 public:
  StandInPty() = default;
  ~StandInPty();
  StandInPty(const StandInPty&) = delete;
  StandInPty& operator=(const StandInPty&) = delete;

  // A raw 115200-baud terminal with a non-blocking master, and a symbolic
  // link to it at link when that is not empty. False after reporting why on
  // stderr, prefixed with program.
  [[nodiscard]] bool open(const char* program, const std::string& link);

  int master() const { return master_; }
  const std::string& path() const { return path_; }

 private:
  int master_ = -1;
  int keeper_ = -1;
  std::string path_;
};

}  // namespace sim

#endif
