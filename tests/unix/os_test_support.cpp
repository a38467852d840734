#include "unix/os_test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

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

ChildResult RunInChild(const std::string& dir, int uid, const std::function<int()>& body, int timeoutMs) {
  ChildResult result;
  const std::string outPath = dir + "/.child-out";
  const std::string errPath = dir + "/.child-err";
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    return result;
  }
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
      _exit(125);
    }
    if (uid >= 0) {
      if (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(uid)) != 0 ||
          setuid(static_cast<uid_t>(uid)) != 0) {
        _exit(125);
      }
    }
    const int code = body();
    fflush(stdout);
    fflush(stderr);
    _exit(code & 0xff);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      result.finished = WIFEXITED(status);
      result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (done < 0 || std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  result.out = ReadWholeFile(outPath);
  result.err = ReadWholeFile(errPath);
  unlink(outPath.c_str());
  unlink(errPath.c_str());
  return result;
}
