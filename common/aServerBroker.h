// The device server broker's bookkeeping, apart from its sockets: what each
// client frame does to the reply queue, the stream subscribers and the
// pending UEI byte sequences, which frames go on to the device, and to whom
// each frame from the command actor goes. Every input here comes from
// outside the process (client frames) or from the command actor; the broker
// actor in aServer.cpp owns one book and does the sending.
//
// Internal to the device library; one thread at a time.
#ifndef CORVALITH_COMMON_ASERVERBROKER_H
#define CORVALITH_COMMON_ASERVERBROKER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/aPacket.h"

// Server commands from the command actor to the broker (3-byte frames).
constexpr uint8_t aSERVER_CMD_DROPPED_PACKET = 0;
constexpr uint8_t aSERVER_CMD_INCOMING_PACKETS = 1;
constexpr size_t aSERVER_CMD_FRAME_SIZE = 3;
// A frame for the command actor that is answered without the device: this
// byte, then the reply's packet image. The broker passes on no packet with
// address 0, so the command actor tells the two apart.
constexpr uint8_t aSERVER_LOCAL_REPLY = 0x00;
// The longest run of continued UEI reply packets one request gets (a UEI
// byte array's sequence number counts to 127); a larger count is refused.
constexpr int aSERVER_MAX_REPLY_PACKETS = 128;
// A UEI byte sequence that has not completed within this many further UEI
// packets (of any client) is dropped.
constexpr int aSERVER_POOL_TIME_TO_LIVE = 2000;

class aServerBroker {
 public:
  // A client's message: its routing identity, its packet frame and the fd
  // of the connection it came in on (-1: unknown). Frames for the command
  // actor, in order, are appended to *toDevice: packet images for the device,
  // or local replies (aSERVER_LOCAL_REPLY). A frame that is not a packet, or
  // one from a connection that has closed, changes nothing.
  //
  // Streams are shared: a client's stream disable that would also end a
  // stream another client enabled is answered here and never reaches the
  // device.
  void clientFrame(const std::string& identity, const std::string& frame, int fd,
                   std::vector<std::string>* toDevice);
  // A frame from the command actor. True when it is a reply to send: *to is
  // the client's identity and the frame itself is the reply.
  [[nodiscard]] bool commandFrame(const std::string& frame, std::string* to);
  // The frontend's monitor: a connection on fd was accepted or has closed.
  // A closed connection's clients lose everything held for them.
  void connectionAccepted(int fd);
  void connectionClosed(int fd);
  // Every client waiting for a reply loses it.
  void flush();
  void clear();

  const std::vector<std::string>& subscribers() const { return subscribers_; }
  // Connections heard from, pending sequences, subscriptions and queued
  // replies of live clients.
  [[nodiscard]] size_t clientState() const;
  [[nodiscard]] size_t pendingReplies() const { return replyQueue_.size(); }

 private:
  struct Pool {
    std::string identity;
    std::vector<std::string> frames;
    uint16_t count = 0;
    int timeToLive = aSERVER_POOL_TIME_TO_LIVE;
  };

  [[nodiscard]] bool takeUEIBytes(const std::string& identity, const aPacket* packet,
                                  const std::string& frame, std::vector<std::string>* toDevice);
  // A stream disable that another client's stream depends on: answered
  // locally. False when the device must see it.
  [[nodiscard]] bool takeStreamDisable(const std::string& identity, const aPacket* packet,
                                       const std::string& frame, std::vector<std::string>* toDevice);
  [[nodiscard]] bool othersHoldStreamIn(const std::string& identity, const std::string& disableKey) const;

  // Clients waiting for a reply, oldest first. A client that went away
  // leaves an empty identity: its place still pairs with the reply the
  // command actor owes, which is then dropped.
  std::deque<std::string> replyQueue_;
  std::vector<std::string> subscribers_;
  std::list<Pool> pools_;
  // The enable frames of each client's streams.
  std::map<std::string, std::set<std::string>> streams_;
  int expectedReplies_ = 0;
  // Which connection each client's messages came in on, and the fds whose
  // connection closed (until the fd is accepted again).
  std::map<std::string, int> peers_;
  std::set<int> closedFds_;
};

#endif
