#include "sim/usb/UsbBus.h"

#include <sys/ioctl.h>
// After sys/ioctl.h, which defines the _IO macros it uses.
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "sim/SimRouter.h"
#include "sim/usb/UsbDescriptors.h"

namespace sim {
namespace {

// Bytes waiting for a host that does not read are dropped past this.
constexpr size_t kMaxPendingIn = 64 * 1024;
// A non-blocking reap that finds nothing waits this long for a URB before it
// answers EAGAIN. The emulated device file is a plain file, which poll()
// always reports ready, so without the wait the host's event loop spins.
constexpr uint64_t kReapHoldMs = 2;
constexpr guint kTickMs = 1;
// How long after a new link's last sync query answers owed from before a
// restart go out.
constexpr uint64_t kOwedAnswerMs = 300;
constexpr unsigned kFirstDevnum = 2;
constexpr unsigned kMaxDevnum = 127;
// Standard requests on endpoint 0.
constexpr uint8_t kGetStatus = 0, kClearFeature = 1, kGetDescriptor = 6, kGetConfiguration = 8,
                  kSetConfiguration = 9, kSetInterface = 11;
constexpr int kUsbSpeedHigh = 3;

uint64_t sNowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

struct UsbBus::Impl {
  struct Client;
  struct Dev;

  // A URB the host submitted, with the test bed's views of its memory.
  struct Urb {
    UMockdevIoctlData* urb = nullptr;     // owned
    UMockdevIoctlData* buffer = nullptr;  // owned; null for no data
    gulong address = 0;
    Client* client = nullptr;
    usbdevfs_urb* fields() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
  };

  // One open file of a device node.
  struct Client {
    UMockdevIoctlClient* client = nullptr;
    std::deque<Urb> done;  // reapable
    bool holding = false;  // a reap waits for a URB
    bool blocking = false;
    uint64_t holdUntilMs = 0;
  };

  // One device node; the device's node changes with every arrival.
  struct Attachment {
    Impl* impl = nullptr;
    Dev* dev = nullptr;
    unsigned devnum = 0;
    UMockdevIoctlBase* handler = nullptr;
    std::map<UMockdevIoctlClient*, Client> clients;
  };

  struct Delayed {
    uint64_t dueMs;
    uint32_t generation;
    std::vector<uint8_t> bytes;
  };

  struct Dev {
    explicit Dev(const ModuleConfig& c) : cfg(c), id(usb::identityOf(c)), module(c) {}
    ModuleConfig cfg;
    usb::Identity id;
    SimModule module;
    std::string port;
    std::string syspath;
    unsigned devnum = 0;
    bool present = false;
    Attachment* live = nullptr;
    Client* claimer = nullptr;  // the host holding the interface
    uint32_t generation = 0;    // changes with every claim and departure
    std::deque<Urb> pendingIn;
    std::deque<uint8_t> in;  // bytes for the host
    std::deque<Delayed> delayed;
    RawParser raw;
    uint32_t rxCount = 0;
    int64_t received = 0;
    uint64_t replies = 0;
    bool muted = false;
    bool away = false;      // off the bus, coming back at backAtMs
    bool gone = false;      // off the bus for good
    bool arriving = false;  // the return is under way on the main thread
    uint64_t backAtMs = 0;
    bool inHalted = false;
    bool outHalted = false;
    uint32_t inUrbs = 0;
    uint32_t outUrbs = 0;
    uint64_t nextHbMs = 0;
    uint32_t missedReported = 0;
    uint32_t owedGeneration = 0;  // the link the owed answers wait for; 0 none
    uint64_t owedAtMs = 0;
    std::vector<Packet> afterReconnect;
    std::unique_ptr<SimRouter> network;
  };

  // Work for the main thread.
  struct Action {
    Impl* impl;
    Dev* dev;
    bool arrive;  // else depart
  };

  UsbSimOptions options;
  UMockdevTestbed* bed = nullptr;
  std::mutex lock;
  std::vector<std::unique_ptr<Dev>> devs;
  std::vector<std::unique_ptr<SimModule>> behind;  // modules on a router's bus
  std::vector<std::unique_ptr<Attachment>> attachments;
  unsigned nextDevnum = kFirstDevnum;
  bool ticking = false;
  bool closing = false;  // no request or timer touches the state any more
  GSource* tickSource = nullptr;
  FILE* record = nullptr;

