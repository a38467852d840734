#include "updater/report/UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr size_t kMessageSize = 2048;

}  // namespace

void UpdaterDisplayInterface::message(int level, const char* format, ...) {
  if (muted || !format) return;
  char text[kMessageSize];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (level == ERROR) {
    error_message(text);
  } else {
    info_message(text);
  }
}
