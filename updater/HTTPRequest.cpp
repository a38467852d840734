#include "updater/HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "updater/report/Log.h"

namespace {

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct Receiver {
  HTTPResponse* response;
  size_t maxBodyBytes;
  bool overflowed;
};

size_t sReceiveData(char* data, size_t size, size_t count, void* user) {
  auto* receiver = static_cast<Receiver*>(user);
  const size_t bytes = size * count;
  // At most 100 bytes of the chunk are shown, and never past its end: the
  // chunk is not terminated.
  const int shown = static_cast<int>(std::min<size_t>(bytes, 100));
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", static_cast<int>(size),
           static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(user)), shown, data);
  if (!receiver->response->process(data, bytes, receiver->maxBodyBytes)) {
    // Any count other than bytes makes libcurl end the transfer.
    receiver->overflowed = true;
    return 0;
  }
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(bytes));
  return bytes;
}

[[noreturn]] void sFail(CURLcode code, const char* detail, const std::string& url) {
  const char* reason = curl_easy_strerror(code);
  if (detail && detail[0]) {
    Log::log(DEBUG_ServerComm, "GET(%s) failed: %s (%s)\n", url.c_str(), reason, detail);
  } else {
    Log::log(DEBUG_ServerComm, "GET(%s) failed: %s\n", url.c_str(), reason);
  }
  throw std::runtime_error(std::string(reason) + " (" + url + ")");
}

template <typename T>
void sSet(CURL* handle, CURLoption option, T value, const std::string& url) {
  const CURLcode rc = curl_easy_setopt(handle, option, value);
  if (rc != CURLE_OK) sFail(rc, nullptr, url);
}

}  // namespace

std::string HTTPRequest::BuildUrl(const std::string& baseUrl, const HTTPParameters& parameters) {
  std::string url = baseUrl;
  if (!parameters.empty()) {
    url += "?";
    for (const auto& [key, value] : parameters) {
      std::unique_ptr<char, decltype(&curl_free)> escaped(
          curl_easy_escape(nullptr, value.data(), static_cast<int>(value.size())), &curl_free);
      if (!escaped) throw std::runtime_error("Could not encode the query value for " + key);
      url += key;
      url += "=";
      url += escaped.get();
      url += "&";
    }
  }
  return url;
}

HTTPResponse HTTPRequest::GET(const std::string& baseUrl, const HTTPParameters& parameters,
                              const HTTPLimits& limits) {
  CurlHandle handle(curl_easy_init());
  if (!handle) throw std::runtime_error("Could not create curl instance");

  HTTPResponse response(BuildUrl(baseUrl, parameters));
  const std::string& url = response.get_request();
  CURL* h = handle.get();

  char detail[CURL_ERROR_SIZE] = "";
  sSet(h, CURLOPT_ERRORBUFFER, detail, url);
  sSet(h, CURLOPT_WRITEFUNCTION, &sReceiveData, url);
  Receiver receiver{&response, limits.maxBodyBytes, false};
  sSet(h, CURLOPT_WRITEDATA, static_cast<void*>(&receiver), url);
  sSet(h, CURLOPT_URL, url.c_str(), url);
  // Firmware must come from the server it claims to be: the peer's
  // certificate chain and its host name are both checked.
  sSet(h, CURLOPT_SSL_VERIFYHOST, 2L, url);
  sSet(h, CURLOPT_SSL_VERIFYPEER, 1L, url);
  sSet(h, CURLOPT_SSL_VERIFYSTATUS, 0L, url);
  // The download runs on a worker thread: no signals for name look-up
  // time-outs.
  sSet(h, CURLOPT_NOSIGNAL, 1L, url);
  sSet(h, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs, url);
  sSet(h, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond, url);
  sSet(h, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedTimeSeconds, url);
  sSet(h, CURLOPT_TIMEOUT_MS, limits.totalTimeoutMs, url);

  Log::log(DEBUG_ServerComm, "GET(%s)\n", url.c_str());
  const CURLcode rc = curl_easy_perform(h);
  if (receiver.overflowed) {
    const std::string text =
        "Reply from " + url + " exceeds " + std::to_string(limits.maxBodyBytes) + " bytes";
    Log::log(DEBUG_ServerComm, "GET(%s) failed: %s\n", url.c_str(), text.c_str());
    std::string().swap(response.get_response());
    throw std::runtime_error(text);
  }
  if (rc != CURLE_OK) sFail(rc, detail, url);

  long status = 0;
  const CURLcode infoRc = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (infoRc != CURLE_OK) sFail(infoRc, detail, url);
  response.set_status(status);
  return response;
}
