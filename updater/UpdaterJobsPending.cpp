// Jobs whose implementation has not landed yet. Each moves to its own source
// file when it does; until then it fails the run with a clear message.
#include "updater/Updater.h"

bool Updater::Recover_Firmware(std::string, unsigned, unsigned, unsigned, std::string, bool) {
  throw JobUnavailable("Recover_Firmware");
}

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned, std::string, unsigned, bool) {
  throw JobUnavailable("Get_Fingerprint");
}
