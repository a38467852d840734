// The request handling of corvalith-update-server: turns the query
// parameters of one /cgi/u request into a reply, reading everything from a
// directory tree on every request so that builds published while the server
// runs are served at once. No HTTP here; main.cpp adds that.
//
// Layout of the root directory:
//   fingerprints               recovery table, one chip per line:
//                              W0 W1 W2 W3 SERIAL BUILD (words and serial in hex)
//   SERIAL/                    one folder per device, "%08X"
//   SERIAL/BUILD.bird          listed builds; versions come from each
//                              file's descriptor
//   SERIAL/unlisted/BUILD.bird served on request but not listed
//   SERIAL/current             the current build number (default: the
//                              highest listed build)
//   SERIAL/firmware            the firmware identifier (default "standard")
//   SERIAL/features            one feature per line, signed into the token
// Lines starting with "#" and blank lines are ignored in the text files.
#ifndef CORVALITH_SERVER_UPDATESERVER_H
#define CORVALITH_SERVER_UPDATESERVER_H

#include <map>
#include <string>
#include <vector>

namespace updateserver {

struct Reply {
  int status = 200;
  std::string body;
};

// Deliberately broken replies, for testing clients. Set per op ("hi", "qu",
// "bird", "builds", "fix", "ent_jwt") or for all ops with "*".
enum class Fault {
  None,
  Okay,        // first line "okay" instead of "ok"
  Error,       // the body is "error"
  Empty,       // empty body
  Status500,   // status 500, body unchanged
  BadBase64,   // BIRD text with a character outside the alphabet
  NotBird,     // BIRD text that decodes to bytes that are not a BIRD file
  ShortToken,  // token whose header has a single character
  CrLf,        // lines end with "\r\n"
};

// "okay", "error", ... as listed above (lower case, "status500", "badbase64",
// "notbird", "shorttoken", "crlf"); false for an unknown name.
bool ParseFault(const std::string& name, Fault& fault);

struct Config {
  std::string root;
  std::string signingKey;  // empty: token requests are refused
  std::map<std::string, Fault> faults;
};

struct BuildEntry {
  unsigned build = 0;
  std::string version;  // empty when the file has no readable descriptor
};

class UpdateServer {
 public:
  explicit UpdateServer(Config config);

  // One request; params are the decoded query parameters.
  Reply Answer(const std::map<std::string, std::string>& params) const;

  // Listed builds of a device, ascending by build number; false when the
  // device has no folder.
  bool ListBuilds(const std::string& serial, std::vector<BuildEntry>& builds) const;

 private:
  Reply AnswerOp(const std::string& op, const std::map<std::string, std::string>& params) const;
  Reply QueryBuild(const std::string& serial) const;
  Reply GetBuild(const std::string& serial, const std::map<std::string, std::string>& params,
                 Fault fault) const;
  Reply GetBuildList(const std::string& serial) const;
  Reply GetRecoveryInfo(const std::map<std::string, std::string>& params) const;
  Reply GetDeviceJWT(const std::string& serial, Fault fault) const;

  std::string DeviceDir(const std::string& serial) const;
  bool CurrentBuild(const std::string& serial, unsigned& build) const;
  std::string FirmwareId(const std::string& serial) const;
  Fault FaultFor(const std::string& op) const;

  Config config;
};

}  // namespace updateserver

#endif
