// Built instead of HidBed.cpp where umockdev is missing.
#include <cstdio>

#include "sim/sdprom/HidBed.h"

namespace sdprom {
namespace {

constexpr int kOwnFailure = 125;

int sMissing() {
  std::fprintf(stderr, "corvalith-sdp-rom: built without umockdev: --hid and --usb are not available\n");
  return kOwnFailure;
}

}  // namespace

bool BedAvailable() {
  return false;
}
void EnterBed(char**) {}
int ServeHid(const BedOptions&) {
  return sMissing();
}
int ServeSerialOnBus(const BedOptions&) {
  return sMissing();
}

}  // namespace sdprom
