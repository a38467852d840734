#include "updater/BuildPath.h"

#include <cstdarg>

#include "unix/aDirectory.h"

std::string BuildPath(const char* first, ...) {
  // A null first part is the list's end already: nothing further to read.
  if (first == nullptr) {
    return std::string();
  }
  std::string path(first);
  va_list args;
  va_start(args, first);
  for (const char* part = va_arg(args, const char*); part != nullptr; part = va_arg(args, const char*)) {
    path += aDIR_PATH_SEP;
    path += part;
  }
  va_end(args);
  return path;
}
