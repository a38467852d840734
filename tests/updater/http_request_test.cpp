#include "updater/HTTPRequest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "support/Loopback.h"
#include "support/LoopbackHttpServer.h"

namespace {

TEST(HTTPRequest, UrlListsParametersInByteOrderUnencodedWithTrailingAmpersand) {
  LoopbackHttpServer server([](const std::string&) { return LoopbackHttpServer::Reply(200, "ok\n"); });
  // "Z" sorts before "a" byte-wise; values go out exactly as given.
  const HTTPParameters params = {{"sn", "00001A2B"}, {"op", "qu"}, {"Z", "1"}, {"fp", "00000001%2000000002"}};
  const HTTPResponse r = HTTPRequest::GET(server.url(), params);
  const std::string expected = server.url() + "?Z=1&fp=00000001%2000000002&op=qu&sn=00001A2B&";
  EXPECT_EQ(r.get_request(), expected);
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0], "GET /cgi/u?Z=1&fp=00000001%2000000002&op=qu&sn=00001A2B& HTTP/1.1");
  EXPECT_EQ(r.get_status(), 200);
  EXPECT_EQ(r.get_response(), "ok\n");

  EXPECT_EQ(HTTPRequest::BuildUrl("http://h/cgi/u", {}), "http://h/cgi/u") << "no parameters: no \"?\"";
}

TEST(HTTPRequest, NonSuccessStatusIsReturnedNotThrown) {
  LoopbackHttpServer server([](const std::string&) { return LoopbackHttpServer::Reply(404, "gone"); });
  const HTTPResponse r = HTTPRequest::GET(server.url(), {{"op", "hi"}});
  EXPECT_EQ(r.get_status(), 404);
  EXPECT_EQ(r.get_response(), "gone");
}

TEST(HTTPRequest, LargeBodyArrivesWholeAcrossChunks) {
  std::string body;
  for (int i = 0; body.size() < 300000; ++i) body += std::to_string(i) + ",";
  LoopbackHttpServer server([&](const std::string&) { return LoopbackHttpServer::Reply(200, body); });
  const HTTPResponse r = HTTPRequest::GET(server.url(), {});
  EXPECT_EQ(r.get_response().size(), body.size());
  EXPECT_EQ(r.get_response(), body);
}

TEST(HTTPRequest, RefusedConnectionThrowsLibcurlText) {
  RefusingPort closed;
  try {
    HTTPRequest::GET(closed.url(), {{"op", "hi"}});
    FAIL() << "a refused connection must throw";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Couldn't connect to server");
  }
}

TEST(HTTPRequest, StalledTransferIsAbortedByTheLowSpeedLimit) {
  // Headers promise 100 bytes, then nothing comes.
  LoopbackHttpServer server(
      [](const std::string&) { return std::string("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nok"); });
  server.holdOpen(true);
  HTTPLimits limits;
  limits.lowSpeedTimeSeconds = 1;
  const auto start = std::chrono::steady_clock::now();
  try {
    HTTPRequest::GET(server.url(), {}, limits);
    FAIL() << "a stalled transfer must throw";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Timeout was reached");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(HTTPRequest, MalformedUrlThrows) {
  EXPECT_THROW(HTTPRequest::GET("nosuchscheme://127.0.0.1/", {}), std::runtime_error);
}

}  // namespace
