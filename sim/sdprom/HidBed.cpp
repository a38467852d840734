#include "sim/sdprom/HidBed.h"

#include <cstdio>

namespace sdprom {

int ServeHid(const RomOptions&, const std::string&, const std::vector<std::string>&) {
  std::fprintf(stderr, "corvalith-sdp-rom: --hid is not available\n");
  return 1;
}

}  // namespace sdprom
