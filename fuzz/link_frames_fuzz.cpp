// Feeds a running link the bytes a peer sends, cut into frames the way the
// network client stream hands a device server's frames to the link's reader
// (an empty frame answers aErrIndexRange once). Whatever arrives, the link
// neither crashes nor hangs, and every packet it queues is well formed and
// a run of bytes the peer sent.
//
// Input: frames, each a length byte and that many bytes; a length of 0 is
// an empty frame (only the first one counts, as each costs the reader a
// 100 ms pause).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>

#include "common/aLink.h"
#include "common/aPacket.h"
#include "common/aStream.h"

namespace {

constexpr size_t kMaxInput = 4096;
constexpr size_t kMaxQueued = 256;
// Bound on the reader taking every frame; a healthy link needs milliseconds.
constexpr auto kDrainBound = std::chrono::seconds(10);
// What an idle read waits, as a real stream would, so the reader never spins.
constexpr auto kIdleWait = std::chrono::milliseconds(2);

void sCheck(bool ok) {
  if (!ok) std::abort();
}

struct Peer {
  std::mutex m;
  std::condition_variable cv;
  std::deque<std::string> frames;
  size_t position = 0;
  // Frames flow only once the link has started: a start fails, as it
  // should, when the stream breaks before the link is up.
  bool released = false;
  // The reader asked for more once everything was handed out, so it has
  // handled the last byte.
  bool drained = false;
};

aErr sGet(uint8_t* byte, void* ref) {
  Peer* peer = static_cast<Peer*>(ref);
  std::unique_lock<std::mutex> lock(peer->m);
  if (!peer->released || peer->frames.empty()) {
    peer->drained = peer->released;
    peer->cv.notify_all();
    peer->cv.wait_for(lock, kIdleWait);
    return aErrNotReady;
  }
  const std::string& frame = peer->frames.front();
  if (frame.empty()) {
    peer->frames.pop_front();
    return aErrIndexRange;
  }
  *byte = static_cast<uint8_t>(frame[peer->position++]);
  if (peer->position == frame.size()) {
    peer->frames.pop_front();
    peer->position = 0;
  }
  return aErrNone;
}

aErr sWrite(const uint8_t*, size_t, void*) {
  return aErrNone;
}

aErr sDelete(void*) {
  return aErrNone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  Peer peer;
  std::string sent;
  bool emptySeen = false;
  for (size_t at = 0; at < size;) {
    const size_t n = data[at++];
    std::string frame(reinterpret_cast<const char*>(data + at), std::min(n, size - at));
    at += frame.size();
    if (frame.empty() && emptySeen) continue;
    emptySeen = emptySeen || frame.empty();
    sent += frame;
    peer.frames.push_back(frame);
  }
  aStreamRef stream = aStream_Create(sGet, nullptr, sWrite, sDelete, &peer);
  sCheck(stream != nullptr);
  aLinkRef link = aLink_Create(stream);
  sCheck(link != 0);
  {
    std::unique_lock<std::mutex> lock(peer.m);
    peer.released = true;
    sCheck(peer.cv.wait_for(lock, kDrainBound, [&] { return peer.drained; }));
  }
  for (size_t i = 0; i < kMaxQueued; ++i) {
    aPacket* packet = aLink_GetPacket(link);
    if (!packet) break;
    sCheck(packet->address != 0 && (packet->address & 1) == 0 && packet->length <= kMaxPacketData);
    std::string image{static_cast<char>(packet->address), static_cast<char>(packet->length)};
    image.append(reinterpret_cast<const char*>(packet->data), packet->length);
    sCheck(sent.find(image) != std::string::npos);
    sCheck(aPacket_Destroy(&packet) == aErrNone);
  }
  sCheck(aLink_Destroy(&link) == aErrNone);
  return 0;
}
