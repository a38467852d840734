// One HTTP GET over libcurl's easy interface, the reply collected in memory.
// The update-server client is its only user; libcurl's types stay in the .cpp.
#ifndef CORVALITH_UPDATER_HTTPREQUEST_H
#define CORVALITH_UPDATER_HTTPREQUEST_H

#include <algorithm>
#include <cstddef>
#include <map>
#include <string>

class HTTPResponse {
 public:
  explicit HTTPResponse(std::string url) : request(std::move(url)) {}

  const std::string& get_request() const { return request; }
  long get_status() const { return status; }
  // The body itself, not a copy: the reply parsers read it where it lies.
  std::string& get_response() { return response; }
  const std::string& get_response() const { return response; }

  void set_status(long code) { status = code; }
  // False, keeping nothing more, when the body would pass limit bytes.
  [[nodiscard]] bool process(const char* data, size_t count, size_t limit) {
    if (count > limit || response.size() > limit - count) return false;
    // Growth stops at the limit, so even the doubling of a string never
    // holds more than limit bytes.
    if (response.capacity() - response.size() < count) {
      response.reserve(std::min(limit, std::max(response.size() * 2, response.size() + count)));
    }
    response.append(data, count);
    return true;
  }

 private:
  std::string request;
  long status = 0;  // 0 until the transfer finished
  std::string response;
};

// Query parameters; the URL lists them in this map's byte-wise key order.
using HTTPParameters = std::map<std::string, std::string>;

// Bounds on one request so that a dead or stalled server cannot hang a job.
struct HTTPLimits {
  static constexpr long kConnectTimeoutMs = 10000;
  static constexpr long kLowSpeedBytesPerSecond = 1;
  static constexpr long kLowSpeedTimeSeconds = 30;
  static constexpr long kTotalTimeoutMs = 300000;
  static constexpr size_t kMaxBodyBytes = size_t{64} << 20;

  long connectTimeoutMs = kConnectTimeoutMs;
  // The transfer is aborted when it stays below lowSpeedBytesPerSecond for
  // lowSpeedTimeSeconds in a row.
  long lowSpeedBytesPerSecond = kLowSpeedBytesPerSecond;
  long lowSpeedTimeSeconds = kLowSpeedTimeSeconds;
  // Bounds a server that trickles just fast enough to pass the speed check.
  long totalTimeoutMs = kTotalTimeoutMs;
  // A reply body larger than this is refused rather than held in memory.
  size_t maxBodyBytes = kMaxBodyBytes;
};

class HTTPRequest {
 public:
  // Builds baseUrl?key=value&key=value& (values percent-encoded) and GETs it.
  // Throws std::runtime_error: "Could not create curl instance", "Reply from
  // URL exceeds N bytes", or libcurl's text for the failing option, transfer
  // (time-outs and refused TLS peers included) or status read followed by
  // " (URL)". A non-2xx status is returned, not thrown.
  static HTTPResponse GET(const std::string& baseUrl, const HTTPParameters& parameters,
                          const HTTPLimits& limits = HTTPLimits());

  // The URL that GET requests for these arguments; throws std::runtime_error
  // when libcurl cannot encode a value.
  static std::string BuildUrl(const std::string& baseUrl, const HTTPParameters& parameters);
};

#endif