  ~Impl() {
    if (bed) g_object_unref(bed);
    if (record) std::fclose(record);
  }

  // --- record -------------------------------------------------------------

  void note(const Dev& d, const char* what, const std::string& text) {
    if (record) {
      std::fprintf(record, "%s %08X usb %s\n", what, d.cfg.serial, text.c_str());
      std::fflush(record);
    }
    if (options.verbose && std::strcmp(what, "EV") == 0)
      std::fprintf(stderr, "corvalith-usb-sim: %08X %s\n", d.cfg.serial, text.c_str());
  }

  // --- URB bookkeeping ----------------------------------------------------

  static void release(Urb& u) {
    if (u.buffer) g_object_unref(u.buffer);
    if (u.urb) g_object_unref(u.urb);
    u.buffer = u.urb = nullptr;
  }

  static void dropUrbs(Client& c) {
    for (Urb& u : c.done) release(u);
    c.done.clear();
  }

  // Forgets the pending IN URBs of one client (all for null).
  static void dropPending(Dev& d, Client* c) {
    for (auto it = d.pendingIn.begin(); it != d.pendingIn.end();) {
      if (c == nullptr || it->client == c) {
        release(*it);
        it = d.pendingIn.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Hands the URB to the reap waiting for it, or keeps it reapable.
  void finish(Urb u, int status, int actual) {
    usbdevfs_urb* f = u.fields();
    f->status = status;
    f->actual_length = actual;
    Client& c = *u.client;
    c.done.push_back(u);
    if (c.holding) deliver(c);
  }

  void deliver(Client& c) {
    Urb u = c.done.front();
    c.done.pop_front();
    c.holding = false;
    GError* error = nullptr;
    UMockdevIoctlData* where =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(c.client), 0, sizeof(void*), &error);
    if (!where) {
      g_clear_error(&error);
      umockdev_ioctl_client_complete(c.client, -1, EFAULT);
      release(u);
      return;
    }
    (void)umockdev_ioctl_data_set_ptr(where, 0, u.urb);
    umockdev_ioctl_client_complete(c.client, 0, 0);
    g_object_unref(where);
    release(u);
  }

  static void answer(UMockdevIoctlClient* c, long result, int error = 0) {
    umockdev_ioctl_client_complete(c, result, error);
  }

  // The argument's memory, len bytes; null (answered EFAULT) when unreadable.
  static UMockdevIoctlData* argument(UMockdevIoctlClient* c, size_t len) {
    GError* error = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(c), 0, len, &error);
    if (!d) {
      g_clear_error(&error);
      answer(c, -1, EFAULT);
    }
    return d;
  }

  // --- the module behind the endpoints ------------------------------------

  void send(Dev& d, const Packet& p, bool delayable, uint64_t now) {
    if (!d.claimer) return;
    note(d, "TX", toHex(p.bytes()));
    std::vector<uint8_t> bytes = p.bytes();
    if (delayable && d.cfg.delayMs > 0) {
      d.delayed.push_back(Delayed{now + d.cfg.delayMs, d.generation, std::move(bytes)});
      return;
    }
    queueIn(d, bytes);
  }

  void queueIn(Dev& d, const std::vector<uint8_t>& bytes) {
    if (d.in.size() + bytes.size() > kMaxPendingIn) return;
    d.in.insert(d.in.end(), bytes.begin(), bytes.end());
    pump(d);
  }

  // Completes IN URBs with the bytes there are, as short packets would.
  void pump(Dev& d) {
    while (!d.pendingIn.empty() && !d.in.empty()) {
      Urb u = d.pendingIn.front();
      d.pendingIn.pop_front();
      size_t n = std::min(d.in.size(), static_cast<size_t>(u.fields()->buffer_length));
      std::copy(d.in.begin(), d.in.begin() + static_cast<std::ptrdiff_t>(n), u.buffer->data);
      d.in.erase(d.in.begin(), d.in.begin() + static_cast<std::ptrdiff_t>(n));
      finish(u, 0, static_cast<int>(n));
    }
  }

  void onPacket(Dev& d, const Packet& p, uint64_t now) {
    note(d, "RX", toHex(p.bytes()));
    if (!d.present) return;
    ++d.received;
    ++d.rxCount;
    if (d.cfg.muteAfter >= 0 && d.received > d.cfg.muteAfter) d.muted = true;
    if (d.cfg.usb.vanishAfter && d.received >= d.cfg.usb.vanishAfter) {
      depart(d, true, now);
      return;
    }
    // As corvalith-sim: answers owed from before a drop follow the host's
    // first packet on every new link until the host sends more than sync
    // and route packets.
    if (!d.afterReconnect.empty() && !d.muted) {
      if (p.address != kSyncAddress && p.address != kRouteAddress) {
        d.afterReconnect.clear();
        d.owedGeneration = 0;
      } else if (d.claimer && p.address == kSyncAddress) {
        // A USB link synchronises and then drops what arrived meanwhile, so
        // the answer goes out once the host's sync queries have stopped.
        d.owedGeneration = d.generation;
        d.owedAtMs = now + kOwedAnswerMs;
      }
    }
    Response r;
    if (!d.network || !d.network->handle(p, d.module.routeOn(), now, r)) r = d.module.handle(p, now);
    if (!d.muted) {
      for (const Packet& reply : r.replies) {
        ++d.replies;
        if (d.cfg.dropEvery && d.replies % d.cfg.dropEvery == 0) {
          note(d, "EV", "drop " + toHex(reply.bytes()));
          continue;
        }
        send(d, reply, true, now);
      }
    }
    if (d.module.heartbeatsMissed() != d.missedReported) {
      d.missedReported = d.module.heartbeatsMissed();
      note(d, "EV", "hb-missed");
    }
    if (r.reboot) {
      d.afterReconnect = std::move(r.afterReconnect);
      // A LOAD leaves the module in its loader.
      const bool load = d.module.upgrade().stage() == SimUpgrade::Stage::Loader;
      depart(d, load && !d.cfg.usb.returnAfterLoad, now);
    } else if (d.cfg.closeAfter && d.rxCount >= d.cfg.closeAfter) {
      depart(d, false, now);
    }
  }

  // The host claimed the interface: a new link, as a TCP connection is.
  void connect(Dev& d, Client& c, uint64_t now) {
    d.claimer = &c;
    ++d.generation;
    d.raw.reset();
    d.rxCount = 0;
    d.in.clear();
    d.delayed.clear();
    d.nextHbMs = now + d.cfg.heartbeatMs;
    note(d, "EV", "connect");
  }

  void disconnect(Dev& d) {
    if (!d.claimer) return;
    d.claimer = nullptr;
    ++d.generation;
    d.in.clear();
    d.delayed.clear();
    note(d, "EV", "close");
  }

  // Leaves the bus: every URB in flight ends as on an unplugged device.
  void depart(Dev& d, bool forGood, uint64_t now) {
    if (!d.present) return;
    note(d, "EV", forGood ? "leave" : "reboot");
    disconnect(d);
    d.present = false;
    d.away = !forGood;
    d.gone = forGood;
    d.backAtMs = now + d.cfg.rebootMs;
    std::deque<Urb> pending;
    pending.swap(d.pendingIn);
    for (Urb& u : pending) finish(u, -ESHUTDOWN, 0);
    post(d, false);
  }

  void post(Dev& d, bool arrive) {
    g_main_context_invoke(nullptr, &Impl::sRunAction, new Action{this, &d, arrive});
  }

  // --- requests -----------------------------------------------------------

  void onRequest(Attachment& a, UMockdevIoctlClient* cl) {
    Dev& d = *a.dev;
    Client& c = a.clients[cl];
    // Kept while the file is open: a held reap is answered later.
    if (!c.client) c.client = static_cast<UMockdevIoctlClient*>(g_object_ref(cl));
    const uint64_t now = sNowMs();
    const gulong request = umockdev_ioctl_client_get_request(cl);
    const bool live = d.present && d.live == &a;
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
      if (!c.done.empty()) {
        c.holding = true;
        deliver(c);
        return;
      }
      c.holding = true;
      c.blocking = live && request == USBDEVFS_REAPURB;
      c.holdUntilMs = now + kReapHoldMs;
      return;
    }
    if (!live) {
      answer(cl, -1, ENODEV);
      return;
    }
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* arg = argument(cl, sizeof(uint32_t));
        if (!arg) return;
        const uint32_t caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        std::memcpy(arg->data, &caps, sizeof caps);
        answer(cl, 0);
        g_object_unref(arg);
        return;
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_DISCONNECT_CLAIM: {
        UMockdevIoctlData* arg = argument(cl, sizeof(unsigned));
        if (!arg) return;
        unsigned number = 0;
        std::memcpy(&number, arg->data, sizeof number);
        g_object_unref(arg);
        if (number != usb::kInterfaceNumber) {
          answer(cl, -1, ENOENT);
        } else if (d.cfg.usb.claimBusy || (d.claimer && d.claimer != &c)) {
          note(d, "EV", "claim-busy");
          answer(cl, -1, EBUSY);
        } else {
          if (d.claimer != &c) connect(d, c, now);
          answer(cl, 0);
        }
        return;
      }
      case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData* arg = argument(cl, sizeof(unsigned));
        if (!arg) return;
        unsigned number = 0;
        std::memcpy(&number, arg->data, sizeof number);
        g_object_unref(arg);
        if (number != usb::kInterfaceNumber || d.claimer != &c) {
          answer(cl, -1, EINVAL);
          return;
        }
        dropPending(d, &c);
        disconnect(d);
        answer(cl, 0);
        return;
      }
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESETEP: {
        UMockdevIoctlData* arg = argument(cl, sizeof(unsigned));
        if (!arg) return;
        unsigned ep = 0;
        std::memcpy(&ep, arg->data, sizeof ep);
        g_object_unref(arg);
        if (ep == usb::kOutEndpoint) {
          d.outHalted = false;
        } else if (ep == usb::kInEndpoint) {
          d.inHalted = false;
        } else if ((ep & 0x7F) != 0) {
          answer(cl, -1, ENOENT);
          return;
        }
        note(d, "EV",
             request == USBDEVFS_CLEAR_HALT ? "clear-halt " + std::to_string(ep)
                                            : "reset-ep " + std::to_string(ep));
        answer(cl, 0);
        return;
      }
      case USBDEVFS_SUBMITURB:
        submit(d, c, now);
        return;
      case USBDEVFS_DISCARDURB: {
        gulong address = 0;
        std::memcpy(&address, umockdev_ioctl_client_get_arg(cl)->data, sizeof address);
        for (auto it = d.pendingIn.begin(); it != d.pendingIn.end(); ++it) {
          if (it->client == &c && it->address == address) {
            Urb u = *it;
            d.pendingIn.erase(it);
            answer(cl, 0);
            // Reapable afterwards, as the kernel makes a cancelled URB.
            u.fields()->status = -ENOENT;
            u.fields()->actual_length = 0;
            c.done.push_back(u);
            return;
          }
        }
        answer(cl, -1, EINVAL);
        return;
      }
      case USBDEVFS_CONTROL:
        control(d, cl);
        return;
      case USBDEVFS_SETCONFIGURATION: {
        UMockdevIoctlData* arg = argument(cl, sizeof(int));
        if (!arg) return;
        int value = 0;
        std::memcpy(&value, arg->data, sizeof value);
        g_object_unref(arg);
        answer(cl, value == usb::kConfigurationValue || value == 0 || value == -1 ? 0 : -1,
               value == usb::kConfigurationValue || value == 0 || value == -1 ? 0 : EINVAL);
        return;
      }
      case USBDEVFS_SETINTERFACE: {
        UMockdevIoctlData* arg = argument(cl, sizeof(usbdevfs_setinterface));
        if (!arg) return;
        usbdevfs_setinterface s{};
        std::memcpy(&s, arg->data, sizeof s);
        g_object_unref(arg);
        const bool ok = s.interface == usb::kInterfaceNumber && s.altsetting == 0;
        answer(cl, ok ? 0 : -1, ok ? 0 : EINVAL);
        return;
      }
      case USBDEVFS_CONNECTINFO: {
        UMockdevIoctlData* arg = argument(cl, sizeof(usbdevfs_connectinfo));
        if (!arg) return;
        usbdevfs_connectinfo info{};
        info.devnum = d.devnum;
        info.slow = 0;
        std::memcpy(arg->data, &info, sizeof info);
        answer(cl, 0);
        g_object_unref(arg);
        return;
      }
      case USBDEVFS_GET_SPEED:
        answer(cl, kUsbSpeedHigh);
        return;
      case USBDEVFS_RESET:
        answer(cl, 0);
        return;
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:
        // No kernel driver is bound to the vendor interface.
        answer(cl, -1, ENODATA);
        return;
      default:
        answer(cl, -1, ENOTTY);
        return;
    }
  }

