#include "app/ConsoleTables.h"

#include <cstring>

#include "updater/UpdateServerRequest.h"

namespace {

using Level = UpdaterDisplayInterface::Level;

const char* sTypeName(uint32_t type) {
  if (type == USB) return "USB";
  if (type == TCPIP) return "TCPIP";
  return "Unknown";
}

}  // namespace

void ShowDeviceList(UpdaterDisplayInterface& display, uint32_t tableType,
                    const std::vector<DeviceInfo>& devices) {
  display.message(Level::INFO, "Discovered Devices: (%s)", sTypeName(tableType));
  if (devices.empty()) {
    display.message(Level::INFO, "    No devices found.");
    return;
  }
  if (tableType == USB) {
    display.message(Level::INFO,
                    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
  } else {
    display.message(Level::INFO,
                    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]   "
                    "    Device Name");
  }
  for (const DeviceInfo& d : devices) {
    const linkSpec& s = d.spec;
    // A module that could not be opened says so whatever its transport; a
    // TCP/IP row of zeros would pass for a module on firmware 0.0.0.
    if (d.error != 0) {
      display.message(Level::INFO, "    %08X  [Error (%d): Is someone else connected to this device?]",
                      s.serialNumber, d.error);
    } else if (s.type == TCPIP) {
      // The address word is in network order, so memory order is dotted order.
      uint8_t b[4];
      memcpy(b, &s.t.ip.ipAddress, sizeof(b));
      char address[24];
      snprintf(address, sizeof(address), "[%d.%d.%d.%d]", b[0], b[1], b[2], b[3]);
      display.message(Level::INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                      s.serialNumber, s.module, s.router, d.modelName.c_str(), d.major, d.minor,
                      static_cast<int>(d.patch), d.build, address, d.deviceName.c_str());
    } else {
      display.message(Level::INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                      s.serialNumber, s.module, s.router, d.modelName.c_str(), d.major, d.minor,
                      static_cast<int>(d.patch), d.build, d.deviceName.c_str());
    }
  }
}

void ShowBuildList(UpdaterDisplayInterface& display, uint32_t serialNumber,
                   const std::vector<BuildEntry>& builds) {
  if (builds.empty()) {
    display.message(Level::INFO, "No builds found for device [%08X]", serialNumber);
    return;
  }
  display.message(Level::INFO, "Build List for device [%08X]:\n", serialNumber);
  display.message(Level::INFO, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const BuildEntry& b : builds) {
    display.message(Level::INFO, "%-15.15s\t%-15.15s", b.first.c_str(), b.second.c_str());
  }
}

void ShowFingerprint(UpdaterDisplayInterface& display, const Fingerprint& f) {
  display.message(Level::INFO, "[ %08X %08X %08X %08X ]", f.word[0], f.word[1], f.word[2], f.word[3]);
}

void ShowToken(UpdaterDisplayInterface& display, const std::string& token) {
  // Not through message(): its 2048-byte buffer would cut a long token, and a
  // cut token is worse than none.
  if (!display.muted) display.info_message(token.c_str());
}

std::vector<BuildEntry> sortedBuilds(const std::map<std::string, std::string>& builds) {
  return UpdateServerRequest::SortBuildsByVersion(builds);
}
