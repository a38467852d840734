#include "unix/os_test_support.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "support/ChildProcess.h"

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "cv-os-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = buffer.data();
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // Tests take rights away; give them back so everything can go.
  for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::remove_all(path_, ec);
}

std::string ScratchDir::at(const std::string& name) const {
  return path_ + "/" + name;
}

std::string ScratchDir::write(const std::string& name, const std::string& contents) const {
  const std::string full = at(name);
  std::ofstream(full, std::ios::binary) << contents;
  return full;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

bool CanSwitchUser() {
  return geteuid() == 0;
}

ChildResult RunInChild(int uid, const std::function<int()>& body, int timeoutMs) {
  ChildResult result;
  ChildProcess child;
  const bool made = child.spawn([&] {
    if (uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(uid)) != 0 ||
                     setuid(static_cast<uid_t>(uid)) != 0)) {
      return 125;
    }
    return body();
  });
  if (!made) return result;
  const auto deadline = ChildProcess::Clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  if (child.communicate("", &result.out, &result.err, deadline) && child.wait(deadline, &status)) {
    result.finished = WIFEXITED(status);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return result;
}
