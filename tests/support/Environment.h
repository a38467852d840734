// The process environment in tests: whether this run is inside a private
// network namespace (scripts/netns-run), and a variable set for one scope.
#ifndef CORVALITH_TESTS_SUPPORT_ENVIRONMENT_H
#define CORVALITH_TESTS_SUPPORT_ENVIRONMENT_H

#include <cstdlib>
#include <string>

// Multicast, broadcast and every-interface traffic may only go out when this
// is true; tests and benchmarks that send it skip otherwise with this reason.
inline bool InPrivateNetwork() {
  const char* flag = std::getenv("NETNS_PRIVATE");
  return flag != nullptr && std::string(flag) == "1";
}
constexpr const char* kNeedsPrivateNetwork = "needs a private network namespace (scripts/netns-run)";

// Sets an environment variable for the lifetime of the object and puts back
// what was there before (or removes it again).
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name.c_str());
    had_ = old != nullptr;
    if (old) old_ = old;
    setenv(name.c_str(), value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

#endif
