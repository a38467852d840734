// Serial port streams: the raw port (used by the chip-recovery client, whose
// get answers at once) and the packetised port that carries device packets
// in COBS frames with a CRC-8 (serial links of the link engine).
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "common/aCOBS.h"
#include "common/aPacket.h"
#include "common/aStream.h"
#include "unix/aFile.h"
#include "unix/aOS.h"
#include "unix/aStreamOS.h"

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;
constexpr uint16_t kCobsCheck = 0xC0B5;
// Wait for input before a packetised get answers aErrNotReady, in ms.
constexpr int kGetWaitMs = 50;
// A port held back by flow control must not stall the writer for ever: wait
// this long for the output queue to empty, in ms, then go on.
constexpr int kDrainTimeoutMs = 1000;
constexpr int32_t kDrainPollMs = 2;

// The baud index is the position in this table.
struct BaudRate {
  uint32_t rate;
  speed_t speed;
};
constexpr BaudRate kBaudRates[] = {{2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},
                                   {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}};
constexpr uint32_t kBaudCount = sizeof kBaudRates / sizeof kBaudRates[0];

struct SerialStream {
  uint16_t check;
  int fd;
  termios saved;
  char path[aFILE_MAX_PATH + 1];
};

struct CobsStream {
  uint16_t check;
  SerialStream* serial;
  aPacket* staging;  // packet being gathered from written bytes
  aCOBSReceiver receiver;
  uint8_t packet[aCOBS_MAX_PACKET];  // decoded packet being delivered
  size_t packetLength;
  size_t packetPosition;
};

bool sValidSerial(const SerialStream* s) {
  return s && s->check == kSerialCheck;
}
bool sValidCobs(const CobsStream* c) {
  return c && c->check == kCobsCheck && sValidSerial(c->serial);
}

aErr sOpenError(int error) {
  if (error == ENOENT || error == ENXIO || error == ENODEV) return aErrNotFound;
  if (error == EACCES || error == EPERM) return aErrPermission;
  return aErrIO;
}

aErr sOpenPort(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits, uint32_t stopBits,
               SerialStream** out) {
  auto* s = new (std::nothrow) SerialStream{};
  if (!s) return aErrMemory;
  std::strncpy(s->path, path, aFILE_MAX_PATH);
  s->fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (s->fd < 0) {
    aErr err = sOpenError(errno);
    delete s;
    return err;
  }
  // Non-blocking only so the open cannot wait for carrier; reads are made
  // non-waiting by VMIN = VTIME = 0 below.
  int flags = fcntl(s->fd, F_GETFL);
  termios settings{};
  bool ok = flags >= 0 && fcntl(s->fd, F_SETFL, flags & ~O_NONBLOCK) == 0 && tcgetattr(s->fd, &s->saved) == 0;
  if (ok) {
    settings.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    settings.c_cflag =
        CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) | (stopBits == 1 ? CSTOPB : 0);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    speed_t speed = baudIndex < kBaudCount ? kBaudRates[baudIndex].speed : B0;
    ok = cfsetispeed(&settings, speed) == 0 && cfsetospeed(&settings, speed) == 0 &&
         tcsetattr(s->fd, TCSANOW, &settings) == 0 && tcflush(s->fd, TCIOFLUSH) == 0;
  }
  if (!ok) {
    close(s->fd);
    delete s;
    return aErrIO;
  }
  s->check = kSerialCheck;
  *out = s;
  return aErrNone;
}

void sClosePort(SerialStream* s) {
  tcsetattr(s->fd, TCSANOW, &s->saved);
  close(s->fd);
  s->check = 0;
  delete s;
}

aErr sSerialGet(uint8_t* byte, void* ref) {
  auto* s = static_cast<SerialStream*>(ref);
  if (!sValidSerial(s)) return aErrParam;
  ssize_t n = read(s->fd, byte, 1);
  if (n == 1) return aErrNone;
  if (n == 0 || errno == EAGAIN || errno == EINTR) return aErrNotReady;
  return aErrIO;
}

// tcdrain without its unbounded wait: polls the output queue until empty.
void sDrain(const SerialStream* s) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainTimeoutMs);
  int queued = 0;
  while (ioctl(s->fd, TIOCOUTQ, &queued) == 0 && queued > 0 && std::chrono::steady_clock::now() < deadline) {
    aTime_MSSleep(kDrainPollMs);
  }
}

aErr sSerialWrite(const uint8_t* bytes, size_t count, void* ref) {
  auto* s = static_cast<SerialStream*>(ref);
  if (!sValidSerial(s)) return aErrParam;
  ssize_t n = write(s->fd, bytes, count);
  if (n < 0 || static_cast<size_t>(n) != count) return aErrIO;
  sDrain(s);
  return aErrNone;
}

aErr sSerialPut(const uint8_t* byte, void* ref) {
  return sSerialWrite(byte, 1, ref);
}

aErr sSerialDelete(void* ref) {
  auto* s = static_cast<SerialStream*>(ref);
  if (!sValidSerial(s)) return aErrParam;
  sClosePort(s);
  return aErrNone;
}

// Waits up to ms for input on the port; false when none came.
bool sAwaitInput(const SerialStream* s, int ms) {
  pollfd pfd{s->fd, POLLIN, 0};
  return poll(&pfd, 1, ms) > 0 && (pfd.revents & POLLIN);
}

