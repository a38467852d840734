// The console tables that present the jobs' results: discovered devices,
// build lists, fingerprints and tokens. Each writes through the display's
// information channel.
#ifndef CORVALITH_APP_CONSOLETABLES_H
#define CORVALITH_APP_CONSOLETABLES_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "updater/Updater.h"
#include "updater/report/UpdaterDisplayInterface.h"

using BuildEntry = std::pair<std::string, std::string>;  // (build number, version)

// tableType picks the title and header: 1 USB, 2 TCPIP, else "Unknown" with
// the header that has the address column.
void ShowDeviceList(UpdaterDisplayInterface& display, uint32_t tableType,
                    const std::vector<DeviceInfo>& devices);
// builds is already in display order.
void ShowBuildList(UpdaterDisplayInterface& display, uint32_t serialNumber,
                   const std::vector<BuildEntry>& builds);
void ShowFingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
void ShowToken(UpdaterDisplayInterface& display, const std::string& token);

// The display order of a build list: newest version first.
std::vector<BuildEntry> sortedBuilds(const std::map<std::string, std::string>& builds);

#endif
