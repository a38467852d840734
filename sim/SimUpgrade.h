// The device side of the firmware upgrade (command class 0x5F) of one
// simulated module. A running module enters its boot stage on INIT and takes
// loader blocks into RAM; LOAD starts the loader, which takes firmware blocks
// chunk by chunk (DATA packets or one UEI-bytes set on option 10), answers
// SUM with the sum of the chunk's bytes and writes the chunk into the
// simulated flash on WRITE; REBOOT leaves the loader for the new firmware.
// Independent of the device library's upgrade entity: the bytes are decoded
// here from the packets alone.
#ifndef CORVALITH_SIM_SIMUPGRADE_H
#define CORVALITH_SIM_SIMUPGRADE_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Upgrade behaviour of a module (module keys flash-file, reboot-bird, the
// upgrade faults and the supported options).
struct UpgradeConfig {
  enum class Mute : uint8_t { None, Loader, Firmware, All };

  std::string flashFile;           // raw flash image, offset A = address A; empty: none
  std::string rebootBird;          // descriptor read after a reboot into new firmware
  uint32_t flashSize = 16u << 20;  // addresses at and above are refused
  uint16_t blockSize = 2048;       // granted on PREPARE in the loader
  bool ueiData = true;             // takes option 10 (UEI-bytes data)
  bool pooled = true;              // protocol features bit 31

  // Faults.
  uint32_t ignoreDataEvery = 0;  // drop every Nth DATA packet (0: none)
  bool badSumOnce = false;       // the first SUM reply is off by one
  Mute mutePrepare = Mute::None;
  bool dropOnReboot = true;  // no: reboot without dropping the link
  bool dropOnLoad = false;   // drop the link on LOAD, answer after reconnection
  // A recovery loader already runs from RAM: it takes firmware blocks at
  // once, without INIT and LOAD.
  bool startInLoader = false;
};

// The descriptor of a BIRD file, read with the simulator's own reader.
struct BirdDescriptor {
  uint32_t build = 0;
  std::string version;  // version text as in the file, e.g. "2.11.0"
};
// False with a reason when the file cannot be read or has no descriptor.
bool readBirdDescriptor(const std::string& path, BirdDescriptor& out, std::string& error);
// The same over a file image already in memory.
bool parseBirdDescriptor(const std::vector<uint8_t>& file, BirdDescriptor& out, std::string& error);
// "A.B.C" to the packed version; false for any other text.
bool parseVersionText(const std::string& text, uint32_t& packed);

class SimUpgrade {
 public:
  enum class Stage : uint8_t { Firmware, Boot, Loader };

  static constexpr uint8_t kCommand = 0x5F;
  static constexpr uint8_t kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5, kReboot = 6,
                           kStatus = 7, kDataUei = 10;
  static constexpr size_t kMaxDataPayload = 26;
  // Where the boot stage says the loader goes, and how much RAM it has.
  static constexpr uint32_t kLoadBase = 0x20000000;
  static constexpr size_t kRamSize = 256 * 1024;
  // Status byte of a refused PREPARE, SUM or WRITE.
  static constexpr uint8_t kRefused = 1;

  // What the module does after an upgrade packet.
  struct Outcome {
    std::vector<std::vector<uint8_t>> replies;  // data bytes
    bool dropLink = false;                      // close the link for a while (LOAD or REBOOT)
    bool answerLater = false;                   // replies go out after the host reconnects
    bool restartNow = false;                    // reboot in place, link kept (drop-on-reboot=no)
  };

  explicit SimUpgrade(const UpgradeConfig& config)
      : config_(config),
        ramLoader_(config.startInLoader),
        stage_(ramLoader_ ? Stage::Loader : Stage::Firmware) {}

  const UpgradeConfig& config() const { return config_; }
  Stage stage() const { return stage_; }

  // A raw upgrade packet (option byte below 0x40) or a UEI on class 0x5F.
  void handle(const std::vector<uint8_t>& data, Outcome& out);
  // Whether the module answers a set of option 10 on index 0.
  bool hasUeiData() const { return config_.ueiData; }

  // The module restarts. Leaving the loader after a successful WRITE starts
  // the new firmware: true when reboot-bird is given and readable, with its
  // descriptor in next. A drop of the link on LOAD keeps the loader running.
  bool restart(BirdDescriptor& next);

  // Writes the flash file (when configured); false with a reason.
  bool saveFlash(std::string& error) const;

  const std::vector<uint8_t>& flash() const { return flash_; }
  // Loader blocks received in the boot stage: address and bytes.
  const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& loaderBlocks() const { return ram_; }
  uint32_t writes() const { return writes_; }

 private:
  void onPrepare(const std::vector<uint8_t>& d, Outcome& out);
  void onData(const std::vector<uint8_t>& d, Outcome& out);
  void onWrite(const std::vector<uint8_t>& d, Outcome& out);
  void onUei(const std::vector<uint8_t>& d, Outcome& out);
  // Room left in the current chunk: the RAM in the boot stage, the granted
  // block size in the loader.
  size_t chunkRoom() const;
  void accept(const uint8_t* bytes, size_t n);
  static std::vector<uint8_t> status(uint8_t value, const std::vector<uint8_t>& result = {});

  UpgradeConfig config_;
  bool ramLoader_ = false;
  Stage stage_ = Stage::Firmware;
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> ram_;
  size_t ramUsed_ = 0;
  std::vector<uint8_t> chunk_;
  uint32_t chunkSum_ = 0;
  uint32_t target_ = 0;  // flash address of the next WRITE
  bool prepared_ = false;
  std::vector<uint8_t> flash_;
  uint32_t writes_ = 0;  // successful WRITEs since INIT
  uint64_t dataPackets_ = 0;
  bool sumSpoiled_ = false;
  bool loadDrop_ = false;
  // A UEI-bytes data series in progress.
  std::vector<uint8_t> series_;
  uint8_t seriesSeq_ = 0;
  bool seriesActive_ = false;
  bool seriesBroken_ = false;  // a gap was reported; parts ignored until seq 0
};

}  // namespace sim

#endif
