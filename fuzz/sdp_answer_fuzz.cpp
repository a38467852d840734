// Answers of an i.MX boot ROM into the SDP transports' parsers. The input is
// a run of HID reads, each a length byte (0: nothing came) and that many
// report bytes; they reach HID_SDPLoader through stand-in hidapi functions
// and the engine's fingerprint read. The same bytes, taken whole, are a
// serial answer. Every word extracted must sit where the layouts say.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "loaders/HID_SDPLoader.h"
#include "loaders/SDPLoader.h"
#include "loaders/Serial_SDPLoader.h"

namespace {

const uint8_t* gData = nullptr;
size_t gSize = 0;
size_t gAt = 0;

hid_device_* const kHandle = reinterpret_cast<hid_device_*>(0x1000);

int sRead(hid_device_*, unsigned char* out, size_t length, int) {
  if (gAt >= gSize) return 0;
  size_t n = gData[gAt++] % 70;
  n = std::min({n, gSize - gAt, length});
  std::memcpy(out, gData + gAt, n);
  gAt += n;
  return static_cast<int>(n);
}

const HidFunctions kFuzzHid = {
    [] { return 0; },
    [](unsigned short, unsigned short, const wchar_t*) { return kHandle; },
    [](hid_device_*, const unsigned char*, size_t length) { return static_cast<int>(length); },
    sRead,
    [](hid_device_*) {},
    [] { return 0; },
};

uint32_t sLittle(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> whole(data, data + size);

  Serial_SDPLoader serial("/nonexistent");
  uint32_t word = 0;
  bool got = serial.getDataFromBuffer(whole, 0, word);
  if (got != (size >= 8) || (got && word != sLittle(data + 4))) std::abort();

  gData = data;
  gSize = size;
  gAt = 0;
  HID_SDPLoader hid(HID_SDPLoader::kVendorId, HID_SDPLoader::kProductId, kFuzzHid);
  if (!hid.init()) std::abort();
  std::vector<uint8_t> answer;
  ssize_t n = hid.readData(answer, 1);
  if (n < 0 || static_cast<size_t>(n) != answer.size()) std::abort();
  // Expected: reads in order until one brings nothing, a security report cut
  // to its id and word.
  std::vector<uint8_t> expected;
  for (size_t at = 0, reads = 0; at < size && reads < HID_SDPLoader::kMaxReportsPerRead; ++reads) {
    size_t length = data[at++] % 70;
    length = std::min(length, size - at);
    length = std::min(length, HID_SDPLoader::kReportBufferSize);
    if (length == 0) break;
    size_t take = data[at] == HID_SDPLoader::kSecurityReportId ? std::min<size_t>(length, 5) : length;
    expected.insert(expected.end(), data + at, data + at + take);
    at += length;
  }
  if (answer != expected) std::abort();
  word = 0;
  got = hid.getDataFromBuffer(answer, 0, word);
  if (got != (answer.size() == HID_SDPLoader::kStatusAnswerSize) ||
      (got && word != sLittle(answer.data() + 6)))
    std::abort();

  // The rest of the reads as the answers of a fingerprint read.
  SDPLoader engine;
  auto transport =
      std::make_unique<HID_SDPLoader>(HID_SDPLoader::kVendorId, HID_SDPLoader::kProductId, kFuzzHid);
  if (!engine.setLoader(std::move(transport)) || engine.init() != SDPLoader::kSuccess) std::abort();
  uint64_t id = 0;
  int result = engine.getFingerprint(id);
  if (result != SDPLoader::kSuccess && result != SDPLoader::kNoAnswer &&
      result != SDPLoader::kRegisterUnreadable)
    std::abort();
  if (result != SDPLoader::kSuccess && (id >> 32) != 0) std::abort();
  return 0;
}
