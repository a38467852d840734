#include "common/aServerBroker.h"

#include <algorithm>
#include <iterator>

#include "common/aDebug.h"
#include "common/aLink.h"
#include "common/aUEI.h"

namespace {

// Stream control: 7 data bytes, the command 0x5D, the option (0x81 enable,
// 0x82 disable), an index byte and the 32-bit key (module, command, option,
// index; 0xFF is "any"). A disable ends the stream it names and every
// narrower one.
constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kStreamDisable = 0x82;
constexpr uint8_t kStreamEnableLength = 7;
constexpr size_t kStreamKeyAt = 5;  // in a frame: address, length, command, option, index
constexpr size_t kStreamKeyBytes = 4;
constexpr char kStreamAny = static_cast<char>(0xFF);
// What a module answers to a successful disable: the option with the set and
// get bits, index byte 0, no value.
constexpr uint8_t kStreamDisableReply = 0xC2;

bool sIsStreamControl(const aPacket* packet, uint8_t option) {
  return packet->length == kStreamEnableLength && packet->data[0] == kStreamCommand &&
         packet->data[1] == option;
}

// Whether the stream a disable frame names covers the one an enable frame
// names.
bool sCovers(const std::string& disable, const std::string& enable) {
  if (disable[kStreamKeyAt] != enable[kStreamKeyAt]) return false;
  for (size_t i = kStreamKeyAt + 1; i < kStreamKeyAt + kStreamKeyBytes; ++i) {
    if (disable[i] != kStreamAny && disable[i] != enable[i]) return false;
  }
  return true;
}

// A packet of a frame's bytes (address, length, data), or null. Address 0
// marks a packet still being read, so no complete packet has it.
aPacket* sPacketOf(const std::string& frame) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(frame.data());
  const size_t size = frame.size();
  if (size < 2 || size > kMaxPacketBytes || bytes[0] == 0 || bytes[1] != size - 2) return nullptr;
  return aPacket_CreateWithData(bytes[0], bytes[1], bytes + 2);
}

bool sFullAndContinues(const aPacket* packet) {
  return aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet);
}

// A 3-byte frame from the command actor is a server command unless it starts
// with a device address (even, non-zero): a one-byte reply packet is 3 bytes
// long too.
bool sIsServerCommand(const std::string& frame) {
  return frame.size() == aSERVER_CMD_FRAME_SIZE && (frame[0] == 0 || (frame[0] & 1) != 0);
}

}  // namespace

bool aServerBroker::takeUEIBytes(const std::string& identity, const aPacket* packet, const std::string& frame,
                                 std::vector<std::string>* toDevice) {
  if (!aUEI_isUEIPayload(packet)) return false;
  for (auto it = pools_.begin(); it != pools_.end();) {
    if (it->timeToLive-- == 0) {
      aCorvalithDebug_Printf(aDEBUG_SERVER, "setUEIBytes is stale, destroying\n");
      it = pools_.erase(it);
    } else {
      ++it;
    }
  }
  auto pool = pools_.begin();
  while (pool != pools_.end() && pool->identity != identity) ++pool;
  const uint8_t sequence = aUEI_getBytesSequence(packet);
  if (pool == pools_.end()) {
    if (packet->length != kMaxPacketData || !sFullAndContinues(packet) || sequence != 0) return false;
    Pool fresh;
    fresh.identity = identity;
    fresh.frames.push_back(frame);
    pools_.push_back(fresh);
    return true;
  }
  if (sequence != pool->count + 1) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "BOOM: Sequence mix up. ttl will clean it up. \n");
    return true;
  }
  pool->frames.push_back(frame);
  if (sFullAndContinues(packet)) {
    ++pool->count;
    return true;
  }
  replyQueue_.push_back(identity);
  for (size_t i = 0; i < pool->frames.size(); ++i) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "Pool Packet: %d\n", static_cast<int>(i));
    toDevice->push_back(pool->frames[i]);
  }
  pools_.erase(pool);
  return true;
}

bool aServerBroker::othersHoldStreamIn(const std::string& identity, const std::string& disable) const {
  for (const auto& client : streams_) {
    if (client.first == identity) continue;
    for (const std::string& enable : client.second) {
      if (sCovers(disable, enable)) return true;
    }
  }
  return false;
}

bool aServerBroker::takeStreamDisable(const std::string& identity, const aPacket* packet,
                                      const std::string& disable, std::vector<std::string>* toDevice) {
  if (packet->address == kLinkRouteAddress || !sIsStreamControl(packet, kStreamDisable)) return false;
  const auto mine = streams_.find(identity);
  if (mine != streams_.end()) {
    for (auto it = mine->second.begin(); it != mine->second.end();) {
      it = sCovers(disable, *it) ? mine->second.erase(it) : std::next(it);
    }
    if (mine->second.empty()) streams_.erase(mine);
  }
  if (!othersHoldStreamIn(identity, disable)) return false;
  replyQueue_.push_back(identity);
  const uint8_t reply[] = {aSERVER_LOCAL_REPLY, packet->address, 3, kStreamCommand, kStreamDisableReply, 0};
  toDevice->push_back(std::string(reinterpret_cast<const char*>(reply), sizeof reply));
  return true;
}

