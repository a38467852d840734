// The update-server client: builds the queries of the update server, parses
// its line-oriented replies, and orders build lists for display. Every
// operation is static; diagnostics go to the debug log (DEBUG_ServerComm).
#ifndef CORVALITH_UPDATER_UPDATESERVERREQUEST_H
#define CORVALITH_UPDATER_UPDATESERVERREQUEST_H

#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
 public:
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
