// Shared pieces of the link-engine tests: a scripted in-memory stream whose
// reads the test feeds and paces, and small packet helpers.
#ifndef CORVALITH_TESTS_COMMON_LINK_TEST_SUPPORT_H
#define CORVALITH_TESTS_COMMON_LINK_TEST_SUPPORT_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "common/aLink.h"
#include "common/aStream.h"

typedef std::vector<uint8_t> Bytes;

// A stream the test drives. Reads return fed bytes; with idle reads allowed an
// empty input answers aErrNotReady after 5 ms (like a real stream's wait),
// otherwise only when the test hands out an idle token, so the test decides
// exactly when the link sees an idle read. Every wait is bounded.
class ScriptedStream {
 public:
  struct State {
    std::mutex m;
    std::condition_variable cv;
    std::deque<uint8_t> input;
    Bytes written;
    std::vector<size_t> writeSizes;
    bool idleAllowed = true;
    int idleTokens = 0;
    int idleReads = 0;
    bool failReads = false;
    bool writeGateOpen = true;
    bool writeBlocked = false;  // a write is waiting at the closed gate
    bool deleted = false;
  };

  ScriptedStream();
  // A new aStream over this state; the link that gets it owns it.
  aStreamRef make();

  void feed(const Bytes& bytes);
  void setIdleAllowed(bool allowed);
  void giveIdleToken();
  void setFailReads(bool fail);
  void setWriteGate(bool open);
  // Waits up to ms for the condition on the state (called under its lock).
  bool waitFor(const std::function<bool(const State&)>& condition, int ms);
  // The written bytes cut into packets (address, length, data).
  std::vector<Bytes> packetsWritten();
  size_t countWritten(const Bytes& packet);
  std::vector<size_t> writeSizes();
  bool deleted();

  std::shared_ptr<State> state;
};

// Waits up to ms for the link's status; true when it was reached.
bool WaitForStatus(aLinkRef link, linkStatus status, int ms);
// Waits up to ms for the status to differ from the given one.
bool WaitForStatusNot(aLinkRef link, linkStatus status, int ms);

// Sends [0x17, payload...] to the module and waits for the echo.
bool EchoRoundTrip(aLinkRef link, uint8_t module, const Bytes& payload, int timeoutMs = 2000);
// Sends data to the module and returns the first reply whose command byte
// matches data[0] (empty when none came within the time-out).
Bytes Request(aLinkRef link, uint8_t module, const Bytes& data, int timeoutMs = 2000);
// Puts one packet on the link.
aErr PutBytes(aLinkRef link, uint8_t address, const Bytes& data);

#endif
