// Build numbers as the store's file names and the server's replies write them.
#ifndef CORVALITH_UPDATER_BUILDNUMBER_H
#define CORVALITH_UPDATER_BUILDNUMBER_H

#include <string>

// Unsigned decimal text that fits 32 bits, nothing else (no sign, no spaces,
// no trailing characters). False leaves value unchanged.
[[nodiscard]] inline bool ParseBuildNumber(const std::string& text, unsigned& value) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  value = static_cast<unsigned>(v);
  return true;
}

#endif
