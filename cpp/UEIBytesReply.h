// The receiving side of a UEI-bytes series: the filter that takes the
// replies of one series in order and collects their payload.
#ifndef CORVALITH_CPP_UEIBYTESREPLY_H
#define CORVALITH_CPP_UEIBYTESREPLY_H

#include <cstddef>
#include <cstdint>

#include "common/aErr.h"
#include "common/aPacket.h"
#include "common/aUEI.h"

namespace Tessaron {
namespace Corvalith {

// Data bytes around the payload of a UEI-bytes packet: command, option and
// index before it, the trailer after it.
constexpr uint8_t kUEIBytesOverhead = 4;
// The error an accepted packet reports when its payload does not fit.
constexpr aErr kUEIBytesDoNotFit = 1;

// The state of one byte-array reply; receiveUEI hands it to the filter as
// the filter's own reference, and its record (type VOID) keeps the standard
// reply time-out.
struct UEIBytesReply {
  uei record;        // module, command, bare option and index expected
  uint8_t* write;    // where the next payload goes
  uint8_t sequence;  // trailer sequence number expected next
  bool more;         // the last packet taken said that more follow
  size_t capacity;   // bytes the buffer holds
  size_t count;      // bytes taken so far
  aErr error;        // set when an accepted packet ends the series
};

// Takes the next packet of the series described by the UEIBytesReply that
// reference points to: the error reply (its code into error), or the packet
// with the expected sequence number, whose payload is appended or, when it
// does not fit, refused with kUEIBytesDoNotFit. Anything else stays queued.
uint8_t ueiBytesReplyFilter(const aPacket* packet, const void* reference);

}  // namespace Corvalith
}  // namespace Tessaron

#endif
