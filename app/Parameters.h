// The parsed command line: which commands were asked for and their
// parameters, and the parser that fills it from argc/argv. The parser reports
// only through the display (errors) and the debug log; it has one side effect
// besides: -X activates log packages at once and -k redirects the log.
#ifndef CORVALITH_APP_PARAMETERS_H
#define CORVALITH_APP_PARAMETERS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "updater/report/UpdaterDisplayInterface.h"

typedef uint32_t COMMANDS;

constexpr COMMANDS CMD_DISCOVER = 0x00000001;      // -D
constexpr COMMANDS CMD_UPDATE = 0x00000002;        // -U
constexpr COMMANDS CMD_BUILDS = 0x00000004;        // -B
constexpr COMMANDS CMD_GET = 0x00000008;           // -G
constexpr COMMANDS CMD_INFO = 0x00000010;          // -I
constexpr COMMANDS CMD_CHECK = 0x00000020;         // -C
constexpr COMMANDS CMD_FINGERPRINT = 0x00000040;   // -N
constexpr COMMANDS CMD_Z = 0x00000080;             // -Z
constexpr COMMANDS CMD_JWT = 0x00000100;           // -J
constexpr COMMANDS CMD_LOCAL_BUILDS = 0x00000200;  // -L
constexpr COMMANDS CMD_HELP = 0x80000000;          // -h, -H, --help
// Decides whether any job was requested; 0x10000 and 0x20000 are reserved.
constexpr COMMANDS kAnyCommandMask = 0x000307FF;

class CommandsClass {
 public:
  void Set(COMMANDS bits) { word |= bits; }
  bool IsSet(COMMANDS bits) const { return (word & bits) != 0; }
  COMMANDS Word() const { return word; }

 private:
  COMMANDS word = 0;
};

// Recovery is not a link type; it selects the boot-ROM path of -U.
constexpr uint32_t kTransportRecover = 255;
constexpr const char* kDefaultServerUrl = "http://127.0.0.1:8490/cgi/u";
constexpr unsigned kDefaultBaudRate = 115200;

struct Parameters {
  CommandsClass commands;
  uint32_t serialNumber = 0;
  uint32_t routerSerialNumber = 0;
  uint32_t transport = 1;  // linkType USB, or kTransportRecover
  bool transportGiven = false;
  std::string serialPort;
  uint32_t baudRate = kDefaultBaudRate;
  uint8_t module = 0;
  std::string birdFile;
  std::string logMessage;
  std::string build;  // decimal digits, empty for "latest"
  bool echo = false;
  std::string serverUrl = kDefaultServerUrl;
  bool flagN = false;
  std::string storeDirectory;  // empty: home directory joined with ".tessaron"
  std::string applicationName;
  std::string homeDirectory;
  std::string logMode = "a+";
  std::string logFile = "Updater.log";
  bool override = false;
  bool ueiBytesLoad = true;
  uint32_t logMask = 0;
  bool logMaskGiven = false;
  bool helpRequested = false;
};

// Closes a log file opened by -k, pointing the log back at standard error
// first when it still writes there.
struct LogFileCloser {
  void operator()(FILE* file) const;
};
using LogFilePtr = std::unique_ptr<FILE, LogFileCloser>;

struct ParseResult {
  Parameters params;
  bool ok = true;
  LogFilePtr logFile;  // set when -k opened a file; the log writes to it
};

struct OptionMatch;

// Help ends parsing at once; commands and parameters are handled in order,
// and only their handlers differ.
enum class OptionGroup { Help, Command, Parameter };

// Handles one matched option and its value (empty for options without one);
// false when the option was refused, after the error has been shown.
using OptionHandler = bool (*)(const OptionMatch& match, const std::string& value, ParseResult& result,
                               UpdaterDisplayInterface& display);

// One row of the option table.
struct OptionDef {
  const char* name;
  OptionGroup group;
  bool takesValue;
  OptionHandler handle = nullptr;  // null for help
};

const OptionDef* UpdaterOptionTable(size_t* count);

// What one command-line word is with respect to an option table.
struct OptionMatch {
  enum Kind { NotOption, Unknown, Ambiguous, Matched } kind = NotOption;
  const OptionDef* def = nullptr;
  std::string typed;  // the option part of the word, before any "="
  bool hasInlineValue = false;
  std::string inlineValue;
};

// Case-sensitive; an exact name wins, else a unique prefix among the entries
// with the same number of leading dashes. A word of dashes only is not an
// option.
OptionMatch MatchOption(const char* word, const OptionDef* table, size_t count);

ParseResult ParseCommandLine(int argc, const char* const argv[], UpdaterDisplayInterface& display);

#endif