  void submit(Dev& d, Client& c, uint64_t now) {
    UMockdevIoctlClient* cl = c.client;
    UMockdevIoctlData* urbData = argument(cl, sizeof(usbdevfs_urb));
    if (!urbData) return;
    Urb u;
    u.urb = urbData;
    u.address = urbData->client_addr;
    u.client = &c;
    usbdevfs_urb* f = u.fields();
    if (f->buffer_length < 0) {
      release(u);
      answer(cl, -1, EINVAL);
      return;
    }
    if (f->buffer_length > 0) {
      GError* error = nullptr;
      u.buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                             static_cast<gsize>(f->buffer_length), &error);
      if (!u.buffer) {
        g_clear_error(&error);
        release(u);
        answer(cl, -1, EFAULT);
        return;
      }
    }
    f = u.fields();
    if (f->type == USBDEVFS_URB_TYPE_CONTROL && (f->endpoint & 0x7F) == 0) {
      if (!u.buffer || f->buffer_length < 8) {
        release(u);
        answer(cl, -1, EINVAL);
        return;
      }
      answer(cl, 0);
      const int n = setup(d, u.buffer->data, u.buffer->data + 8, static_cast<size_t>(f->buffer_length - 8));
      finish(u, n < 0 ? -EPIPE : 0, n < 0 ? 0 : n);
      return;
    }
    const bool bulk = f->type == USBDEVFS_URB_TYPE_BULK || f->type == USBDEVFS_URB_TYPE_INTERRUPT;
    if (!bulk || (f->endpoint != usb::kOutEndpoint && f->endpoint != usb::kInEndpoint)) {
      release(u);
      answer(cl, -1, EINVAL);
      return;
    }
    answer(cl, 0);
    if (f->endpoint == usb::kOutEndpoint) {
      ++d.outUrbs;
      if (d.cfg.usb.stallOut && d.outUrbs == d.cfg.usb.stallOut) d.outHalted = true;
      note(d, "URB", "OUT " + std::to_string(f->buffer_length) + (d.outHalted ? " stall" : ""));
      if (d.outHalted) {
        finish(u, -EPIPE, 0);
        return;
      }
      std::vector<uint8_t> bytes;
      if (u.buffer) bytes.assign(u.buffer->data, u.buffer->data + f->buffer_length);
      const uint32_t generation = d.generation;
      finish(u, 0, f->buffer_length);
      // Only the host holding the interface talks to the module.
      if (d.claimer != &c) return;
      for (uint8_t b : bytes) {
        Packet p;
        if (d.raw.feed(b, p)) onPacket(d, p, now);
        if (d.generation != generation) return;
      }
      return;
    }
    ++d.inUrbs;
    if (d.cfg.usb.stallIn && d.inUrbs == d.cfg.usb.stallIn) d.inHalted = true;
    if (d.inHalted) {
      note(d, "URB", "IN " + std::to_string(f->buffer_length) + " stall");
      finish(u, -EPIPE, 0);
      return;
    }
    if (!u.buffer) {
      finish(u, 0, 0);
      return;
    }
    d.pendingIn.push_back(u);
    pump(d);
  }

  // A standard request on endpoint 0; the bytes of the data stage, or -1 to
  // stall.
  int setup(Dev& d, const uint8_t* s, uint8_t* data, size_t room) {
    const uint8_t type = s[0], request = s[1];
    const uint16_t value = static_cast<uint16_t>(s[2] | s[3] << 8);
    const uint16_t length = static_cast<uint16_t>(s[6] | s[7] << 8);
    const size_t limit = std::min<size_t>(length, room);
    auto reply = [&](const std::vector<uint8_t>& bytes) {
      size_t n = std::min(limit, bytes.size());
      std::memcpy(data, bytes.data(), n);
      return static_cast<int>(n);
    };
    if ((type & 0x60) != 0) return -1;  // class and vendor requests: none
    if (type & 0x80) {
      if (request == kGetDescriptor) {
        const uint8_t kind = static_cast<uint8_t>(value >> 8), index = static_cast<uint8_t>(value);
        std::vector<uint8_t> bytes;
        if (kind == 1 && index == 0) return reply(usb::deviceDescriptor(d.id));
        if (kind == 2 && index == 0) return reply(usb::configurationDescriptor(d.id));
        if (kind == 3 && usb::stringDescriptor(d.id, index, bytes)) return reply(bytes);
        return -1;
      }
      if (request == kGetStatus) return reply({0, 0});
      if (request == kGetConfiguration) return reply({usb::kConfigurationValue});
      return -1;
    }
    if (request == kSetConfiguration || request == kSetInterface || request == kClearFeature) return 0;
    return -1;
  }

  void control(Dev& d, UMockdevIoctlClient* cl) {
    UMockdevIoctlData* arg = argument(cl, sizeof(usbdevfs_ctrltransfer));
    if (!arg) return;
    usbdevfs_ctrltransfer t{};
    std::memcpy(&t, arg->data, sizeof t);
    uint8_t s[8] = {t.bRequestType,
                    t.bRequest,
                    static_cast<uint8_t>(t.wValue),
                    static_cast<uint8_t>(t.wValue >> 8),
                    static_cast<uint8_t>(t.wIndex),
                    static_cast<uint8_t>(t.wIndex >> 8),
                    static_cast<uint8_t>(t.wLength),
                    static_cast<uint8_t>(t.wLength >> 8)};
    std::vector<uint8_t> scratch(t.wLength);
    UMockdevIoctlData* data = nullptr;
    if (t.wLength > 0) {
      GError* error = nullptr;
      data = umockdev_ioctl_data_resolve(arg, offsetof(usbdevfs_ctrltransfer, data), t.wLength, &error);
      if (!data) {
        g_clear_error(&error);
        g_object_unref(arg);
        answer(cl, -1, EFAULT);
        return;
      }
    }
    const int n = setup(d, s, data ? data->data : scratch.data(), t.wLength);
    answer(cl, n < 0 ? -1 : n, n < 0 ? EPIPE : 0);
    if (data) g_object_unref(data);
    g_object_unref(arg);
  }

  void onVanished(Attachment& a, UMockdevIoctlClient* cl) {
    auto it = a.clients.find(cl);
    if (it == a.clients.end()) return;
    Dev& d = *a.dev;
    dropPending(d, &it->second);
    if (d.claimer == &it->second) disconnect(d);
    dropUrbs(it->second);
    g_object_unref(it->second.client);
    a.clients.erase(it);
  }

  // --- timers (worker thread) ----------------------------------------------

  void tick() {
    const uint64_t now = sNowMs();
    for (auto& a : attachments) {
      const bool live = a->dev->present && a->dev->live == a.get();
      for (auto& entry : a->clients) {
        Client& c = entry.second;
        if (!c.holding || (c.blocking && live) || now < c.holdUntilMs) continue;
        c.holding = false;
        answer(c.client, -1, live ? EAGAIN : ENODEV);
      }
    }
    for (auto& dp : devs) {
      Dev& d = *dp;
      if (d.away) {
        if (!d.arriving && now >= d.backAtMs) {
          d.arriving = true;
          post(d, true);
        }
        continue;
      }
      if (!d.present) continue;
      while (!d.delayed.empty() && d.delayed.front().dueMs <= now) {
        Delayed x = std::move(d.delayed.front());
        d.delayed.pop_front();
        if (x.generation == d.generation && d.claimer) queueIn(d, x.bytes);
      }
      if (d.owedGeneration && now >= d.owedAtMs) {
        if (d.owedGeneration == d.generation && d.claimer && !d.muted) {
          for (const Packet& reply : d.afterReconnect) send(d, reply, true, now);
        }
        d.owedGeneration = 0;
      }
      if (d.cfg.heartbeatMs && d.claimer && now >= d.nextHbMs) {
        d.nextHbMs = now + d.cfg.heartbeatMs;
        if (!d.muted) {
          send(d, d.module.nextHeartbeat(), false, now);
          if (d.module.heartbeatsMissed() != d.missedReported) {
            d.missedReported = d.module.heartbeatsMissed();
            note(d, "EV", "hb-missed");
          }
        }
      }
    }
  }

  static gboolean sTick(gpointer ref) {
    auto* impl = static_cast<Impl*>(ref);
    std::lock_guard<std::mutex> guard(impl->lock);
    if (impl->closing) return G_SOURCE_REMOVE;
    impl->tick();
    return G_SOURCE_CONTINUE;
  }

  // The timers run on umockdev's worker thread, next to the requests.
  void ensureTick() {
    if (ticking) return;
    ticking = true;
    tickSource = g_timeout_source_new(kTickMs);
    g_source_set_callback(tickSource, &Impl::sTick, this, nullptr);
    g_source_attach(tickSource, g_main_context_get_thread_default());
  }

  static gboolean sOnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer ref) {
    auto* a = static_cast<Attachment*>(ref);
    std::lock_guard<std::mutex> guard(a->impl->lock);
    if (a->impl->closing) {
      answer(client, -1, ENODEV);
      return TRUE;
    }
    a->impl->ensureTick();
    a->impl->onRequest(*a, client);
    return TRUE;
  }

  static void sOnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer ref) {
    auto* a = static_cast<Attachment*>(ref);
    std::lock_guard<std::mutex> guard(a->impl->lock);
    if (!a->impl->closing) a->impl->onVanished(*a, client);
  }

  // --- the test bed (main thread) -------------------------------------------

  bool addToBed(Dev& d, std::string& error) {
    unsigned devnum = 0;
    {
      std::lock_guard<std::mutex> guard(lock);
      devnum = nextDevnum;
      nextDevnum = nextDevnum >= kMaxDevnum ? kFirstDevnum : nextDevnum + 1;
    }
    GError* gerror = nullptr;
    const std::string text = usb::deviceRecord(d.id, d.port, devnum);
    if (!umockdev_testbed_add_from_string(bed, text.c_str(), &gerror)) {
      error = std::string("cannot add ") + d.syspath + ": " + (gerror ? gerror->message : "?");
      g_clear_error(&gerror);
      return false;
    }
    auto a = std::make_unique<Attachment>();
    a->impl = this;
    a->dev = &d;
    a->devnum = devnum;
    a->handler = umockdev_ioctl_base_new();
    g_signal_connect(a->handler, "handle-ioctl", G_CALLBACK(&Impl::sOnIoctl), a.get());
    g_signal_connect(a->handler, "client-vanished", G_CALLBACK(&Impl::sOnVanished), a.get());
    if (!umockdev_testbed_attach_ioctl(bed, usb::devNode(devnum).c_str(), a->handler, &gerror)) {
      error = "cannot emulate " + usb::devNode(devnum) + ": " + (gerror ? gerror->message : "?");
      g_clear_error(&gerror);
      g_object_unref(a->handler);
      return false;
    }
    {
      std::lock_guard<std::mutex> guard(lock);
      const uint64_t now = sNowMs();
      if (d.away) d.module.reboot(now);
      d.devnum = devnum;
      d.live = a.get();
      d.present = true;
      d.away = false;
      d.arriving = false;
      d.inHalted = d.outHalted = false;
      d.raw.reset();
      d.muted = d.cfg.muteAfter == 0;
      note(d, "EV", "arrive " + usb::devNode(devnum));
      attachments.push_back(std::move(a));
    }
    return true;
  }

  void removeFromBed(Dev& d) {
    umockdev_testbed_uevent(bed, d.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(bed, d.syspath.c_str());
  }

  static gboolean sRunAction(gpointer ref) {
    std::unique_ptr<Action> action(static_cast<Action*>(ref));
    Impl& impl = *action->impl;
    Dev& d = *action->dev;
    if (!action->arrive) {
      impl.removeFromBed(d);
      return G_SOURCE_REMOVE;
    }
    std::string error;
    if (!impl.addToBed(d, error)) {
      std::fprintf(stderr, "corvalith-usb-sim: %s\n", error.c_str());
      return G_SOURCE_REMOVE;
    }
    umockdev_testbed_uevent(impl.bed, d.syspath.c_str(), "add");
    return G_SOURCE_REMOVE;
  }

  bool open(std::string& error) {
    if (!options.recordPath.empty()) {
      record = std::fopen(options.recordPath.c_str(), "a");
      if (!record) {
        error = "cannot open " + options.recordPath;
        return false;
      }
    }
    bed = umockdev_testbed_new();
    GError* gerror = nullptr;
    if (!umockdev_testbed_add_from_string(bed, usb::rootHubRecord().c_str(), &gerror)) {
      error = std::string("cannot add the root hub: ") + (gerror ? gerror->message : "?");
      g_clear_error(&gerror);
      return false;
    }
    size_t port = 0;
    for (const ModuleConfig& c : options.modules) {
      if (c.behind != 0) continue;
      auto d = std::make_unique<Dev>(c);
      d->port = usb::portName(port++);
      d->syspath = usb::sysPath(d->port);
      d->module.reboot(sNowMs());
      devs.push_back(std::move(d));
    }
    for (const ModuleConfig& c : options.modules) {
      if (c.behind == 0) continue;
      ModuleConfig placed = c;
      for (auto& d : devs) {
        if (d->cfg.serial != c.behind) continue;
        if (placed.router == 0) placed.router = d->cfg.address;
        behind.push_back(std::make_unique<SimModule>(placed));
        behind.back()->reboot(sNowMs());
        if (!d->network) d->network = std::make_unique<SimRouter>(d->cfg.address);
        d->network->attach(behind.back().get());
      }
    }
    for (auto& d : devs) {
      if (!addToBed(*d, error)) return false;
    }
    return true;
  }
};

