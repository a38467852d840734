// TCP client stream. The socket is non-blocking; gets wait up to 50 ms for
// input so an idle link's reading thread sleeps instead of spinning. A peer
// that went away (reset or orderly close) is reconnected by the next get or
// write, so a link heals when its module comes back.
//
// The reading and the writing thread may both notice a dead connection. The
// reconnect lock and a generation count make one of them reconnect; the new
// socket is moved onto the same descriptor number (dup2), so neither thread
// ever holds a stale descriptor.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <new>

#include "common/aStream.h"
#include "unix/aOS.h"
#include "unix/aStreamOS.h"

namespace {

constexpr uint16_t kSocketCheck = 0xDEAD;
// Wait for input before a get answers aErrNotReady, in ms.
constexpr int kGetWaitMs = 50;
// A reconnect runs on a pipe thread, so it must not hang for the kernel's
// minutes-long SYN time-out when the module is unplugged.
constexpr int kReconnectTimeoutMs = 1000;
constexpr int kCloseSettleMs = 10;

struct SocketStream {
  uint16_t check;
  uint32_t address;  // network byte order
  uint16_t port;
  int fd;  // fixed for the stream's life; reconnects dup2 onto it
  std::atomic<bool> connected;
  std::atomic<uint32_t> generation;
  std::mutex reconnectLock;
  // Bytes received and not yet got. Only the reading thread touches them;
  // one recv per burst instead of two system calls per byte.
  uint8_t rx[4096];
  size_t rxHead;
  size_t rxTail;
};

bool sIsDropped(int error) {
  return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT;
}

aErr sConnectError(int error) {
  switch (error) {
    case EAGAIN:
    case ECONNRESET:
    case ETIMEDOUT:
    case ECONNREFUSED:
      return aErrConnection;
    default:
      return aErrIO;
  }
}

// Connects a fresh socket, waiting at most timeoutMs; an expired wait is
// ETIMEDOUT, so aErrConnection. The socket leaves configured: no Nagle, no receive time-out, reset on
// close, non-blocking.
aErr sConnect(uint32_t address, uint16_t port, int timeoutMs, int* out, bool* expired = nullptr) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return aErrIO;
  int nonBlocking = 1;
  if (ioctl(fd, FIONBIO, &nonBlocking) != 0) {
    close(fd);
    return aErrIO;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  to.sin_port = htons(port);
  int error = 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) {
      pollfd pfd{fd, POLLOUT, 0};
      // A signal restarts the wait with what is left of the limit.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
      int ready = 0;
      do {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        ready = left > 0 ? poll(&pfd, 1, static_cast<int>(left)) : 0;
      } while (ready < 0 && errno == EINTR);
      socklen_t len = sizeof error;
      if (ready == 0) {
        error = ETIMEDOUT;
        if (expired) *expired = true;
      } else if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
        error = errno;
      }
    }
  }
  if (error != 0) {
    close(fd);
    return sConnectError(error);
  }
  int on = 1;
  timeval noTimeout{0, 0};
  linger resetOnClose{1, 0};
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose) != 0) {
    close(fd);
    return aErrIO;
  }
  *out = fd;
  return aErrNone;
}

// Replaces the connection unless another thread already did so since the
// caller read generation seen. connected is set before the generation moves
// on, so whoever reads the new generation also sees the stream connected.
aErr sReconnect(SocketStream* s, uint32_t seen) {
  std::lock_guard<std::mutex> lock(s->reconnectLock);
  if (s->connected.load() && s->generation.load() != seen) return aErrNone;
  s->connected.store(false);
  int fresh = -1;
  aErr err = sConnect(s->address, s->port, kReconnectTimeoutMs, &fresh);
  if (err != aErrNone) return err;
  int moved = dup2(fresh, s->fd);
  close(fresh);
  if (moved < 0) return aErrIO;
  s->connected.store(true);
  s->generation.fetch_add(1);
  return aErrNone;
}

// While not connected a get or write tries one reconnect.
aErr sEnsureConnected(SocketStream* s) {
  uint32_t seen = s->generation.load();
  if (s->connected.load()) return aErrNone;
  return sReconnect(s, seen);
}

