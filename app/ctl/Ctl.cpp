#include "Ctl.h"

#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "common/aDiscovery.h"
#include "common/aErr.h"
#include "common/aText.h"
#include "cpp/Module.h"
#include "unix/aDiscoveryOS.h"
#include "unix/aFile.h"

using Tessaron::Corvalith::Link;
using Tessaron::Corvalith::Module;

namespace {

// A slot's size and a factory transfer's count travel as 16 bits, so no
// transfer is larger; this also caps what is read from a file.
constexpr size_t kMaxTransfer = 0xFFFF;
// The module the library starts from; the real address is learnt on connect.
constexpr uint8_t kDefaultModuleAddress = 2;
constexpr unsigned kHexDumpWidth = 16;
// Where corvalith-share serves with --local-only, and where it is sought first.
constexpr uint32_t kSharedAddress = aDiscovery_IPv4(127, 0, 0, 1);

struct CommandDef {
  const char* name;
  size_t minArgs;
  size_t maxArgs;
  size_t numbers;  // leading arguments that are byte values
};
const CommandDef kCommands[] = {
    {"slot-info", 2, 2, 2},   {"slot-read", 3, 3, 2},   {"slot-write", 3, 3, 2},
    {"factory-get", 1, 2, 1}, {"factory-set", 2, 2, 1}, {"stream", 3, 3, 3},
};

const CommandDef* sFindCommand(const std::string& name) {
  for (const CommandDef& c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

bool sStartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool sSerial(std::string text, uint32_t* serial) {
  if (sStartsWith(text, "0x") || sStartsWith(text, "0X")) text = text.substr(2);
  return aText_ParseUnsigned32(text, 16, serial) && *serial != 0;
}

bool sByte(const std::string& text, uint8_t* out) {
  uint32_t value = 0;
  if (!aText_ParseUnsigned32(text, 0, &value) || value > 0xFF) return false;
  *out = static_cast<uint8_t>(value);
  return true;
}

void sError(const char* what, aErr err) {
  std::fprintf(stderr, "Error: %s: %s (%s)\n", what, aError_GetErrorText(err),
               aError_GetErrorDescription(err));
}

bool sReadFile(const std::string& path, std::vector<uint8_t>* data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "Error: cannot read %s: aErrNotFound (Not found)\n", path.c_str());
    return false;
  }
  data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (data->size() > kMaxTransfer) {
    std::fprintf(stderr, "Error: %s holds %zu bytes, more than the %zu a transfer carries: aErrSize (%s)\n",
                 path.c_str(), data->size(), kMaxTransfer, aError_GetErrorDescription(aErrSize));
    return false;
  }
  return true;
}

bool sWriteFile(const std::string& path, const uint8_t* data, size_t size) {
  int sysError = 0;
  const aErr err = aFile_Replace(path.c_str(), data, size, &sysError);
  if (err == aErrNone) return true;
  std::fprintf(stderr, "Error: cannot write %s: %s (%s)\n", path.c_str(), aError_GetErrorText(err),
               std::strerror(sysError));
  return false;
}

void sHexDump(const uint8_t* data, size_t size) {
  for (size_t at = 0; at < size; at += kHexDumpWidth) {
    std::printf("%04zX:", at);
    for (size_t i = at; i < at + kHexDumpWidth && i < size; ++i) std::printf(" %02X", data[i]);
    std::printf("\n");
  }
}

// ---- Commands, each on a connected module.

int sSlotInfo(Link& link, uint8_t address, uint8_t store, uint8_t slot) {
  uint32_t capacity = 0;
  uint32_t size = 0;
  aErr err = link.storeSlotCapacity(address, store, slot, &capacity);
  if (err != aErrNone) {
    sError("slot capacity", err);
    return 1;
  }
  err = link.storeSlotSize(address, store, slot, &size);
  if (err != aErrNone) {
    sError("slot size", err);
    return 1;
  }
  std::printf("store %u slot %u: capacity %" PRIu32 " bytes, size %" PRIu32 " bytes\n", store, slot, capacity,
              size);
  return 0;
}

int sSlotRead(Link& link, uint8_t address, uint8_t store, uint8_t slot, const std::string& path) {
  std::vector<uint8_t> buffer(kMaxTransfer);
  size_t count = 0;
  const aErr err = link.unloadStoreSlot(address, store, slot, buffer.data(), buffer.size(), &count);
  if (err != aErrNone) {
    sError("slot read", err);
    return 1;
  }
  if (!sWriteFile(path, buffer.data(), count)) return 1;
  std::printf("read %zu bytes from store %u slot %u into %s\n", count, store, slot, path.c_str());
  return 0;
}

int sSlotWrite(Link& link, uint8_t address, uint8_t store, uint8_t slot, const std::string& path) {
  std::vector<uint8_t> data;
  if (!sReadFile(path, &data)) return 1;
  // Opening a slot to write empties it, so a file that cannot fit is refused
  // before the slot is touched rather than left half-written.
  uint32_t capacity = 0;
  aErr err = link.storeSlotCapacity(address, store, slot, &capacity);
  if (err != aErrNone) {
    sError("slot capacity", err);
    return 1;
  }
  if (data.size() > capacity) {
    std::printf("wrote 0 of %zu bytes to store %u slot %u, which holds at most %" PRIu32
                " bytes; the slot is unchanged\n",
                data.size(), store, slot, capacity);
    sError("slot write", aErrOverrun);
    return 1;
  }
  size_t written = 0;
  // loadStoreSlot refuses null data even for an empty file.
  const uint8_t none = 0;
  err = link.loadStoreSlot(address, store, slot, data.empty() ? &none : data.data(), data.size(), &written);
  if (err == aErrNone) {
    std::printf("wrote %zu of %zu bytes to store %u slot %u, every sum matched\n", written, data.size(),
                store, slot);
    return 0;
  }
  if (err == aErrIO) {
    std::printf("wrote %zu of %zu bytes to store %u slot %u, a sum did not match\n", written, data.size(),
                store, slot);
  } else {
    std::printf("wrote %zu of %zu bytes to store %u slot %u\n", written, data.size(), store, slot);
  }
  sError("slot write", err);
  return 1;
}

int sFactoryGet(Link& link, uint8_t address, uint8_t command, const std::string* path) {
  std::vector<uint8_t> buffer(kMaxTransfer);
  size_t count = 0;
  const aErr err = link.getFactoryData(address, command, buffer.data(), buffer.size(), &count);
  if (err != aErrNone) {
    sError("factory get", err);
    return 1;
  }
  if (path == nullptr) {
    sHexDump(buffer.data(), count);
    return 0;
  }
  if (!sWriteFile(*path, buffer.data(), count)) return 1;
  std::printf("read %zu bytes of factory data %u into %s\n", count, command, path->c_str());
  return 0;
}

int sFactorySet(Link& link, uint8_t address, uint8_t command, const std::string& path) {
  std::vector<uint8_t> data;
  if (!sReadFile(path, &data)) return 1;
  const aErr err = link.setFactoryData(address, command, data.data(), data.size());
  if (err != aErrNone) {
    sError("factory set", err);
    return 1;
  }
  std::printf("wrote %zu bytes of factory data %u\n", data.size(), command);
  return 0;
}

// Shared by the stream callback (on the link's worker) and the main thread.
struct StreamPrinter {
  std::mutex mutex;
  std::condition_variable done;
  uint32_t limit = 0;  // 0: no count bound
  uint32_t printed = 0;
};

void sPrintSample(const aPacket* packet, void* reference) {
  StreamPrinter* p = static_cast<StreamPrinter*>(reference);
  Link::StreamSample s;
  if (Link::getStreamSample(packet, &s) != aErrNone) return;
  std::lock_guard<std::mutex> lock(p->mutex);
  if (p->limit != 0 && p->printed >= p->limit) return;
  std::printf("%" PRIu64 " %u %" PRIu32 "\n", s.timestamp, s.subindex, s.value);
  std::fflush(stdout);
  ++p->printed;
  if (p->limit != 0 && p->printed >= p->limit) p->done.notify_all();
}

int sStream(Link& link, uint8_t address, uint8_t command, uint8_t option, uint8_t index,
            const CtlOptions& o) {
  StreamPrinter printer;
  printer.limit = o.count;
  // Always bounded in time too: a module that stops sending must not hang us.
  const uint32_t seconds = o.seconds != 0 ? o.seconds : kCtlDefaultStreamSeconds;
  aErr err = link.registerStreamCallback(address, command, option, index, true, sPrintSample, &printer);
  if (err != aErrNone) {
    sError("stream enable", err);
    return 1;
  }
  {
    std::unique_lock<std::mutex> lock(printer.mutex);
    const auto reached = [&printer] { return printer.limit != 0 && printer.printed >= printer.limit; };
    printer.done.wait_for(lock, std::chrono::seconds(seconds), reached);
  }
  err = link.enableStream(address, command, option, index, false);
  if (err != aErrNone) {
    sError("stream disable", err);
    return 1;
  }
  std::lock_guard<std::mutex> lock(printer.mutex);
  if (printer.limit != 0 && printer.printed < printer.limit) {
    std::fprintf(stderr, "Error: stream: %u of %u samples within %u s: aErrTimeout (%s)\n", printer.printed,
                 printer.limit, seconds, aError_GetErrorDescription(aErrTimeout));
    return 1;
  }
  return 0;
}

int sRun(Link& link, uint8_t address, const CtlOptions& o) {
  const std::vector<std::string>& a = o.args;
  const uint8_t* n = o.numbers;
  if (o.command == "slot-info") return sSlotInfo(link, address, n[0], n[1]);
  if (o.command == "slot-read") return sSlotRead(link, address, n[0], n[1], a[2]);
  if (o.command == "slot-write") return sSlotWrite(link, address, n[0], n[1], a[2]);
  if (o.command == "factory-get") return sFactoryGet(link, address, n[0], a.size() > 1 ? &a[1] : nullptr);
  if (o.command == "factory-set") return sFactorySet(link, address, n[0], a[1]);
  return sStream(link, address, n[0], n[1], n[2], o);
}

bool sCount(const char* text, uint32_t* out) {
  return aText_ParseUnsigned32(text, 10, out) && *out != 0;
}

}  // namespace