aErr sCobsGet(uint8_t* byte, void* ref) {
  auto* c = static_cast<CobsStream*>(ref);
  if (!sValidCobs(c)) return aErrParam;
  if (c->packetPosition < c->packetLength) {
    *byte = c->packet[c->packetPosition++];
    if (c->packetPosition == c->packetLength) c->packetLength = c->packetPosition = 0;
    return aErrNone;
  }
  // Collect a whole frame within one call: answering aErrNotReady between
  // the bytes of a frame would read as an idle link to the link engine,
  // which restarts its synchronisation on every idle read while syncing.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kGetWaitMs);
  bool polledReady = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    uint8_t wire = 0;
    aErr err = sSerialGet(&wire, c->serial);
    // Nothing to read although poll said there was: the port hung up and
    // will stay "readable"; so will a failing port. Sit out the wait
    // instead of spinning.
    if ((err == aErrNotReady && polledReady) || (err != aErrNotReady && err != aErrNone)) {
      if (left > 0) aTime_MSSleep(static_cast<int32_t>(left));
      return aErrNotReady;
    }
    if (err == aErrNotReady) {
      if (left <= 0 || !sAwaitInput(c->serial, static_cast<int>(left))) return aErrNotReady;
      polledReady = true;
      continue;
    }
    polledReady = false;
    size_t length = 0;
    err = aCOBSReceiver_Feed(&c->receiver, wire, c->packet, &length);
    if (err == aErrPacket) return aErrPacket;
    if (err == aErrNone) {
      c->packetLength = length;
      c->packetPosition = 1;
      *byte = c->packet[0];
      return aErrNone;
    }
    if (left <= 0) return aErrNotReady;
  }
}

aErr sCobsPut(const uint8_t* byte, void* ref) {
  auto* c = static_cast<CobsStream*>(ref);
  if (!sValidCobs(c)) return aErrParam;
  return sSerialPut(byte, c->serial);
}

aErr sCobsWrite(const uint8_t* bytes, size_t count, void* ref) {
  auto* c = static_cast<CobsStream*>(ref);
  if (!sValidCobs(c)) return aErrParam;
  aErr result = aErrNone;
  for (size_t i = 0; i < count; ++i) {
    // A refused byte leaves the packet undefined, so the partial packet is
    // dropped with it.
    if (aPacket_AddByte(c->staging, bytes[i]) != aErrNone) {
      (void)aPacket_Reset(c->staging);
      continue;
    }
    if (!aPacket_IsComplete(c->staging)) continue;
    uint8_t plain[kMaxPacketBytes];
    size_t n = 0;
    aErr err = aPacket_GetBytes(c->staging, plain, sizeof plain, &n);
    (void)aPacket_Reset(c->staging);
    if (err != aErrNone) continue;
    uint8_t frame[aCOBS_MAX_WRITE_FRAME];
    size_t framed = aCOBS_FramePacket(plain, n, frame, sizeof frame);
    if (framed == 0) continue;
    err = sSerialWrite(frame, framed, c->serial);
    if (err != aErrNone) result = err;
  }
  return result;
}

aErr sCobsDelete(void* ref) {
  auto* c = static_cast<CobsStream*>(ref);
  if (!sValidCobs(c)) return aErrParam;
  aErr err = sSerialDelete(c->serial);
  (void)aPacket_Destroy(&c->staging);
  c->check = 0;
  delete c;
  return err;
}

aErr sCheckArguments(const char* path, uint32_t dataBits, uint32_t stopBits, aStreamRef* stream) {
  if (!path || !stream || dataBits > 1 || stopBits > 1) return aErrParam;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStreamRef* stream) {
  aErr err = sCheckArguments(path, dataBits, stopBits, stream);
  if (err != aErrNone) return err;
  SerialStream* s = nullptr;
  err = sOpenPort(path, baudIndex, parity, dataBits, stopBits, &s);
  if (err != aErrNone) return err;
  aStreamRef created = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, s);
  if (!created) {
    sClosePort(s);
    return aErrResource;
  }
  *stream = created;
  return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                                     uint32_t stopBits, aStreamRef* stream) {
  aErr err = sCheckArguments(path, dataBits, stopBits, stream);
  if (err != aErrNone) return err;
  auto* c = new (std::nothrow) CobsStream{};
  if (!c) return aErrMemory;
  c->staging = aPacket_Create();
  if (!c->staging) {
    delete c;
    return aErrMemory;
  }
  err = sOpenPort(path, baudIndex, parity, dataBits, stopBits, &c->serial);
  if (err != aErrNone) {
    (void)aPacket_Destroy(&c->staging);
    delete c;
    return err;
  }
  c->check = kCobsCheck;
  aStreamRef created = aStream_Create(sCobsGet, sCobsPut, sCobsWrite, sCobsDelete, c);
  if (!created) {
    sCobsDelete(c);
    return aErrResource;
  }
  *stream = created;
  return aErrNone;
}

uint32_t aStream_SerialBaudIndex(uint32_t baudRate) {
  for (uint32_t i = 0; i < kBaudCount; ++i) {
    if (kBaudRates[i].rate == baudRate) return i;
  }
  return UINT32_MAX;
}
