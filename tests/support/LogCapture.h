// Points the process-wide log at a temporary file for one test, with the
// debug output of the given packages on, and puts the logger back as it was
// afterwards. Header-only so that only folders that link the logger use it.
#ifndef CORVALITH_TESTS_SUPPORT_LOGCAPTURE_H
#define CORVALITH_TESTS_SUPPORT_LOGCAPTURE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "updater/report/Log.h"

class LogCapture {
 public:
  explicit LogCapture(uint32_t packages = 0)
      : savedMask_(Log::package_bitmask), savedFh_(Log::fh), savedStamp_(Log::timestamped), file_(tmpfile()) {
    Log::package_bitmask = packages;
    Log::timestamped = false;
    Log::SetOutput(file_);
  }
  ~LogCapture() {
    Log::package_bitmask = savedMask_;
    Log::timestamped = savedStamp_;
    Log::SetOutput(savedFh_);
    if (file_) fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  FILE* file() const { return file_; }

  // Everything written so far.
  std::string text() const {
    std::string out;
    if (!file_) return out;
    fflush(file_);
    long end = ftell(file_);
    rewind(file_);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file_)) > 0) out.append(buffer, n);
    fseek(file_, end, SEEK_SET);
    return out;
  }

 private:
  uint32_t savedMask_;
  FILE* savedFh_;
  bool savedStamp_;
  FILE* file_;
};

#endif