// Marks the connection seen as dead, unless it was replaced meanwhile.
void sMarkDropped(SocketStream* s, uint32_t seen) {
  std::lock_guard<std::mutex> lock(s->reconnectLock);
  if (s->generation.load() == seen) s->connected.store(false);
}

aErr sSocketGet(uint8_t* byte, void* ref) {
  auto* s = static_cast<SocketStream*>(ref);
  if (!s || s->check != kSocketCheck) return aErrParam;
  if (s->rxHead < s->rxTail) {
    *byte = s->rx[s->rxHead++];
    return aErrNone;
  }
  aErr err = sEnsureConnected(s);
  if (err != aErrNone) return err;
  bool reconnected = false;
  bool waited = false;
  // Each pass either answers or does one of: wait, reconnect, retry after a
  // signal; the bound only guards against a storm of signals.
  for (int pass = 0; pass < 8; ++pass) {
    uint32_t seen = s->generation.load();
    const ssize_t n = recv(s->fd, s->rx, sizeof s->rx, MSG_DONTWAIT);
    if (n > 0) {
      s->rxHead = 1;
      s->rxTail = static_cast<size_t>(n);
      *byte = s->rx[0];
      return aErrNone;
    }
    int error = n == 0 ? 0 : errno;
    // No byte from a readable socket is the peer's orderly close.
    if (n == 0 || sIsDropped(error)) {
      if (reconnected) {
        sMarkDropped(s, seen);
        return aErrNotReady;
      }
      err = sReconnect(s, seen);
      if (err != aErrNone) return err;
      reconnected = true;
      continue;
    }
    if (error == EAGAIN || error == EWOULDBLOCK) {
      if (waited) return aErrNotReady;
      pollfd pfd{s->fd, POLLIN, 0};
      poll(&pfd, 1, kGetWaitMs);
      waited = true;
      continue;
    }
    if (error == EINTR) continue;
    return aErrConnection;
  }
  return aErrNotReady;
}

aErr sSocketWrite(const uint8_t* bytes, size_t count, void* ref) {
  auto* s = static_cast<SocketStream*>(ref);
  if (!s || s->check != kSocketCheck) return aErrParam;
  aErr err = sEnsureConnected(s);
  if (err != aErrNone) return err;
  int attempts = 0;
  size_t sent = 0;
  while (sent < count) {
    uint32_t seen = s->generation.load();
    ssize_t n = send(s->fd, bytes + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      if (sent == count) break;
      attempts = 1;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      ++attempts;
    } else if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) {
      err = sReconnect(s, seen);
      if (err != aErrNone) return err;
      ++attempts;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return aErrIO;
    }
    if (attempts >= aSOCKET_MAX_SEND_RETRY) return aErrWrite;
    // Waits out the retry delay, or less once the socket takes bytes again.
    pollfd pfd{s->fd, POLLOUT, 0};
    poll(&pfd, 1, aSOCKET_RETRY_DELAY_MS);
  }
  return aErrNone;
}

aErr sSocketPut(const uint8_t* byte, void* ref) {
  return sSocketWrite(byte, 1, ref);
}

aErr sSocketDelete(void* ref) {
  auto* s = static_cast<SocketStream*>(ref);
  if (!s || s->check != kSocketCheck) return aErrIO;
  close(s->fd);
  aTime_MSSleep(kCloseSettleMs);
  s->check = 0;
  delete s;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream) {
  if (!stream) return aErrResource;
  int fd = -1;
  bool expired = false;
  // An expired connect says so; every other failure stays aErrResource.
  if (sConnect(address, port, kConnectTimeoutMs, &fd, &expired) != aErrNone) {
    return expired ? aErrConnection : aErrResource;
  }
  auto* s = new (std::nothrow) SocketStream{};
  if (!s) {
    close(fd);
    return aErrResource;
  }
  s->check = kSocketCheck;
  s->address = address;
  s->port = port;
  s->fd = fd;
  s->connected.store(true);
  aStreamRef created = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, s);
  if (!created) {
    close(fd);
    delete s;
    return aErrResource;
  }
  *stream = created;
  return aErrNone;
}