std::string CtlUsage() {
  return "Usage: corvalith-ctl -d SERIAL [-t USB|TCP|SHARED [-a ADDRESS] [-p PORT]] COMMAND ARG...\n"
         "  -d SERIAL                  the module's serial number (hexadecimal, 0x optional)\n"
         "  -t USB|TCP|SHARED          transport (default USB; TCP finds the module by discovery;\n"
         "                             SHARED goes through the device server of corvalith-share)\n"
         "  -a ADDRESS                 with SHARED: the address the server listens on (default\n"
         "                             127.0.0.1, then the first network interface)\n"
         "  -p PORT                    with SHARED: the server's port, as corvalith-share\n"
         "                             prints it (default: found by discovery)\n"
         "  -h                         this text\n"
         "Commands (numbers are decimal, or hexadecimal with 0x):\n"
         "  slot-info STORE SLOT       capacity and used size of a store slot\n"
         "  slot-read STORE SLOT FILE  the slot's contents into FILE\n"
         "  slot-write STORE SLOT FILE\n"
         "                             FILE into the slot; says how many bytes went and\n"
         "                             whether every chunk's sum matched; a FILE larger\n"
         "                             than the slot is refused and the slot left as it was\n"
         "  factory-get CMD [FILE]     factory data CMD (0-15) into FILE, or as hex on standard output\n"
         "  factory-set CMD FILE       FILE as factory data CMD\n"
         "  stream CMD OPTION INDEX [--count N] [--seconds S]\n"
         "                             enables the stream and prints one line per sample:\n"
         "                             timestamp, subindex, value; stops after N samples\n"
         "                             or S seconds, whichever comes first (default 10 s)\n"
         "Exit code 0 on success, 1 on failure.\n";
}