void aServerBroker::clientFrame(const std::string& identity, const std::string& frame, int fd,
                                std::vector<std::string>* toDevice) {
  if (fd >= 0 && closedFds_.count(fd) != 0) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "dropping a message of a client that went away\n");
    return;
  }
  aPacket* packet = sPacketOf(frame);
  if (!packet) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "Bad content packet: dSize: %d\n", static_cast<int>(frame.size()));
    return;
  }
  if (fd >= 0) peers_[identity] = fd;
  if (packet->length == kStreamEnableLength && packet->data[0] == kStreamCommand) {
    if (packet->data[1] != kStreamEnable) {
      aCorvalithDebug_Printf(aDEBUG_SERVER, "unknown stream enable: %d\n", packet->data[1]);
    } else {
      aCorvalithDebug_Printf(aDEBUG_SERVER, "ZeroMQ - Streaming Enable - Size: %zu\n", subscribers_.size());
      bool known = false;
      for (const std::string& s : subscribers_) known = known || s == identity;
      if (!known) {
        subscribers_.push_back(identity);
        aCorvalithDebug_Printf(aDEBUG_SERVER, "Added stream entry\n");
      }
    }
  }
  if (takeUEIBytes(identity, packet, frame, toDevice)) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "UEIBytes\n");
  } else if (takeStreamDisable(identity, packet, frame, toDevice)) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "Stream still enabled by another client, disable answered here\n");
  } else {
    if (packet->address != kLinkRouteAddress && sIsStreamControl(packet, kStreamEnable)) {
      streams_[identity].insert(frame);
    }
    // Every packet but those to the route address is answered.
    if (packet->address != kLinkRouteAddress) replyQueue_.push_back(identity);
    if (packet->address == kLinkRouteAddress && packet->length == 1) {
      aCorvalithDebug_Printf(aDEBUG_SERVER, "Blocking cmdFORCEROUTE from remote client\n");
    } else {
      toDevice->push_back(frame);
    }
  }
  (void)aPacket_Destroy(&packet);
}

bool aServerBroker::commandFrame(const std::string& frame, std::string* to) {
  if (replyQueue_.empty()) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "no id to pop\n");
    return false;
  }
  const std::string identity = replyQueue_.front();
  replyQueue_.pop_front();
  if (sIsServerCommand(frame)) {
    const uint8_t command = static_cast<uint8_t>(frame[0]);
    if (command == aSERVER_CMD_DROPPED_PACKET) {
      aCorvalithDebug_Printf(aDEBUG_SERVER, "dropping id: fifo size: %d\n",
                             static_cast<int>(replyQueue_.size()));
    } else if (command == aSERVER_CMD_INCOMING_PACKETS) {
      // The command actor never announces more; a larger count would only
      // grow the queue.
      const int n = std::min(static_cast<uint8_t>(frame[1]) << 8 | static_cast<uint8_t>(frame[2]),
                             aSERVER_MAX_REPLY_PACKETS);
      for (int i = 0; i < n; ++i) replyQueue_.push_front(identity);
      expectedReplies_ = n;
    } else {
      aCorvalithDebug_Printf(aDEBUG_SERVER, "Unknown Server cmd: %d\n", command);
    }
    return false;
  }
  if (expectedReplies_ == 0) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "Error, sending more packets then expected\n");
  } else {
    --expectedReplies_;
  }
  if (identity.empty()) return false;
  *to = identity;
  return true;
}

void aServerBroker::connectionAccepted(int fd) {
  closedFds_.erase(fd);
}

void aServerBroker::connectionClosed(int fd) {
  closedFds_.insert(fd);
  for (auto peer = peers_.begin(); peer != peers_.end();) {
    if (peer->second != fd) {
      ++peer;
      continue;
    }
    const std::string& identity = peer->first;
    aCorvalithDebug_Printf(aDEBUG_SERVER, "client gone, freeing its state\n");
    for (auto pool = pools_.begin(); pool != pools_.end();) {
      pool = pool->identity == identity ? pools_.erase(pool) : std::next(pool);
    }
    for (auto sub = subscribers_.begin(); sub != subscribers_.end();) {
      sub = *sub == identity ? subscribers_.erase(sub) : std::next(sub);
    }
    for (std::string& waiting : replyQueue_) {
      if (waiting == identity) waiting.clear();
    }
    streams_.erase(identity);
    peer = peers_.erase(peer);
  }
}

void aServerBroker::flush() {
  aCorvalithDebug_Printf(aDEBUG_SERVER, "Flushing FIFO\n");
  replyQueue_.clear();
}

void aServerBroker::clear() {
  replyQueue_.clear();
  subscribers_.clear();
  pools_.clear();
  streams_.clear();
  peers_.clear();
  closedFds_.clear();
  expectedReplies_ = 0;
}

size_t aServerBroker::clientState() const {
  size_t waiting = 0;
  for (const std::string& id : replyQueue_) waiting += id.empty() ? 0 : 1;
  return peers_.size() + pools_.size() + subscribers_.size() + streams_.size() + waiting;
}
