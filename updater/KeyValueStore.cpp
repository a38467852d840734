#include "updater/KeyValueStore.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/aText.h"
#include "unix/aFile.h"
#include "updater/report/Log.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

constexpr size_t kMinLineLength = 3;  // "a=\n"
constexpr size_t kCtimeLength = 24;   // "Wed Jun 30 21:49:08 1993"

long sToLong(const char* text, int base) {
  return std::strtol(text, nullptr, base);
}

}  // namespace

KeyValueStore::KeyValueStore(const char* filePath) {
  (void)Load(filePath);
}

std::string KeyValueStore::CurrentTime() {
  const time_t now = time(nullptr);
  char text[64] = {};
  struct tm local;
  if (localtime_r(&now, &local) == nullptr || asctime_r(&local, text) == nullptr) return std::string();
  return std::string(text, strnlen(text, kCtimeLength));
}

bool KeyValueStore::ParseLine(const char* line, size_t length, std::string* key, std::string* value) {
  if (line == nullptr) return false;
  const size_t n = strnlen(line, length);
  if (n < kMinLineLength || line[0] == '#') return false;
  size_t keyStart = 0;
  while (keyStart < n && aText_IsSpace(line[keyStart])) ++keyStart;
  const char* sign = static_cast<const char*>(std::memchr(line + keyStart, '=', n - keyStart));
  if (sign == nullptr) return false;
  const size_t equals = static_cast<size_t>(sign - line);
  // An empty key ("=value") stays empty: trimming stops at the key's start.
  size_t keyEnd = equals;
  while (keyEnd > keyStart && aText_IsSpace(line[keyEnd - 1])) --keyEnd;
  size_t valueStart = equals + 1;
  while (valueStart < n && aText_IsSpace(line[valueStart])) ++valueStart;
  size_t valueEnd = n;
  while (valueEnd > valueStart && aText_IsSpace(line[valueEnd - 1])) --valueEnd;
  if (key != nullptr) key->assign(line + keyStart, keyEnd - keyStart);
  if (value != nullptr) value->assign(line + valueStart, valueEnd - valueStart);
  return true;
}

aErr KeyValueStore::Load(const char* filePath) {
  if (filePath == nullptr || filePath[0] == '\0') return aErrParam;
  readFailed = false;
  errno = 0;
  aFileRef file = aFile_Open(filePath, aFileModeReadOnly);
  if (file == nullptr && errno != ENOENT) {
    // It exists but cannot be read: writing it anew would lose its entries.
    const int reason = errno;
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot read attributes file: '%s' (%d)\n", filePath,
             reason);
    path = filePath;
    readFailed = true;
    return reason == EACCES || reason == EPERM ? aErrPermission : aErrIO;
  }
  if (file == nullptr) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", filePath,
             errno);
    // Creation and first update carry the same time.
    const std::string now = CurrentTime();
    (void)Add(KEY_CREATED_TIME, now);
    (void)Add(KEY_UPDATED_TIME, now);
    path = filePath;
    modified = false;
    const std::string text = Serialize();
    int sysError = 0;
    const aErr err = aFile_Replace(path.c_str(), text.data(), text.size(), &sysError);
    if (err != aErrNone) {
      Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
               path.c_str(), sysError);
      modified = true;
    }
    return err;
  }
  path = filePath;
  modified = false;
  char line[kLineBufferSize];
  size_t length = 0;
  aErr err = aErrNone;
  for (;;) {
    err = aFile_ReadLine(file, line, sizeof(line), &length);
    if (err == aErrOverrun) {
      // Too long to be an entry: skipped whole, and the lines after it count.
      Log::log(DEBUG_Attributes, "Attibutes: skipping a line over %u characters in '%s'\n",
               static_cast<unsigned>(kLineBufferSize - 1), filePath);
      do {
        err = aFile_ReadLine(file, line, sizeof(line), &length);
      } while (err == aErrOverrun);
      if (err == aErrNone) continue;
    }
    if (err != aErrNone) break;
    std::string key;
    std::string value;
    if (ParseLine(line, length, &key, &value)) entries[key] = value;
  }
  const aErr closed = aFile_Close(&file);
  if (err != aErrEOF || closed != aErrNone) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot read attributes file whole: '%s'\n", filePath);
    readFailed = true;
    return err != aErrEOF ? err : closed;
  }
  return aErrNone;
}