UsbBus::UsbBus(const UsbSimOptions& options) : impl_(std::make_unique<Impl>()) {
  impl_->options = options;
}

UsbBus::~UsbBus() {
  // umockdev's worker thread may still be in a request or a timer while the
  // test bed goes, and does not say when it is done: the state is closed
  // under the lock, the test bed (and its directory) removed, and the rest
  // left to the end of the process, reachable from here.
  static auto* retired = new std::vector<std::unique_ptr<Impl>>();
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->closing = true;
    if (impl_->tickSource) g_source_destroy(impl_->tickSource);
  }
  if (impl_->bed) g_object_unref(impl_->bed);
  impl_->bed = nullptr;
  if (impl_->record) std::fclose(impl_->record);
  impl_->record = nullptr;
  retired->push_back(std::move(impl_));
}

bool UsbBus::open(std::string& error) {
  return impl_->open(error);
}

void UsbBus::plug(const ModuleConfig& config) {
  Impl::Dev* dev = nullptr;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    if (impl_->closing) return;
    auto d = std::make_unique<Impl::Dev>(config);
    d->port = usb::portName(impl_->devs.size());
    d->syspath = usb::sysPath(d->port);
    d->module.reboot(sNowMs());
    dev = d.get();
    impl_->devs.push_back(std::move(d));
  }
  // Outside the lock: on the main thread the arrival runs at once and takes
  // it itself.
  impl_->post(*dev, true);
}

unsigned UsbBus::reserveDevnum() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  const unsigned devnum = impl_->nextDevnum;
  impl_->nextDevnum = devnum >= kMaxDevnum ? kFirstDevnum : devnum + 1;
  return devnum;
}

UMockdevTestbed* UsbBus::testbed() const {
  return impl_->bed;
}

bool UsbBus::saveFlash(std::string& error) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  for (auto& d : impl_->devs) {
    if (!d->module.saveFlash(error)) return false;
  }
  for (auto& m : impl_->behind) {
    if (!m->saveFlash(error)) return false;
  }
  return true;
}

}  // namespace sim