bool ParseCtlArguments(int argc, const char* const argv[], CtlOptions* o, std::string* error) {
  bool serialGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    const bool hasValue = i + 1 < argc;
    if (word == "-h" || word == "--help") {
      o->help = true;
      return true;
    }
    if (word == "-d" || word == "-t" || word == "-p" || word == "-a" || word == "--count" ||
        word == "--seconds") {
      if (!hasValue) {
        *error = word + " needs a value";
        return false;
      }
      const std::string value = argv[++i];
      if (word == "-d") {
        if (!sSerial(value, &o->serial)) {
          *error = "Invalid serial number obtained from argument [" + value + "]";
          return false;
        }
        serialGiven = true;
      } else if (word == "-t") {
        if (sStartsWith(value, "USB")) {
          o->transport = USB;
        } else if (sStartsWith(value, "TCP")) {
          o->transport = TCPIP;
        } else if (value == "SHARED") {
          o->transport = AWEFT;
        } else {
          *error = "Invalid transport type:[" + value + "]\nMust be one of the following: USB, TCPIP, SHARED";
          return false;
        }
      } else if (word == "-p") {
        uint32_t port = 0;
        if (!aText_ParseUnsigned32(value, 10, &port) || port == 0 || port > 0xFFFF) {
          *error = "-p needs a TCP port from 1 to 65535, not [" + value + "]";
          return false;
        }
        o->port = static_cast<uint16_t>(port);
      } else if (word == "-a") {
        if (!aDiscovery_ParseIPv4(value.c_str(), &o->address) || o->address == 0) {
          *error = "-a needs an IPv4 address such as 10.0.0.5, not [" + value + "]";
          return false;
        }
      } else if (!sCount(value.c_str(), word == "--count" ? &o->count : &o->seconds)) {
        *error = word + " needs a whole number above 0, not [" + value + "]";
        return false;
      }
      continue;
    }
    if (word.size() > 1 && word[0] == '-') {
      *error = "Unknown option [" + word + "]";
      return false;
    }
    if (o->command.empty()) {
      o->command = word;
    } else {
      o->args.push_back(word);
    }
  }
  if (o->command.empty()) {
    *error = "No command given";
    return false;
  }
  const CommandDef* def = sFindCommand(o->command);
  if (def == nullptr) {
    *error = "Unknown command [" + o->command + "]";
    return false;
  }
  if (o->args.size() < def->minArgs || o->args.size() > def->maxArgs) {
    *error = "Wrong number of arguments for " + o->command;
    return false;
  }
  for (size_t i = 0; i < def->numbers; ++i) {
    if (!sByte(o->args[i], &o->numbers[i])) {
      *error = "\"" + o->args[i] + "\" is not a number from 0 to 255";
      return false;
    }
  }
  if ((o->count != 0 || o->seconds != 0) && o->command != "stream") {
    *error = "--count and --seconds belong to stream";
    return false;
  }
  if ((o->port != 0 || o->address != 0) && o->transport != AWEFT) {
    *error = o->port != 0 ? "-p belongs to -t SHARED" : "-a belongs to -t SHARED";
    return false;
  }
  if (!serialGiven) {
    *error = "No serial number given (-d SERIAL)";
    return false;
  }
  return true;
}

