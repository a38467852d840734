// corvalith-update-server as a child process of a test: started on a free
// loopback port (read from its LISTEN line), its request log kept in a file,
// and stopped by its pid when the object goes.
#ifndef CORVALITH_TESTS_E2E_UPDATE_SERVER_PROCESS_H
#define CORVALITH_TESTS_E2E_UPDATE_SERVER_PROCESS_H

#include <sys/types.h>
#include <string>
#include <vector>

class UpdateServerProcess {
 public:
  // root: the served directory; extraArgs: more options (--key, --fault, --tls).
  UpdateServerProcess(const std::string& root, const std::string& logPath,
                      const std::vector<std::string>& extraArgs = {});
  ~UpdateServerProcess();
  UpdateServerProcess(const UpdateServerProcess&) = delete;
  UpdateServerProcess& operator=(const UpdateServerProcess&) = delete;

  bool running() const { return port > 0 && pid > 0; }
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
  pid_t pid = -1;
  int port = 0;
  bool tls = false;
  std::string logPath;
  size_t skipLines = 0;
  std::string output;
};

// A loopback port bound but not listening: connections are refused at once.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  std::string url() const;

 private:
  int fd = -1;
  int port = 0;
};

#endif
