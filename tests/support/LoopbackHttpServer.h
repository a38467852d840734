// A scripted HTTP/1.0-style server on 127.0.0.1 for client tests: it records
// each request line and answers with whatever raw bytes the test chose, or
// keeps the connection open without a word to make the client stall.
#ifndef CORVALITH_TESTS_SUPPORT_LOOPBACKHTTPSERVER_H
#define CORVALITH_TESTS_SUPPORT_LOOPBACKHTTPSERVER_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class LoopbackHttpServer {
 public:
  // Given the request line ("GET /path?query HTTP/1.1"), returns the raw bytes
  // to send; the connection is closed after them unless holdOpen is set.
  using Script = std::function<std::string(const std::string& requestLine)>;

  explicit LoopbackHttpServer(Script script);
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  int port() const { return listenPort; }
  std::string url(const std::string& path = "/cgi/u") const;
  // After sending the script's bytes, keep the connection open until the
  // client gives up or the server is destroyed.
  void holdOpen(bool hold) { keepOpen = hold; }
  std::vector<std::string> requests() const;

  // A complete response with Content-Length.
  static std::string Reply(int status, const std::string& body);

 private:
  void Run();
  void Serve(int client);

  Script script;
  int listenFd = -1;
  int listenPort = 0;
  std::atomic<bool> stopping{false};
  std::atomic<bool> keepOpen{false};
  mutable std::mutex lock;
  std::vector<std::string> seen;
  std::thread worker;
};

#endif
