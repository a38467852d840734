// Values the Updater's jobs share: store keys and file names, the wait for a
// module that re-enumerates on USB after a loader starts, and the mark of a
// job that is writing a device.
#ifndef CORVALITH_UPDATER_UPDATERCONSTANTS_H
#define CORVALITH_UPDATER_UPDATERCONSTANTS_H

#include <cstdint>

namespace updater_jobs {

inline constexpr uint8_t kAnyModel = 0;
inline constexpr uint8_t kSystemIndex = 0;
inline constexpr const char* kBirdSuffix = ".bird";
inline constexpr const char* kKeyLatestDownload = "LATEST_DOWNLOAD";
// Re-enumeration after a loader start: attempts, pause between them in ms,
// and how often the USB context is renewed (before every third attempt).
inline constexpr int kEnumerationAttempts = 15;
inline constexpr int32_t kEnumerationPauseMs = 1000;
inline constexpr int kEnumerationRefreshEvery = 3;

// Marks the job as writing a device while it lives (Updater_IsWritingDevice).
class WritingDevice {
 public:
  WritingDevice();
  ~WritingDevice();
  WritingDevice(const WritingDevice&) = delete;
  WritingDevice& operator=(const WritingDevice&) = delete;
};

}  // namespace updater_jobs

#endif
