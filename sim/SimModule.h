// The behaviour of one simulated module, independent of any transport: it is
// given the packets the host sent and answers with the packets a module would
// send back. The server (SimServer) moves these packets over TCP, a serial
// pseudo-terminal or a kernel-device pseudo-terminal; tests may drive a module
// in-process.
#ifndef CORVALITH_SIM_SIMMODULE_H
#define CORVALITH_SIM_SIMMODULE_H

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/SimDiscovery.h"
#include "sim/SimProtocol.h"
#include "sim/SimUpgrade.h"

namespace sim {

// How a module appears as an emulated USB device (corvalith-usb-sim), and
// its USB faults; 0 or empty switches each fault off.
struct UsbConfig {
  int vendorId = -1;   // -1: 0x24FF
  int productId = -1;  // -1: the model number
  bool serialTextSet = false;
  std::string serialText;       // serial-number string; unset: the serial as %08X
  uint16_t maxPacket = 512;     // of both bulk endpoints
  uint32_t stallIn = 0;         // the Nth bulk IN transfer stalls the endpoint
  uint32_t stallOut = 0;        // the Nth bulk OUT transfer stalls the endpoint
  bool claimBusy = false;       // every claim of the interface fails as busy
  uint32_t vanishAfter = 0;     // leave the bus for good after N received packets
  bool returnAfterLoad = true;  // no: a LOAD takes it off the bus for good
};

// Everything that can be set per module on the command line or in a
// configuration file. Ports and paths say which endpoints the server opens.
struct ModuleConfig {
  uint32_t serial = 0x1A2B3C4D;
  uint8_t model = 17;
  uint8_t address = 2;  // even, never 0
  uint8_t router = 0;
  uint32_t version = packVersion(2, 15, 0);
  uint32_t build = 1;
  std::string name = "Corvalith Sim";

  int tcpPort = -1;        // -1 no TCP endpoint, 0 any free port
  bool serialPty = false;  // COBS-framed pseudo-terminal
  std::string serialLink;  // symbolic link made to that pseudo-terminal
  bool kernelPty = false;  // raw pseudo-terminal as <dev dir>/corvalith.%08X

  uint32_t heartbeatMs = 1000;  // 0 sends none
  uint32_t rebootMs = 500;      // how long a reset or forced close keeps it away

  // Fault injection; 0 switches each off.
  uint32_t dropEvery = 0;   // drop every Nth reply
  uint32_t delayMs = 0;     // hold every reply this long
  uint32_t closeAfter = 0;  // drop the connection after N received packets
  int64_t muteAfter = -1;   // answer nothing after N received packets (-1 never)

  // Serial number of the routing module on whose I2C bus this module sits
  // (sim/SimRouter.h); 0: reached through its own endpoints.
  uint32_t behind = 0;

  // The chip's 128-bit unique id (system option 39, subindex j answering
  // word 3 - j), as a recovery loader reports it; unset: no option 39.
  bool hasFingerprint = false;
  std::array<uint32_t, 4> fingerprint{};

  DiscoveryConfig discovery;  // TCP/IP discovery replies (--discovery)
  UpgradeConfig upgrade;      // firmware upgrade (command class 0x5F)
  UsbConfig usb;              // emulated USB device
};

// What the host should be told, and what the server should do, after a packet.
struct Response {
  std::vector<Packet> replies;
  bool reboot = false;  // the module was asked to reset: go away for rebootMs
  // Sent once the host is back after the reboot (a loader started by LOAD
  // answers on its new link).
  std::vector<Packet> afterReconnect;
};

class SimModule {
 public:
  // System-class option kinds.
  enum class Kind : uint8_t { Byte, Int, Bytes, Call };
  enum Access : uint8_t { kGet = 1, kSet = 2 };

  static constexpr uint8_t kSystemClass = 3;
  static constexpr uint8_t kModuleQuery = 0x49;
  static constexpr uint8_t kFingerprintOption = 39;
  static constexpr uint8_t kDebugEcho = 0x17;
  static constexpr size_t kUeiBytesPart = 24;
  static constexpr size_t kMaxName = 64;
  // Longest power behaviour configuration (option 31), in bytes: large
  // enough for UEI-bytes series whose sequence numbers wrap.
  static constexpr size_t kMaxPowerConfig = 65536;
  // Protocol features (system option 45) bit: the module takes pooled packets.
  static constexpr uint32_t kFeaturePooled = 0x80000000u;

  explicit SimModule(const ModuleConfig& config);

  const ModuleConfig& config() const { return config_; }
  uint8_t address() const { return config_.address; }

  // Handles one packet from the host; nowMs is a monotonic clock reading.
  Response handle(const Packet& in, uint64_t nowMs);

  // The next heartbeat to send; alternates "up" (0) and "down" (1). Remembers
  // it as unanswered until the host's answer (h + 2) arrives.
  Packet nextHeartbeat();
  uint32_t heartbeatsSent() const { return hbSent_; }
  uint32_t heartbeatsAnswered() const { return hbAnswered_; }
  // Heartbeats that were still unanswered when the next one went out.
  uint32_t heartbeatsMissed() const { return hbMissed_; }

  bool routeOn() const { return routeOn_; }
  // Back to power-on state: counters, pending transfers, route and uptime.
  void reboot(uint64_t nowMs);

  const SimUpgrade& upgrade() const { return upgrade_; }
  // Writes the simulated flash file, if any; false with a reason.
  bool saveFlash(std::string& error) const { return upgrade_.saveFlash(error); }

  // The current device name (system option 32).
  std::string name() const { return std::string(name_.begin(), name_.end()); }

 private:
  struct Option {
    Kind kind;
    uint8_t access;
    uint32_t value;  // Byte and Int options
  };

  void handleQuery(const Packet& in, Response& r);
  void handleSystem(const Packet& in, uint64_t nowMs, Response& r);
  void handleUpgrade(const Packet& in, uint64_t nowMs, Response& r);
  void errorReply(uint8_t cmd, uint8_t option, uint8_t index, uint8_t err, Response& r) const;
  void bytesReply(uint8_t option, uint8_t index, const std::vector<uint8_t>& bytes, Response& r) const;
  std::vector<uint8_t>* bytesOption(uint8_t option);
  uint32_t liveValue(uint8_t option, uint64_t nowMs) const;
  void setDefaults();

  ModuleConfig config_;
  SimUpgrade upgrade_;
  std::map<uint8_t, Option> options_;
  std::vector<uint8_t> name_;
  std::vector<uint8_t> powerConfig_;
  // A set of a byte array arriving over several packets.
  std::vector<uint8_t> incoming_;
  uint8_t incomingOption_ = 0;
  uint8_t incomingSeq_ = 0;
  bool incomingActive_ = false;

  bool routeOn_ = false;
  uint64_t bootMs_ = 0;
  bool bootSet_ = false;
  uint8_t hbNext_ = 0;
  bool hbPending_ = false;
  uint8_t hbPendingValue_ = 0;
  uint32_t hbSent_ = 0;
  uint32_t hbAnswered_ = 0;
  uint32_t hbMissed_ = 0;
};

}  // namespace sim

#endif
