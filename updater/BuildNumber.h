// Build numbers as the store's file names and the server's replies write them.
#ifndef CORVALITH_UPDATER_BUILDNUMBER_H
#define CORVALITH_UPDATER_BUILDNUMBER_H

#include <string>

#include "common/aText.h"

// Unsigned decimal text that fits 32 bits, nothing else (no sign, no spaces,
// no trailing characters). False leaves value unchanged.
[[nodiscard]] inline bool ParseBuildNumber(const std::string& text, unsigned& value) {
  uint32_t v = 0;
  if (!aText_ParseUnsigned32(text, 10, &v)) return false;
  value = v;
  return true;
}

#endif
