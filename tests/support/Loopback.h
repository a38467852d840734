// TCP sockets on 127.0.0.1 for tests and benchmarks: a listener on a free
// port, a client connection, and a port that refuses every connection.
#ifndef CORVALITH_TESTS_SUPPORT_LOOPBACK_H
#define CORVALITH_TESTS_SUPPORT_LOOPBACK_H

#include <cstdint>
#include <string>

// A TCP socket bound to a free port on 127.0.0.1 (its port in *port),
// listening with backlog unless backlog is 0; -1 on failure.
int BindLoopback(int* port, int backlog = 0);
// A TCP connection to 127.0.0.1:port, or -1.
int ConnectLoopback(uint16_t port);

// A loopback port that is bound but not listening: connections to it are
// refused at once, and nobody else can take it while this object lives.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int port() const { return boundPort; }
  std::string url(const std::string& path = "/cgi/u") const;

 private:
  int fd = -1;
  int boundPort = 0;
};

#endif
