// SDP transport over USB HID, the i.MX boot ROM's native download path. The
// ROM takes commands as report 1 and image data as report 2, and answers
// with report 3 (its 4-byte security word) and report 4 (64 bytes of status
// or register data). hidapi is reached through a table of its functions, so
// another HID access with the same operations can stand in.
#ifndef CORVALITH_LOADERS_HID_SDPLOADER_H
#define CORVALITH_LOADERS_HID_SDPLOADER_H

#include <cstddef>
#include <cstdint>

#include "loaders/SDPLoader_Interface.h"

struct hid_device_;

// The hidapi operations the transport uses, with hidapi's signatures.
struct HidFunctions {
  int (*init)();
  hid_device_* (*open)(unsigned short vendorId, unsigned short productId, const wchar_t* serialNumber);
  int (*write)(hid_device_* device, const unsigned char* data, size_t length);
  int (*readTimeout)(hid_device_* device, unsigned char* data, size_t length, int milliseconds);
  void (*close)(hid_device_* device);
  int (*exit)();
};

class HID_SDPLoader : public SDPLoader_Interface {
 public:
  // NXP's i.MX boot ROM in SDP mode.
  static constexpr uint16_t kVendorId = 0x1FC9;
  static constexpr uint16_t kProductId = 0x0130;
  static constexpr size_t kReportBufferSize = 65;
  static constexpr uint8_t kSecurityReportId = 3;
  static constexpr size_t kSecurityReportSize = 5;
  // A status answer: report 3 (5 bytes) then report 4 (65 bytes).
  static constexpr size_t kStatusAnswerSize = 70;
  static constexpr size_t kStatusOffset = 6;
  // Caps on one readData: reports taken, and total time in ms beyond one
  // time-out, so a device that keeps sending cannot hold the caller.
  static constexpr int kMaxReportsPerRead = 64;
  static constexpr int kMaxReadExtraMs = 1000;

  // The real hidapi.
  static const HidFunctions kHidapi;

  explicit HID_SDPLoader(uint16_t vendorId = kVendorId, uint16_t productId = kProductId,
                         const HidFunctions& functions = kHidapi);
  ~HID_SDPLoader() override;
  HID_SDPLoader(const HID_SDPLoader&) = delete;
  HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

  // True when a device with the ids was opened.
  [[nodiscard]] bool init() override;
  // Writes the whole report (id first); hidapi's result.
  [[nodiscard]] ssize_t writeData(const std::vector<uint8_t>& bytes) override;
  // Reads reports while they come within timeoutMs of each other, each with
  // its id first (report 3 as exactly 5 bytes): the total, or negative when
  // the device failed before anything arrived.
  [[nodiscard]] ssize_t readData(std::vector<uint8_t>& out, int timeoutMs) override;
  // Word index of report 4's data (bytes 6+4i..9+4i, least significant
  // first); only an answer of exactly 70 bytes holds them.
  [[nodiscard]] bool getDataFromBuffer(const std::vector<uint8_t>& bytes, int index, uint32_t& out) override;

 private:
  const HidFunctions& hid_;
  hid_device_* handle_ = nullptr;
  uint16_t vendorId_;
  uint16_t productId_;
  bool initialised_ = false;
};

#endif
