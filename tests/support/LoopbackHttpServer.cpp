#include "support/LoopbackHttpServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "support/Loopback.h"

namespace {

constexpr int kPollMs = 50;
constexpr size_t kMaxRequestHead = 16384;
// Longest a held connection stays open; the client tests give up far sooner.
constexpr auto kMaxHold = std::chrono::seconds(20);

}  // namespace

LoopbackHttpServer::LoopbackHttpServer(Script s) : script(std::move(s)) {
  listenFd = BindLoopback(&listenPort, 8);
  if (listenFd < 0) throw std::runtime_error("listen on 127.0.0.1");
  worker = std::thread([this] { Run(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  stopping = true;
  worker.join();
  close(listenFd);
}

std::string LoopbackHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(listenPort) + path;
}

std::vector<std::string> LoopbackHttpServer::requests() const {
  std::lock_guard<std::mutex> guard(lock);
  return seen;
}

std::string LoopbackHttpServer::Reply(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

void LoopbackHttpServer::Run() {
  while (!stopping) {
    pollfd p{listenFd, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) continue;
    const int client = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    Serve(client);
    close(client);
  }
}

void LoopbackHttpServer::Serve(int client) {
  std::string head;
  const auto deadline = std::chrono::steady_clock::now() + kMaxHold;
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead) {
    if (stopping || std::chrono::steady_clock::now() > deadline) return;
    pollfd p{client, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) continue;
    char buffer[1024];
    const ssize_t n = recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    head.append(buffer, static_cast<size_t>(n));
  }
  const std::string line = head.substr(0, head.find("\r\n"));
  {
    std::lock_guard<std::mutex> guard(lock);
    seen.push_back(line);
  }
  const std::string out = script(line);
  size_t sent = 0;
  while (sent < out.size()) {
    const ssize_t n = send(client, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
  // Hold: wait until the client hangs up (readable with 0 bytes) or we stop.
  while (keepOpen && !stopping && std::chrono::steady_clock::now() < deadline) {
    pollfd p{client, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) continue;
    char buffer[256];
    if (recv(client, buffer, sizeof buffer, 0) <= 0) return;
  }
}
