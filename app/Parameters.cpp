#include "app/Parameters.h"

#include <cstring>
#include <vector>

#include "common/aText.h"
#include "common/linkSpec.h"
#include "unix/aDirectory.h"
#include "updater/report/Log.h"

namespace {

constexpr size_t kHomeDirectorySize = 2048;
constexpr size_t kOverrideChars = 8;  // of "-OVERRIDE" that must be typed

size_t sLeadingDashes(const char* text) {
  size_t n = 0;
  while (text[n] == '-') n++;
  return n;
}

bool sStartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

// A parsed serial number, with the "0x" prefix dropped and logged as given.
uint32_t sSerialArgument(const std::string& value, const char* prefixLog, const char* errorFormat,
                         UpdaterDisplayInterface& display, bool* ok) {
  std::string text = value;
  if (sStartsWith(text, "0x") || sStartsWith(text, "0X")) {
    Log::log(DEBUG_Updater, "%s", prefixLog);
    text = text.substr(2);
  }
  uint32_t serial = 0;
  if (!aText_ParseUnsigned32(text, 16, &serial)) serial = 0;
  if (serial == 0) {
    display.message(UpdaterDisplayInterface::ERROR, errorFormat, text.c_str());
    *ok = false;
  }
  return serial;
}

// -X: "0x" selects base 16, anything else base 10. The mask is recorded in
// every case but only a fully converted text activates packages.
void sLogMaskArgument(const std::string& option, const std::string& value, Parameters& p,
                      UpdaterDisplayInterface& display) {
  size_t start = 0;
  unsigned base = 10;
  if (sStartsWith(value, "0x") || sStartsWith(value, "0X")) {
    base = 16;
    start = 2;
  }
  uint32_t mask = 0;
  size_t used = aText_ConsumeDigits(value.data() + start, value.size() - start, base, &mask);
  size_t end = start + used;
  // "0x" without a hex digit after it converts only its "0".
  if (base == 16 && used == 0) end = 1;
  p.logMask = mask;
  p.logMaskGiven = true;
  if (end < value.size()) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "Invalid format for \"%s\" parameter, unprocessed characters [%s]", option.c_str(),
                    value.substr(end).c_str());
    return;
  }
  Log::ActivatePackage(mask);
}

bool sOpenLogFile(const std::string& path, const std::string& mode, ParseResult& result,
                  UpdaterDisplayInterface& display) {
  FILE* file = fopen(path.c_str(), mode.c_str());
  if (!file) {
    display.message(UpdaterDisplayInterface::ERROR, "Could not open log file %s", path.c_str());
    return false;
  }
  // Line buffered, so a crash loses at most the line being written.
  setvbuf(file, nullptr, _IOLBF, 0);
  Log::SetOutput(file);
  result.logFile.reset(file);
  return true;
}

// The handlers of the option table, one per option.

template <COMMANDS bit>
bool sCommand(const OptionMatch&, const std::string&, ParseResult& result, UpdaterDisplayInterface&) {
  result.params.commands.Set(bit);
  return true;
}

bool sOverride(const OptionMatch& m, const std::string&, ParseResult& result,
               UpdaterDisplayInterface& display) {
  // A unique prefix selects the entry; this is too dangerous a switch to
  // accept fewer than 8 of its characters.
  if (strncmp(m.typed.c_str(), "-OVERRIDE", kOverrideChars) != 0) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "Invalid format for firmware update override parameter [%s]", m.typed.c_str());
    return false;
  }
  result.params.override = true;
  return true;
}

// -Y has a row but no job behind it.
bool sUnhandledCommand(const OptionMatch& m, const std::string&, ParseResult&,
                       UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::ERROR, "Unhandled command: [%s]", m.typed.c_str());
  return false;
}

// A parameter that stores its value (or a flag) in one field as it is.
template <std::string Parameters::*field>
bool sText(const OptionMatch&, const std::string& value, ParseResult& result, UpdaterDisplayInterface&) {
  result.params.*field = value;
  return true;
}

template <bool Parameters::*field>
bool sFlag(const OptionMatch&, const std::string&, ParseResult& result, UpdaterDisplayInterface&) {
  result.params.*field = true;
  return true;
}

bool sLogMask(const OptionMatch& m, const std::string& value, ParseResult& result,
              UpdaterDisplayInterface& display) {
  sLogMaskArgument(m.typed, value, result.params, display);
  return true;
}

