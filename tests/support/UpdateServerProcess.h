// corvalith-update-server as a child process of a test: started on a free
// loopback port (read from its LISTEN line), its request log kept in a file,
// and stopped by its pid when the object goes.
#ifndef CORVALITH_TESTS_SUPPORT_UPDATESERVERPROCESS_H
#define CORVALITH_TESTS_SUPPORT_UPDATESERVERPROCESS_H

#include <string>
#include <vector>

#include "support/ChildProcess.h"

class UpdateServerProcess {
 public:
  // root: the served directory; extraArgs: more options (--key, --fault, --tls).
  UpdateServerProcess(const std::string& root, const std::string& logPath,
                      const std::vector<std::string>& extraArgs = {});
  ~UpdateServerProcess();
  UpdateServerProcess(const UpdateServerProcess&) = delete;
  UpdateServerProcess& operator=(const UpdateServerProcess&) = delete;

  bool running() const { return port > 0 && child.pid() > 0; }
  // SIGTERM and wait: the exit code, or -1 when it had to be killed or ended
  // by a signal. The destructor does this when the test did not.
  int Stop();
  // http (or https with --tls) URL of /cgi/u.
  std::string url() const;
  // Request lines logged so far ("GET /cgi/u?op=hi&rv=2&").
  std::vector<std::string> requests() const;
  // Forgets the lines logged so far.
  void clearRequests();
  // What the server wrote before its LISTEN line or on failing to start.
  const std::string& startOutput() const { return output; }

 private:
  ChildProcess child;
  int port = 0;
  bool tls = false;
  std::string logPath;
  size_t skipLines = 0;
  std::string output;
};

#endif
