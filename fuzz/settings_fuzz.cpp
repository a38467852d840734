// The settings-line parser over untrusted bytes. Every line that yields an
// entry must read back unchanged once written the way Save writes it, unless
// the written line is one the reader skips by rule (a comment, or too short).
#include <cstdint>
#include <string>

#include "updater/KeyValueStore.h"

namespace {

bool sIsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void sCheck(bool condition) {
  if (!condition) __builtin_trap();
}

void sCheckEntry(const std::string& key, const std::string& value) {
  sCheck(key.find('=') == std::string::npos);
  sCheck(key.find('\0') == std::string::npos && value.find('\0') == std::string::npos);
  sCheck(key.empty() || (!sIsSpace(key.front()) && !sIsSpace(key.back())));
  sCheck(value.empty() || (!sIsSpace(value.front()) && !sIsSpace(value.back())));
  const std::string line = key + "=" + value + "\n";
  std::string key2;
  std::string value2;
  const bool skippedByRule = line.size() < 3 || line[0] == '#';
  const bool taken = KeyValueStore::ParseLine(line.data(), line.size(), &key2, &value2);
  sCheck(taken != skippedByRule);
  if (taken) sCheck(key2 == key && value2 == value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  KeyValueStore store;
  size_t start = 0;
  while (start < size) {
    size_t end = start;
    // Lines as the reader sees them: up to and including the newline, at most
    // one line buffer minus its terminator.
    while (end < size && end - start < KeyValueStore::kLineBufferSize - 1 && text[end] != '\n') ++end;
    if (end < size && text[end] == '\n') ++end;
    const std::string line(text + start, end - start);
    std::string key;
    std::string value;
    if (KeyValueStore::ParseLine(line.data(), line.size(), &key, &value)) {
      sCheckEntry(key, value);
      if (!store.Add(key.c_str(), value)) __builtin_trap();
    }
    start = end;
  }
  (void)store.Serialize();
  return 0;
}
