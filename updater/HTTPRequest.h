// One HTTP GET over libcurl's easy interface, the reply collected in memory.
// The update-server client is its only user; libcurl's types stay in the .cpp.
#ifndef CORVALITH_UPDATER_HTTPREQUEST_H
#define CORVALITH_UPDATER_HTTPREQUEST_H

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
  void process(const char* data, size_t count) { response.append(data, count); }

 private:
  std::string request;
  long status = 0;  // 0 until the transfer finished
  std::string response;
};

// Query parameters; the URL lists them in this map's byte-wise key order.
using HTTPParameters = std::map<std::string, std::string>;

// Bounds on one request so that a dead or stalled server cannot hang a job.
struct HTTPLimits {
  long connectTimeoutMs = 10000;
  // The transfer is aborted when it stays below lowSpeedBytesPerSecond for
  // lowSpeedTimeSeconds in a row.
  long lowSpeedBytesPerSecond = 1;
  long lowSpeedTimeSeconds = 60;
};

class HTTPRequest {
 public:
  // Builds baseUrl?key=value&key=value& (values unencoded) and GETs it.
  // Throws std::runtime_error: "Could not create curl instance", or libcurl's
  // text for the failing option, transfer (time-outs and refused TLS peers
  // included) or status read. A non-2xx status is returned, not thrown.
  static HTTPResponse GET(const std::string& baseUrl, const HTTPParameters& parameters,
                          const HTTPLimits& limits = HTTPLimits());

  // The URL that GET requests for these arguments.
  static std::string BuildUrl(const std::string& baseUrl, const HTTPParameters& parameters);
};

#endif
