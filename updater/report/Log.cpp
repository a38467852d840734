#include "updater/report/Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

namespace {

constexpr size_t kMessageSize = 2048;
constexpr size_t kTimestampSize = 128;
// Short formats are fragments of a line (a value, a newline) and get no stamp.
constexpr size_t kMinStampedFormatLength = 10;

}  // namespace

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;
const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";

void Log::log(unsigned package, const char* format, ...) {
  if (package != 0 && (package & package_bitmask) == 0) return;
  FILE* out = fh;
  if (!out || !format) return;

  // The stamp goes to the same stream as its line, so a line stays whole
  // wherever the log is pointed.
  char stamp[kTimestampSize] = "";
  const char* separator = "";
  if (timestamped && strlen(format) > kMinStampedFormatLength) {
    time_t now = time(nullptr);
    struct tm utc;
    if (gmtime_r(&now, &utc) && strftime(stamp, sizeof(stamp), TIMESTAMP_FORMAT, &utc) > 0) {
      separator = SEPARATOR;
    }
  }

  char message[kMessageSize];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  // One write per line keeps lines from two threads apart.
  fprintf(out, "%s%s%s", stamp, separator, message);
}

void Log::SetOutput(FILE* stream) {
  fh = stream;
}

void Log::ActivatePackage(uint32_t bits) {
  package_bitmask |= bits;
}

void Log::DeactivatePackage(uint32_t bits) {
  package_bitmask &= ~bits;
}
