// The update-server client: builds the queries of the update server, parses
// its line-oriented replies, and orders build lists for display. Every
// operation is static; diagnostics go to the debug log (DEBUG_ServerComm).
#ifndef CORVALITH_UPDATER_UPDATESERVERREQUEST_H
#define CORVALITH_UPDATER_UPDATESERVERREQUEST_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
 public:
  // Used when an operation is given no URL (null or empty).
  static const char* const default_url;
  // Reply lines are split at these characters; empty lines are skipped.
  static const char* const delimiters;

  // The URL the queries go to: default_url for a null or empty url, the
  // query path on that server for a bare host or host:port, else url as is.
  static std::string BaseUrl(const char* url);

  // --- Queries -------------------------------------------------------------
  // Each returns true only for status 200 with a first reply line beginning
  // "ok" (and, where stated, a usable result). Network and protocol failures
  // never throw: they return false with the reason in the debug log.
  // Out-parameters are written only on success, except as noted.

  [[nodiscard]] static bool ping(const char* url = nullptr);
  // build and firmware are each set only when their reply line is present.
  [[nodiscard]] static bool QueryBuild(uint32_t serialNumber, std::string& build, std::string& firmware,
                                       const char* url = nullptr);
  // bird is cleared on an "ok" reply, then holds the base64 text (empty when
  // the reply has no second line).
  [[nodiscard]] static bool GetBuild(uint32_t serialNumber, const std::string& firmware,
                                     const std::string& build, std::string& bird, const char* url = nullptr,
                                     bool noCalibration = false);
  // builds is cleared before the request.
  [[nodiscard]] static bool GetBuildList(uint32_t serialNumber, std::map<std::string, std::string>& builds,
                                         const char* url = nullptr);
  // fingerprint: four words; serialNumber and build each set only when their
  // reply line is present.
  [[nodiscard]] static bool GetRecoveryInfo(const uint32_t* fingerprint, uint32_t* serialNumber,
                                            uint32_t* build, const char* url = nullptr);
  [[nodiscard]] static bool GetDeviceJWT(uint32_t serialNumber, std::string& token,
                                         const char* url = nullptr);

  // --- Reply parsing (the queries' second half, open for tests and fuzzing) --

  // The non-empty lines of a body, each without a trailing "\r".
  static std::vector<std::string> SplitReply(const std::string& body);
  // True when there is a first line and it begins with "ok".
  [[nodiscard]] static bool ReplyIsOk(const std::vector<std::string>& lines);
  static void ParseQueryBuild(const std::vector<std::string>& lines, std::string* build,
                              std::string* firmware);
  static void ParseBuild(const std::vector<std::string>& lines, std::string& bird);
  static void ParseBuildList(const std::vector<std::string>& lines,
                             std::map<std::string, std::string>& builds);
  static void ParseRecoveryInfo(const std::vector<std::string>& lines, uint32_t* serialNumber,
                                uint32_t* build);
  // False unless line 2 is a token of three dot-separated parts of at least
  // 2 characters each.
  [[nodiscard]] static bool ParseDeviceJWT(const std::vector<std::string>& lines, std::string& token);

  // --- Build lists -------------------------------------------------------

  // The (build, version) pairs newest version first, comparing major, minor
  // and patch as 8-bit values. Pairs of equal version keep build-text order;
  // pairs whose version is not three decimal parts follow all others, in
  // build-text order.
  static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(
      const std::map<std::string, std::string>& builds);

  // The version text split at every "."; empty unless there are exactly
  // three parts.
  static std::vector<std::string> SplitCorvalithVersion(const std::string& version);
};

#endif
