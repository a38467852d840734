#include "common/aDebug.h"

#include <cstdarg>
#include <cstdio>

std::atomic<bool> aCorvalithDebuggingEnable{false};
std::atomic<uint32_t> aCorvalithDebuggingLevel{0};

bool aCorvalithDebug_On(uint32_t bits) {
  return aCorvalithDebuggingEnable.load(std::memory_order_relaxed) &&
         (aCorvalithDebuggingLevel.load(std::memory_order_relaxed) & bits) != 0;
}

void aCorvalithDebug_Printf(uint32_t bits, const char* format, ...) {
  if (!aCorvalithDebug_On(bits)) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}