bool sUeiBytesLoad(const OptionMatch&, const std::string& value, ParseResult& result,
                   UpdaterDisplayInterface&) {
  result.params.ueiBytesLoad = sStartsWith(value, "1") || sStartsWith(value, "true");
  return true;
}

// A decimal value that does not convert whole counts as 0.
uint32_t sDecimalOrZero(const std::string& value) {
  uint32_t number = 0;
  if (!aText_ParseUnsigned32(value, 10, &number)) number = 0;
  return number;
}

bool sBuild(const OptionMatch&, const std::string& value, ParseResult& result, UpdaterDisplayInterface&) {
  result.params.build = std::to_string(sDecimalOrZero(value));
  return true;
}

bool sBaudRate(const OptionMatch&, const std::string& value, ParseResult& result, UpdaterDisplayInterface&) {
  result.params.baudRate = sDecimalOrZero(value);
  return true;
}

// What -d and -r log and show about their serial number.
struct SerialTexts {
  const char* prefixLog;
  const char* error;
};
constexpr SerialTexts kDeviceSerial = {"Discarding '0x' serial number prefix\n",
                                       "Invalid serial number obtained from argument [%s]"};
constexpr SerialTexts kRouterSerial = {"Discarding '0x' router serial number prefix\n",
                                       "Invalid router serial number obtained from argument [%s]"};

template <uint32_t Parameters::*field, const SerialTexts& texts>
bool sSerial(const OptionMatch&, const std::string& value, ParseResult& result,
             UpdaterDisplayInterface& display) {
  bool ok = true;
  result.params.*field = sSerialArgument(value, texts.prefixLog, texts.error, display, &ok);
  return ok;
}

// -t: the first entry whose name begins the value selects the transport.
struct TransportName {
  const char* prefix;
  uint32_t transport;
};
const TransportName kTransports[] = {{"USB", USB}, {"TCP", TCPIP}, {"RECOVER", kTransportRecover}};

bool sTransport(const OptionMatch&, const std::string& value, ParseResult& result,
                UpdaterDisplayInterface& display) {
  Parameters& p = result.params;
  p.transportGiven = true;
  for (const TransportName& t : kTransports) {
    if (sStartsWith(value, t.prefix)) {
      p.transport = t.transport;
      return true;
    }
  }
  display.message(UpdaterDisplayInterface::ERROR,
                  "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                  value.c_str());
  p.transport = INVALID;
  return false;
}

bool sLogFile(const OptionMatch&, const std::string& value, ParseResult& result,
              UpdaterDisplayInterface& display) {
  result.params.logFile = value;
  return sOpenLogFile(value, result.params.logMode, result, display);
}

constexpr OptionGroup kHelp = OptionGroup::Help;
constexpr OptionGroup kCommand = OptionGroup::Command;
constexpr OptionGroup kParameter = OptionGroup::Parameter;

// The parser's table, in the order the prefix matching and the usage expect.
const OptionDef kOptions[] = {
    {"-B", kCommand, false, sCommand<CMD_BUILDS>},
    {"-L", kCommand, false, sCommand<CMD_LOCAL_BUILDS>},
    {"-D", kCommand, false, sCommand<CMD_DISCOVER>},
    {"-G", kCommand, false, sCommand<CMD_GET>},
    {"-I", kCommand, false, sCommand<CMD_INFO>},
    {"-U", kCommand, false, sCommand<CMD_UPDATE>},
    {"-OVERRIDE", kCommand, false, sOverride},
    {"-N", kCommand, false, sCommand<CMD_FINGERPRINT>},
    {"-Y", kCommand, false, sUnhandledCommand},
    {"-C", kCommand, false, sCommand<CMD_CHECK>},
    {"-J", kCommand, false, sCommand<CMD_JWT>},
    {"-h", kHelp, false},
    {"-H", kHelp, false},
    {"-n", kParameter, false, sFlag<&Parameters::flagN>},
    {"-X", kParameter, true, sLogMask},
    {"-Z", kParameter, true, sCommand<CMD_Z>},
    {"-m", kParameter, true, sUeiBytesLoad},
    {"-i", kParameter, true, sText<&Parameters::storeDirectory>},
    {"-b", kParameter, true, sBuild},
    {"-d", kParameter, true, sSerial<&Parameters::serialNumber, kDeviceSerial>},
    {"-t", kParameter, true, sTransport},
    {"-f", kParameter, true, sText<&Parameters::birdFile>},
    {"-r", kParameter, true, sSerial<&Parameters::routerSerialNumber, kRouterSerial>},
    {"-s", kParameter, true, sText<&Parameters::serialPort>},
    {"-o", kParameter, true, sBaudRate},
    {"-e", kParameter, false, sFlag<&Parameters::echo>},
    {"-l", kParameter, true, sText<&Parameters::logMessage>},
    {"-k", kParameter, true, sLogFile},
    {"-u", kParameter, true, sText<&Parameters::serverUrl>},
    {"--help", kHelp, false},
};

// Accepts everything; the commands check what they need themselves.
bool sValidateParameters(const Parameters&) {
  return true;
}

}  // namespace

