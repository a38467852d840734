// Which URL the update-server queries go to for each form of -u: a full URL
// as given, a bare host:port (the form the usage text asks for) on the query
// path, nothing at all on the default server.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "updater/UpdateServerRequest.h"

namespace {

TEST(ServerBaseUrlTest, EachFormOfTheServerOption) {
  EXPECT_EQ(UpdateServerRequest::BaseUrl(nullptr), UpdateServerRequest::default_url);
  EXPECT_EQ(UpdateServerRequest::BaseUrl(""), UpdateServerRequest::default_url);
  EXPECT_EQ(UpdateServerRequest::BaseUrl("127.0.0.1:8490"), "http://127.0.0.1:8490/cgi/u");
  EXPECT_EQ(UpdateServerRequest::BaseUrl("updates.local"), "http://updates.local/cgi/u");
  for (const char* asGiven : {"http://127.0.0.1:8490/cgi/u", "http://127.0.0.1:8490", "https://h:1/x/y",
                              "127.0.0.1:8490/other/path"}) {
    EXPECT_EQ(UpdateServerRequest::BaseUrl(asGiven), asGiven);
  }
}

// Answers one request with "ok" and keeps its request line.
class OneShotServer {
 public:
  OneShotServer() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 1) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    port = ntohs(address.sin_port);
    worker = std::thread([this] { Serve(); });
  }
  ~OneShotServer() {
    Join();
    if (fd >= 0) close(fd);
  }
  // Waits until the one request was answered (or none came in time).
  void Join() {
    if (worker.joinable()) worker.join();
  }
  int port = 0;
  std::string requestLine;

 private:
  void Serve() {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return;  // the client never came
    const int client = accept(fd, nullptr, nullptr);
    if (client < 0) return;
    std::string request;
    char chunk[512];
    // Bounded: the request is small and the client sends it at once.
    for (int round = 0; round < 64 && request.find("\r\n\r\n") == std::string::npos; ++round) {
      pollfd c{client, POLLIN, 0};
      if (poll(&c, 1, 5000) != 1) break;
      const ssize_t n = recv(client, chunk, sizeof(chunk), 0);
      if (n <= 0) break;
      request.append(chunk, static_cast<size_t>(n));
    }
    requestLine = request.substr(0, request.find("\r\n"));
    const std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nok\n";
    (void)send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
    close(client);
  }
  int fd = -1;
  std::thread worker;
};

TEST(ServerBaseUrlTest, HostAndPortReachTheQueryPath) {
  OneShotServer server;
  ASSERT_GT(server.port, 0);
  const std::string hostPort = "127.0.0.1:" + std::to_string(server.port);
  EXPECT_TRUE(UpdateServerRequest::ping(hostPort.c_str()));
  server.Join();
  EXPECT_EQ(server.requestLine, "GET /cgi/u?op=hi&rv=2& HTTP/1.1");
}

}  // namespace