std::string KeyValueStore::Serialize() const {
  std::string text;
  for (const auto& entry : entries) {
    text += entry.first;
    text += '=';
    text += entry.second;
    text += '\n';
  }
  return text;
}

aErr KeyValueStore::Save(const char* filePath) {
  if (filePath != nullptr && filePath[0] != '\0') {
    path = filePath;
  } else if (path.empty()) {
    path = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
             path.c_str());
  }
  if (readFailed) {
    // Its entries were never read in, so this text would drop them.
    Log::log(DEBUG_Attributes, "Attibutes: Error - not rewriting unread attributes file: '%s'\n",
             path.c_str());
    return aErrIO;
  }
  if (modified) entries[KEY_UPDATED_TIME] = CurrentTime();
  const std::string text = Serialize();
  int sysError = 0;
  const aErr err = aFile_Replace(path.c_str(), text.data(), text.size(), &sysError);
  if (err == aErrNotFound || err == aErrParam) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             path.c_str(), sysError);
    return err;
  }
  if (err != aErrNone) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n", path.c_str(),
             sysError);
    return err;
  }
  modified = false;
  return aErrNone;
}

const char* KeyValueStore::NumericText(const char* key) {
  if (key == nullptr) return nullptr;
  const auto found = entries.find(key);
  if (found == entries.end()) {
    // Created empty, which equals "absent", so the store stays unmodified.
    entries.emplace(key, std::string());
    return nullptr;
  }
  return found->second.empty() ? nullptr : found->second.c_str();
}

int32_t KeyValueStore::GetInt(const char* key, int32_t defaultValue) {
  const char* text = NumericText(key);
  if (text == nullptr) return defaultValue;
  const long value = sToLong(text, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

uint32_t KeyValueStore::GetHex(const char* key, uint32_t defaultValue) {
  const char* text = NumericText(key);
  if (text == nullptr) return defaultValue;
  // A value beyond 32 bits is not a register or serial number: the default
  // stands rather than a truncated value.
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 16);
  if (errno != 0 || end == text || value > UINT32_MAX || std::strchr(text, '-') != nullptr) {
    return defaultValue;
  }
  return static_cast<uint32_t>(value);
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue) {
  const char* text = NumericText(key);
  return text == nullptr ? defaultValue : sToLong(text, 10) != 0;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue) {
  const char* text = NumericText(key);
  return text == nullptr ? defaultValue : std::strtod(text, nullptr);
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const {
  const char* value = (*this)[key];
  if (value != nullptr) return value;
  return defaultValue != nullptr ? defaultValue : std::string();
}

const char* KeyValueStore::operator[](const char* key) const {
  if (key == nullptr) return nullptr;
  const auto found = entries.find(key);
  return found == entries.end() ? nullptr : found->second.c_str();
}

bool KeyValueStore::Store(const char* key, const std::string& text) {
  if (key == nullptr) return true;
  std::string& held = entries[key];
  if (held != text) {
    held = text;
    modified = true;
  }
  return true;
}

bool KeyValueStore::Add(const char* key, int32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%d", value);
  return Store(key, text);
}

bool KeyValueStore::Add(const char* key, double value) {
  char text[512];
  std::snprintf(text, sizeof(text), "%f", value);
  return Store(key, text);
}

bool KeyValueStore::Add(const char* key, const char* value) {
  return Store(key, value ? value : "");
}

bool KeyValueStore::Add(const char* key, const std::string& value) {
  return Store(key, value);
}

bool KeyValueStore::AddHex(const char* key, uint32_t value) {
  return Store(key, "0x" + aText_Hex32(value));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  for (const auto& entry : other.entries) entries[entry.first] = entry.second;
  modified = true;
  return true;
}

void KeyValueStore::Clear() {
  entries.clear();
  modified = true;
}