void LogFileCloser::operator()(FILE* file) const {
  if (!file) return;
  if (Log::fh == file) Log::SetOutput(stderr);
  fclose(file);
}

const OptionDef* UpdaterOptionTable(size_t* count) {
  *count = sizeof(kOptions) / sizeof(kOptions[0]);
  return kOptions;
}

OptionMatch MatchOption(const char* word, const OptionDef* table, size_t count) {
  OptionMatch m;
  size_t dashes = sLeadingDashes(word);
  if (dashes == 0 || word[dashes] == '\0' || word[dashes] == '=') return m;
  const char* eq = strchr(word, '=');
  m.typed = eq ? std::string(word, static_cast<size_t>(eq - word)) : std::string(word);
  if (eq) {
    m.hasInlineValue = true;
    m.inlineValue = eq + 1;
  }
  const OptionDef* found = nullptr;
  size_t candidates = 0;
  for (size_t i = 0; i < count; i++) {
    const char* name = table[i].name;
    if (sLeadingDashes(name) != dashes) continue;
    if (m.typed == name) {
      m.kind = OptionMatch::Matched;
      m.def = &table[i];
      return m;
    }
    if (strncmp(name, m.typed.c_str(), m.typed.size()) == 0) {
      found = &table[i];
      candidates++;
    }
  }
  if (candidates == 1) {
    m.kind = OptionMatch::Matched;
    m.def = found;
  } else {
    m.kind = candidates == 0 ? OptionMatch::Unknown : OptionMatch::Ambiguous;
  }
  return m;
}

ParseResult ParseCommandLine(int argc, const char* const argv[], UpdaterDisplayInterface& display) {
  ParseResult result;
  Parameters& p = result.params;

  if (argc > 0 && argv[0]) {
    std::string first = argv[0];
    size_t cut = first.find_last_of("\\/");
    p.applicationName = cut == std::string::npos ? first : first.substr(cut + 1);
  }
  std::vector<char> home(kHomeDirectorySize, '\0');
  // No home directory leaves the store path empty, which the store refuses.
  if (aDirectory_GetHomeDirectory(home.data(), home.size()) != aErrNone) home[0] = '\0';
  home.back() = '\0';
  p.homeDirectory = home.data();
  Log::log(DEBUG_APP, "Home directory:[%s]\n", p.homeDirectory.c_str());

  size_t count = 0;
  const OptionDef* table = UpdaterOptionTable(&count);
  for (int i = 1; i < argc; i++) {
    OptionMatch m = MatchOption(argv[i], table, count);
    // Unknown or ambiguous options are dropped silently, like plain words.
    if (m.kind != OptionMatch::Matched) continue;

    std::string value;
    if (m.def->takesValue) {
      if (m.hasInlineValue) {
        value = m.inlineValue;
      } else if (i + 1 < argc && argv[i + 1][0] != '-') {
        value = argv[++i];
      } else {
        continue;  // missing value: the option is dropped
      }
    } else if (m.hasInlineValue) {
      continue;  // a value for an option that takes none
    }

    if (m.def->group == OptionGroup::Help) {
      p.commands.Set(CMD_HELP);
      p.helpRequested = true;
      result.ok = true;
      break;
    }
    if (!m.def->handle(m, value, result, display)) result.ok = false;
  }

  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", p.applicationName.c_str());
  for (int i = 1; i < argc; i++) Log::log(DEBUG_APP, "\t[%s]\n", argv[i]);
  if (result.ok) result.ok = sValidateParameters(p);
  return result;
}
