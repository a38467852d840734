#include "loaders/SDPLoader.h"

#include <algorithm>

#include "updater/report/Log.h"

namespace {

// SDP command types; both bytes of the type field carry the same value.
constexpr uint8_t kReadRegister = 0x01;
constexpr uint8_t kWriteFile = 0x04;
constexpr uint8_t kErrorStatus = 0x05;
constexpr uint8_t kJumpAddress = 0x0B;

void sPutBigEndian(std::vector<uint8_t>& report, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) report[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

}  // namespace

bool SDPLoader::setLoader(std::unique_ptr<SDPLoader_Interface> transport) {
  if (!transport || transport_) return false;
  transport_ = std::move(transport);
  return true;
}

int SDPLoader::init() {
  if (!transport_) return kNoTransport;
  return transport_->init() ? kSuccess : kInitFailed;
}

void SDPLoader::_fillCommand(std::vector<uint8_t>& report, uint8_t type, uint32_t address, uint8_t format,
                             uint32_t count, uint32_t data) {
  report.assign(kCommandSize, 0);
  report[0] = kCommandReportId;
  report[1] = type;
  report[2] = type;
  sPutBigEndian(report, 3, address);
  report[7] = format;
  sPutBigEndian(report, 8, count);
  sPutBigEndian(report, 12, data);
}

std::vector<uint8_t> SDPLoader::_createStatusPacket() {
  std::vector<uint8_t> report;
  _fillCommand(report, kErrorStatus, 0, 0, 0, 0);
  return report;
}

std::vector<uint8_t> SDPLoader::_createWriteFilePacket(uint32_t address, uint32_t length) {
  std::vector<uint8_t> report;
  _fillCommand(report, kWriteFile, address, kFormat32, length, 0);
  return report;
}

std::vector<uint8_t> SDPLoader::_create4ByteReadRegisterPacket(uint32_t address) {
  std::vector<uint8_t> report;
  _fillCommand(report, kReadRegister, address, kFormat32, 4, 0);
  return report;
}

std::vector<uint8_t> SDPLoader::_createJumpPacket(uint32_t address) {
  std::vector<uint8_t> report;
  _fillCommand(report, kJumpAddress, address, 0, 0, 0);
  return report;
}

void SDPLoader::_printBuffer(const std::vector<uint8_t>& bytes) {
  if ((Log::package_bitmask & DEBUG_iMXSerial) == 0) return;
  for (uint8_t b : bytes) Log::log(DEBUG_iMXSerial, "%X ", b);
  Log::log(DEBUG_iMXSerial, "\n");
}

bool SDPLoader::_expectResponse(const std::vector<uint8_t>& answer) {
  uint32_t status = 0;
  return transport_->getDataFromBuffer(answer, 0, status);
}

bool SDPLoader::_expectAck(const std::vector<uint8_t>& answer) {
  uint32_t status = 0;
  return transport_->getDataFromBuffer(answer, 0, status) && status == kStatusAck;
}

bool SDPLoader::_expectSuccess(const std::vector<uint8_t>& answer) {
  uint32_t status = 0;
  return transport_->getDataFromBuffer(answer, 0, status) && status == kStatusComplete;
}

bool SDPLoader::_isConnectionAlive() {
  const std::vector<uint8_t> command = _createStatusPacket();
  for (int attempt = 0; attempt < kConnectTries; ++attempt) {
    // Any status word will do: the ROM is there and listening.
    if (_expectResponse(_exchange(command))) return true;
  }
  Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
  return false;
}

int SDPLoader::writeLoader(const std::vector<uint8_t>& image, uint32_t address) {
  if (!transport_) return kNoTransport;
  if (!_isConnectionAlive()) return kNoAnswer;

  const std::vector<uint8_t> command = _createWriteFilePacket(address, static_cast<uint32_t>(image.size()));
  ssize_t written = transport_->writeData(command);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", written);
  _printBuffer(command);
  // The ROM would wait for data that never comes; nothing more to send.
  if (written < 0) return kTransferIncomplete;

  int total = 0;
  int loop = 0;
  std::vector<uint8_t> report;
  report.reserve(kMaxDataPerReport + 1);
  for (size_t offset = 0; offset < image.size(); ++loop) {
    // The ROM stays silent unless it refuses the data, so any byte here (or
    // a broken transport) means abort.
    std::vector<uint8_t> early;
    ssize_t read = transport_->readData(early, 0);
    if (read != 0) {
      Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", read);
      _printBuffer(early);
      Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      return kDataDuringTransfer;
    }
    size_t n = std::min(kMaxDataPerReport, image.size() - offset);
    report.assign(1, kDataReportId);
    report.insert(report.end(), image.begin() + static_cast<std::ptrdiff_t>(offset),
                  image.begin() + static_cast<std::ptrdiff_t>(offset + n));
    offset += n;
    written = transport_->writeData(report);
    if (written > 0) total += static_cast<int>(written);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", written, total,
             loop, static_cast<long>(offset), static_cast<ssize_t>(report.size()));
    if (written < 0) {
      Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
      return kTransferIncomplete;
    }
  }
  Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);

  std::vector<uint8_t> answer;
  (void)transport_->readData(answer, kAnswerTimeoutMs);
  Log::log(DEBUG_iMXSerial, "Data Read: \n");
  _printBuffer(answer);
  if (_expectSuccess(answer)) {
    Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
    return kSuccess;
  }
  Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
  return kTransferIncomplete;
}

void SDPLoader::startLoader(uint32_t address) {
  if (!transport_) return;
  const std::vector<uint8_t> command = _createJumpPacket(address);
  ssize_t written = transport_->writeData(command);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", written);
  _printBuffer(command);
  std::vector<uint8_t> answer;
  ssize_t read = transport_->readData(answer, kAnswerTimeoutMs);
  Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", read);
  _printBuffer(answer);
}

bool SDPLoader::_readRegister(uint32_t address, uint32_t& value) {
  return transport_->getDataFromBuffer(_exchange(_create4ByteReadRegisterPacket(address)), 0, value);
}

std::vector<uint8_t> SDPLoader::_exchange(const std::vector<uint8_t>& command) {
  ssize_t written = transport_->writeData(command);
  Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(written));
  _printBuffer(command);
  std::vector<uint8_t> answer;
  ssize_t read = transport_->readData(answer, kAnswerTimeoutMs);
  Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", read);
  _printBuffer(answer);
  return answer;
}

int SDPLoader::getFingerprint(uint64_t& out) {
  if (!transport_) return kNoTransport;
  if (!_isConnectionAlive()) return kNoAnswer;
  uint32_t low = 0;
  if (!_readRegister(kUidLowRegister, low)) return kRegisterUnreadable;
  out |= low;
  uint32_t high = 0;
  if (!_readRegister(kUidHighRegister, high)) return kRegisterUnreadable;
  out |= static_cast<uint64_t>(high) << 32;
  return kSuccess;
}
