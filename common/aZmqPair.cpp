#include "common/aZmqPair.h"

#include <atomic>
#include <cstdio>

zsock_t* aZmq_Dealer() {
  zsock_t* sock = zsock_new(ZMQ_DEALER);
  if (sock) zsock_set_linger(sock, 0);
  return sock;
}

aErr aZmq_InprocPair(const char* owner, const char* role, zsock_t** bound, zsock_t** connected) {
  *bound = aZmq_Dealer();
  *connected = aZmq_Dealer();
  if (!*bound || !*connected) return aErrMemory;
  // A new number per pair: a freed record's address may come back while its
  // endpoint is still being torn down.
  static std::atomic<unsigned> pairs{0};
  char endpoint[64];
  std::snprintf(endpoint, sizeof endpoint, "inproc://corvalith-%s-%u-%s", owner, pairs.fetch_add(1), role);
  if (zsock_bind(*bound, "%s", endpoint) != 0 || zsock_connect(*connected, "%s", endpoint) != 0) {
    return aErrConnection;
  }
  return aErrNone;
}
