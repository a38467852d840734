#include "app/Parameters.h"

#include <cstring>
#include <vector>

#include "unix/aDirectory.h"
#include "updater/report/Log.h"

namespace {

constexpr size_t kHomeDirectorySize = 2048;

const OptionDef kOptions[] = {
    {"-B", 1, false}, {"-L", 1, false},        {"-D", 1, false}, {"-G", 1, false}, {"-I", 1, false},
    {"-U", 1, false}, {"-OVERRIDE", 1, false}, {"-N", 1, false}, {"-Y", 1, false}, {"-C", 1, false},
    {"-J", 1, false}, {"-h", 0, false},        {"-H", 0, false}, {"-n", 2, false}, {"-X", 2, true},
    {"-Z", 2, true},  {"-m", 2, true},         {"-i", 2, true},  {"-b", 2, true},  {"-d", 2, true},
    {"-t", 2, true},  {"-f", 2, true},         {"-r", 2, true},  {"-s", 2, true},  {"-o", 2, true},
    {"-e", 2, false}, {"-l", 2, true},         {"-k", 2, true},  {"-u", 2, true},  {"--help", 0, false},
};

size_t sLeadingDashes(const char* text) {
  size_t n = 0;
  while (text[n] == '-') n++;
  return n;
}

bool sStartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

// Digits of one base from the start of text while the value fits 32 bits;
// returns how many characters were used.
size_t sConsumeDigits(const std::string& text, size_t start, unsigned base, uint32_t* value) {
  uint64_t v = 0;
  size_t i = start;
  for (; i < text.size(); i++) {
    char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      break;
    }
    if (digit >= base) break;
    uint64_t next = v * base + digit;
    if (next > 0xFFFFFFFFull) break;
    v = next;
  }
  *value = static_cast<uint32_t>(v);
  return i - start;
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
  if (!ParseHex32(text, &serial)) serial = 0;
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
  size_t used = sConsumeDigits(value, start, base, &mask);
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

bool sHandleCommand(const OptionMatch& m, ParseResult& result, UpdaterDisplayInterface& display) {
  Parameters& p = result.params;
  const std::string& name = m.def->name;
  if (name == "-B") {
    p.commands.Set(CMD_BUILDS);
  } else if (name == "-L") {
    p.commands.Set(CMD_LOCAL_BUILDS);
  } else if (name == "-D") {
    p.commands.Set(CMD_DISCOVER);
  } else if (name == "-G") {
    p.commands.Set(CMD_GET);
  } else if (name == "-I") {
    p.commands.Set(CMD_INFO);
  } else if (name == "-U") {
    p.commands.Set(CMD_UPDATE);
  } else if (name == "-OVERRIDE") {
    // A unique prefix selects the entry; this is too dangerous a switch to
    // accept fewer than 8 of its characters.
    if (strncmp(m.typed.c_str(), "-OVERRIDE", 8) != 0) {
      display.message(UpdaterDisplayInterface::ERROR,
                      "Invalid format for firmware update override parameter [%s]", m.typed.c_str());
      return false;
    }
    p.override = true;
  } else if (name == "-N") {
    p.commands.Set(CMD_FINGERPRINT);
  } else if (name == "-C") {
    p.commands.Set(CMD_CHECK);
  } else if (name == "-J") {
    p.commands.Set(CMD_JWT);
  } else {
    display.message(UpdaterDisplayInterface::ERROR, "Unhandled command: [%s]", m.typed.c_str());
    return false;
  }
  return true;
}

bool sHandleParameter(const OptionMatch& m, const std::string& value, ParseResult& result,
                      UpdaterDisplayInterface& display) {
  Parameters& p = result.params;
  const std::string& name = m.def->name;
  bool ok = true;
  if (name == "-n") {
    p.flagN = true;
  } else if (name == "-X") {
    sLogMaskArgument(m.typed, value, p, display);
  } else if (name == "-Z") {
    p.commands.Set(CMD_Z);
  } else if (name == "-m") {
    p.ueiBytesLoad = sStartsWith(value, "1") || sStartsWith(value, "true");
  } else if (name == "-i") {
    p.storeDirectory = value;
  } else if (name == "-b") {
    uint32_t build = 0;
    if (!ParseDecimal32(value, &build)) build = 0;
    p.build = std::to_string(build);
  } else if (name == "-d") {
    p.serialNumber = sSerialArgument(value, "Discarding '0x' serial number prefix\n",
                                     "Invalid serial number obtained from argument [%s]", display, &ok);
  } else if (name == "-t") {
    p.transportGiven = true;
    if (sStartsWith(value, "USB")) {
      p.transport = 1;
    } else if (sStartsWith(value, "TCP")) {
      p.transport = 2;
    } else if (sStartsWith(value, "RECOVER")) {
      p.transport = kTransportRecover;
    } else {
      display.message(UpdaterDisplayInterface::ERROR,
                      "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                      value.c_str());
      p.transport = 0;
      ok = false;
    }
  } else if (name == "-f") {
    p.birdFile = value;
  } else if (name == "-r") {
    p.routerSerialNumber =
        sSerialArgument(value, "Discarding '0x' router serial number prefix\n",
                        "Invalid router serial number obtained from argument [%s]", display, &ok);
  } else if (name == "-s") {
    p.serialPort = value;
  } else if (name == "-o") {
    uint32_t baud = 0;
    if (!ParseDecimal32(value, &baud)) baud = 0;
    p.baudRate = baud;
  } else if (name == "-e") {
    p.echo = true;
  } else if (name == "-l") {
    p.logMessage = value;
  } else if (name == "-k") {
    p.logFile = value;
    ok = sOpenLogFile(value, p.logMode, result, display);
  } else if (name == "-u") {
    p.serverUrl = value;
  }
  return ok;
}

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

bool ParseHex32(const std::string& text, uint32_t* value) {
  uint32_t v = 0;
  if (text.empty() || sConsumeDigits(text, 0, 16, &v) != text.size()) {
    *value = 0;
    return false;
  }
  *value = v;
  return true;
}

bool ParseDecimal32(const std::string& text, uint32_t* value) {
  uint32_t v = 0;
  if (text.empty() || sConsumeDigits(text, 0, 10, &v) != text.size()) {
    *value = 0;
    return false;
  }
  *value = v;
  return true;
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

    if (m.def->id == 0) {
      p.commands.Set(CMD_HELP);
      p.helpRequested = true;
      result.ok = true;
      break;
    }
    bool handled =
        m.def->id == 1 ? sHandleCommand(m, result, display) : sHandleParameter(m, value, result, display);
    if (!handled) result.ok = false;
  }

  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", p.applicationName.c_str());
  for (int i = 1; i < argc; i++) Log::log(DEBUG_APP, "\t[%s]\n", argv[i]);
  if (result.ok) result.ok = sValidateParameters(p);
  return result;
}
