#include "loaders/HID_SDPLoader.h"

#include <hidapi/hidapi.h>

#include <chrono>

#include "updater/report/Log.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kDataWords = 16;

}  // namespace

const HidFunctions HID_SDPLoader::kHidapi = {hid_init,         hid_open,  hid_write,
                                             hid_read_timeout, hid_close, hid_exit};

HID_SDPLoader::HID_SDPLoader(uint16_t vendorId, uint16_t productId, const HidFunctions& functions)
    : hid_(functions), vendorId_(vendorId), productId_(productId) {}

HID_SDPLoader::~HID_SDPLoader() {
  if (handle_) hid_.close(handle_);
  if (initialised_) (void)hid_.exit();
}

bool HID_SDPLoader::init() {
  if (handle_) return true;
  if (!initialised_) {
    if (hid_.init() != 0) return false;
    initialised_ = true;
  }
  handle_ = hid_.open(vendorId_, productId_, nullptr);
  Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle_));
  return handle_ != nullptr;
}

ssize_t HID_SDPLoader::writeData(const std::vector<uint8_t>& bytes) {
  if (!handle_) return -1;
  return hid_.write(handle_, bytes.data(), bytes.size());
}

ssize_t HID_SDPLoader::readData(std::vector<uint8_t>& out, int timeoutMs) {
  if (!handle_) return -1;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0) +
                        std::chrono::milliseconds(kMaxReadExtraMs);
  unsigned char report[kReportBufferSize];
  ssize_t total = 0;
  for (int reports = 0; reports < kMaxReportsPerRead && Clock::now() < deadline; ++reports) {
    int n = hid_.readTimeout(handle_, report, sizeof report, timeoutMs);
    if (n < 0) {
      Log::log(DEBUG_iMXSerial, "hid_read_timeout failed\n");
      return total > 0 ? total : -1;
    }
    if (n == 0) break;
    size_t take = static_cast<size_t>(n);
    if (take > sizeof report) take = sizeof report;
    if (report[0] == kSecurityReportId && take > kSecurityReportSize) take = kSecurityReportSize;
    out.insert(out.end(), report, report + take);
    total += static_cast<ssize_t>(take);
  }
  return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& bytes, int index, uint32_t& out) {
  if (index < 0 || static_cast<size_t>(index) >= kDataWords || bytes.size() != kStatusAnswerSize)
    return false;
  size_t at = kStatusOffset + 4 * static_cast<size_t>(index);
  out |= static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
         static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
  return true;
}
