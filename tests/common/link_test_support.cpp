#include "link_test_support.h"

#include <time.h>

#include <chrono>

namespace {

using State = ScriptedStream::State;
constexpr auto kMaxBlock = std::chrono::seconds(10);

aErr sGet(uint8_t* byte, void* ref) {
  State& s = **static_cast<std::shared_ptr<State>*>(ref);
  std::unique_lock<std::mutex> lock(s.m);
  const auto deadline = std::chrono::steady_clock::now() + kMaxBlock;
  while (std::chrono::steady_clock::now() < deadline) {
    if (s.failReads) return aErrIO;
    if (!s.input.empty()) {
      *byte = s.input.front();
      s.input.pop_front();
      return aErrNone;
    }
    if (s.idleTokens > 0) {
      --s.idleTokens;
      ++s.idleReads;
      return aErrNotReady;
    }
    s.cv.wait_for(lock, std::chrono::milliseconds(5));
    if (s.idleAllowed && s.input.empty()) {
      ++s.idleReads;
      return aErrNotReady;
    }
  }
  return aErrNotReady;
}

aErr sWrite(const uint8_t* bytes, size_t count, void* ref) {
  State& s = **static_cast<std::shared_ptr<State>*>(ref);
  std::unique_lock<std::mutex> lock(s.m);
  s.writeBlocked = !s.writeGateOpen;
  s.cv.notify_all();
  s.cv.wait_for(lock, kMaxBlock, [&] { return s.writeGateOpen; });
  s.writeBlocked = false;
  s.written.insert(s.written.end(), bytes, bytes + count);
  s.writeSizes.push_back(count);
  s.cv.notify_all();
  return aErrNone;
}

aErr sPut(const uint8_t* byte, void* ref) {
  return sWrite(byte, 1, ref);
}

aErr sDelete(void* ref) {
  auto* holder = static_cast<std::shared_ptr<State>*>(ref);
  {
    std::lock_guard<std::mutex> lock((*holder)->m);
    (*holder)->deleted = true;
    (*holder)->cv.notify_all();
  }
  delete holder;
  return aErrNone;
}

uint8_t sCommandIs(const aPacket* packet, const void* ref) {
  return packet->length > 0 && packet->data[0] == *static_cast<const uint8_t*>(ref);
}

}  // namespace

ScriptedStream::ScriptedStream() : state(std::make_shared<State>()) {}

aStreamRef ScriptedStream::make() {
  auto* holder = new std::shared_ptr<State>(state);
  aStreamRef stream = aStream_Create(sGet, sPut, sWrite, sDelete, holder);
  if (!stream) delete holder;
  return stream;
}

void ScriptedStream::feed(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(state->m);
  state->input.insert(state->input.end(), bytes.begin(), bytes.end());
  state->cv.notify_all();
}

void ScriptedStream::setIdleAllowed(bool allowed) {
  std::lock_guard<std::mutex> lock(state->m);
  state->idleAllowed = allowed;
  state->cv.notify_all();
}

void ScriptedStream::giveIdleToken() {
  std::lock_guard<std::mutex> lock(state->m);
  ++state->idleTokens;
  state->cv.notify_all();
}

void ScriptedStream::setFailReads(bool fail) {
  std::lock_guard<std::mutex> lock(state->m);
  state->failReads = fail;
  state->cv.notify_all();
}

void ScriptedStream::setWriteGate(bool open) {
  std::lock_guard<std::mutex> lock(state->m);
  state->writeGateOpen = open;
  state->cv.notify_all();
}

bool ScriptedStream::waitFor(const std::function<bool(const State&)>& condition, int ms) {
  std::unique_lock<std::mutex> lock(state->m);
  return state->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return condition(*state); });
}

std::vector<Bytes> ScriptedStream::packetsWritten() {
  std::lock_guard<std::mutex> lock(state->m);
  std::vector<Bytes> packets;
  const Bytes& w = state->written;
  size_t i = 0;
  while (i + 2 <= w.size() && i + 2 + w[i + 1] <= w.size()) {
    packets.emplace_back(w.begin() + static_cast<long>(i), w.begin() + static_cast<long>(i + 2 + w[i + 1]));
    i += 2 + w[i + 1];
  }
  return packets;
}

size_t ScriptedStream::countWritten(const Bytes& packet) {
  size_t n = 0;
  for (const Bytes& p : packetsWritten()) n += p == packet;
  return n;
}

std::vector<size_t> ScriptedStream::writeSizes() {
  std::lock_guard<std::mutex> lock(state->m);
  return state->writeSizes;
}

bool ScriptedStream::deleted() {
  std::lock_guard<std::mutex> lock(state->m);
  return state->deleted;
}

namespace {

bool sWaitStatus(aLinkRef link, linkStatus status, bool equal, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if ((aLink_GetStatus(link) == status) == equal) return true;
    // Status is polled; 2 ms keeps the wait cheap and short.
    struct timespec pause = {0, 2000000};
    nanosleep(&pause, nullptr);
  }
  return (aLink_GetStatus(link) == status) == equal;
}

}  // namespace

bool WaitForStatus(aLinkRef link, linkStatus status, int ms) {
  return sWaitStatus(link, status, true, ms);
}

bool WaitForStatusNot(aLinkRef link, linkStatus status, int ms) {
  return sWaitStatus(link, status, false, ms);
}

aErr PutBytes(aLinkRef link, uint8_t address, const Bytes& data) {
  static const uint8_t kNone = 0;
  aPacket* packet =
      aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.empty() ? &kNone : data.data());
  if (!packet) return aErrMemory;
  aErr err = aLink_PutPacket(link, packet);
  (void)aPacket_Destroy(&packet);
  return err;
}

Bytes Request(aLinkRef link, uint8_t module, const Bytes& data, int timeoutMs) {
  if (data.empty() || PutBytes(link, module, data) != aErrNone) return {};
  const uint8_t command = data[0];
  aPacket* reply = aLink_AwaitFirst(link, sCommandIs, &command, timeoutMs);
  if (!reply) return {};
  Bytes out(reply->data, reply->data + reply->length);
  (void)aPacket_Destroy(&reply);
  return out;
}

bool EchoRoundTrip(aLinkRef link, uint8_t module, const Bytes& payload, int timeoutMs) {
  Bytes request{0x17};
  request.insert(request.end(), payload.begin(), payload.end());
  return Request(link, module, request, timeoutMs) == request;
}