int RunCtl(const CtlOptions& o) {
  Module module(kDefaultModuleAddress, 0);
  aWeftConfig config;
  // Direct, as the updater connects, unless asked to go through a device
  // server; never a transport fall-back.
  config.enabled = o.transport == AWEFT ? 1 : 0;
  config.fallback = 0;
  const uint32_t address = o.address != 0 ? o.address : kSharedAddress;
  if (o.transport == AWEFT) config.networkInterface = address;
  aErr err = module.setConfig(config);
  if (err == aErrNone && o.transport == AWEFT && o.port != 0) {
    linkSpec spec;
    std::memset(&spec, 0, sizeof spec);
    spec.type = AWEFT;
    spec.serialNumber = o.serial;
    spec.t.ip.ipAddress = address;
    spec.t.ip.ipPort = o.port;
    err = module.connectFromSpec(spec);
  } else if (err == aErrNone) {
    err = module.connect(o.transport, o.serial);
    // corvalith-share without --local-only serves on the first network
    // interface and answers only the beacon search there.
    uint32_t first = 0;
    if (err == aErrNotFound && o.transport == AWEFT && o.address == 0 &&
        aDiscovery_GetIPv4Interfaces(&first, 1) == 1 && first != kSharedAddress) {
      config.networkInterface = first;
      err = module.setConfig(config);
      if (err == aErrNone) err = module.connect(o.transport, o.serial);
    }
  }
  if (err != aErrNone) {
    char what[64];
    std::snprintf(what, sizeof what, "connecting to %08X", o.serial);
    sError(what, err);
    return 1;
  }
  const int code = sRun(*module.getLink(), module.getModuleAddress(), o);
  (void)module.disconnect();
  return code;
}
