// Drives the device server broker's bookkeeping with what its peers send:
// client frames from four clients over three connections, frames from the
// command actor, connection ends and flushes, in any order. Whatever comes
// in, only well-formed packets reach the device, never a client's route
// request, only bytes some client sent; local answers are stream-disable
// replies; replies go only to clients still connected; and once every
// connection has closed nothing is left held.
//
// Input: a run of records. Each starts with an op byte; bits 0-1 choose the
// kind, the rest its parameters:
//   0  client frame: client (bits 2-3), connection (bits 4-5, mod 3),
//      then a length byte (mod 41) and that many bytes
//   1  command-actor frame: a length byte (mod 33) and that many bytes
//   2  connection (bits 2-3, mod 3) closed
//   3  connection (bits 2-3, mod 3) accepted again, or a flush (bit 4)
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/aServerBroker.h"

namespace {

constexpr int kConnections = 3;
constexpr size_t kMaxClientFrame = 40;
constexpr size_t kMaxCommandFrame = 32;
constexpr uint8_t kRouteAddress = 0xAF;
constexpr char kLocalReply = 0x00;

void sCheck(bool ok) {
  if (!ok) std::abort();
}

// A packet image: address (never 0), length, that many data bytes (at most
// 28).
bool sIsPacket(const std::string& frame) {
  return frame.size() >= 2 && frame.size() <= 30 && frame[0] != 0 &&
         static_cast<uint8_t>(frame[1]) == frame.size() - 2;
}

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool more() const { return at < size; }
  uint8_t byte() { return at < size ? data[at++] : 0; }
  std::string bytes(size_t n) {
    std::string out;
    while (n-- > 0 && at < size) out.push_back(static_cast<char>(data[at++]));
    return out;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  aServerBroker book;
  Reader in{data, size};
  // What each client sent, and on which connection it was last heard.
  std::map<std::string, std::set<std::string>> sent;
  std::map<std::string, int> lastConnection;
  std::set<std::string> gone;
  std::set<int> closed;
  while (in.more()) {
    const uint8_t op = in.byte();
    const int connection = ((op >> 4) & 3) % kConnections;
    switch (op & 3) {
      case 0: {
        const std::string client(1, static_cast<char>('A' + ((op >> 2) & 3)));
        const std::string frame = in.bytes(in.byte() % (kMaxClientFrame + 1));
        std::vector<std::string> toDevice;
        book.clientFrame(client, frame, connection, &toDevice);
        if (closed.count(connection) == 0 && sIsPacket(frame)) {
          sent[client].insert(frame);
          lastConnection[client] = connection;
          gone.erase(client);
        } else {
          sCheck(toDevice.empty());
        }
        for (const std::string& out : toDevice) {
          if (out[0] == kLocalReply) {
            sCheck(out.size() == 6 && out.substr(2) == std::string("\x03\x5D\xC2\x00", 4));
            continue;
          }
          sCheck(sIsPacket(out));
          sCheck(!(static_cast<uint8_t>(out[0]) == kRouteAddress && out[1] == 1));
          sCheck(sent[client].count(out) == 1);
        }
        break;
      }
      case 1: {
        const std::string frame = in.bytes(in.byte() % (kMaxCommandFrame + 1));
        std::string to;
        if (book.commandFrame(frame, &to)) {
          sCheck(sent.count(to) == 1);
          sCheck(gone.count(to) == 0);
        }
        break;
      }
      case 2: {
        const int fd = ((op >> 2) & 3) % kConnections;
        book.connectionClosed(fd);
        closed.insert(fd);
        for (const auto& c : lastConnection) {
          if (c.second == fd) gone.insert(c.first);
        }
        break;
      }
      default:
        if (op & 0x10) {
          book.flush();
          sCheck(book.pendingReplies() == 0);
        } else {
          const int fd = ((op >> 2) & 3) % kConnections;
          book.connectionAccepted(fd);
          closed.erase(fd);
        }
        break;
    }
    // Each client holds at most: its connection, one sequence, one
    // subscription, its streams and the replies queued for it.
    sCheck(book.clientState() <= 4 * 4 + book.pendingReplies());
  }
  for (int fd = 0; fd < kConnections; ++fd) book.connectionClosed(fd);
  sCheck(book.clientState() == 0);
  return 0;
}
