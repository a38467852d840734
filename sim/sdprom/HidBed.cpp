#include "sim/sdprom/HidBed.h"

#include <fcntl.h>
#include <glib.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>
// After sys/ioctl.h, which defines the _IO macros it uses.
#include <linux/hidraw.h>
#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "sim/sdprom/SerialRom.h"
#include "sim/usb/BedRun.h"
#include "sim/usb/UsbBus.h"

namespace sdprom {
namespace {

constexpr const char* kProgram = "corvalith-sdp-rom";
constexpr uint16_t kRomVendorId = 0x1FC9;
constexpr uint16_t kRomProductId = 0x0130;
constexpr uint8_t kCommandReport = 1, kDataReport = 2, kSecurityReport = 3, kStatusReport = 4;
constexpr size_t kStatusReportData = 64;
// Reports the host has not read yet are dropped past this.
constexpr size_t kMaxQueuedReports = 4096;
constexpr int kReadyTimeoutMs = 10000;
constexpr unsigned kBusUsb = 3;  // BUS_USB of linux/input.h

// Where the ROM sits in sysfs: its own port, apart from the ports the
// modules take, so the loader can arrive while the ROM is still leaving.
constexpr const char* kUsbPath = "/sys/devices/usb1/1-9";
constexpr const char* kHidPath = "/sys/devices/usb1/1-9/1-9:1.0/0003:1FC9:0130.0001";
constexpr const char* kHidrawNode = "/dev/hidraw0";
constexpr const char* kManufacturer = "Corvalith";
constexpr const char* kProduct = "Simulated i.MX SDP ROM";

// Vendor page, one application collection: report 1 out 16 bytes (command),
// 2 out 1024 (data), 3 in 4 (security word), 4 in 64 (status and data).
const uint8_t kReportDescriptor[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,                                      //
    0x85, 0x01, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x10,  //
    0x91, 0x02,                                                                    //
    0x85, 0x02, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96, 0x00,  //
    0x04, 0x91, 0x02,                                                              //
    0x85, 0x03, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x04,  //
    0x81, 0x02,                                                                    //
    0x85, 0x04, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40,  //
    0x81, 0x02,                                                                    //
    0xC0,
};

std::string sHex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[3];
  for (uint8_t c : bytes) {
    std::snprintf(b, sizeof b, "%02x", c);
    s += b;
  }
  return s;
}

void sPush16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

// Device, configuration, HID interface with its HID descriptor, interrupt
// IN 0x81 and OUT 0x01, as the USB and HID class rules lay them out.
std::vector<uint8_t> sDescriptors() {
  std::vector<uint8_t> d = {18, 1};
  sPush16(d, 0x0200);
  d.insert(d.end(), {0, 0, 0, 64});
  sPush16(d, kRomVendorId);
  sPush16(d, kRomProductId);
  sPush16(d, 0x0001);
  d.insert(d.end(), {1, 2, 0, 1});
  d.insert(d.end(), {9, 2, 41, 0, 1, 1, 0, 0xC0, 50});
  d.insert(d.end(), {9, 4, 0, 0, 2, 0x03, 0, 0, 0});
  d.insert(d.end(), {9, 0x21, 0x10, 0x01, 0, 1, 0x22});
  sPush16(d, sizeof kReportDescriptor);
  d.insert(d.end(), {7, 5, 0x81, 0x03, 64, 0, 1});
  d.insert(d.end(), {7, 5, 0x01, 0x03, 64, 0, 1});
  return d;
}

std::string sAttr(const std::string& name, const std::string& value) {
  return "A: " + name + "=" + value + "\\n\n";
}

// umockdev records of the USB device, its interface, the HID device and
// its hidraw node. No usbfs node: hosts reach this device through hidraw.
std::string sRecords(unsigned devnum) {
  char buf[64];
  std::string r = std::string("P: ") + (kUsbPath + 4) + "\n";
  r += "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n";
  std::snprintf(buf, sizeof buf, "E: PRODUCT=%x/%x/1\nE: BUSNUM=001\nE: DEVNUM=%03u\n", kRomVendorId,
                kRomProductId, devnum);
  r += buf;
  r += sAttr("busnum", "1") + sAttr("devnum", std::to_string(devnum));
  std::snprintf(buf, sizeof buf, "%04x", kRomVendorId);
  r += sAttr("idVendor", buf);
  std::snprintf(buf, sizeof buf, "%04x", kRomProductId);
  r += sAttr("idProduct", buf);
  r += sAttr("bcdDevice", "0001") + sAttr("bDeviceClass", "00") + sAttr("bNumConfigurations", "1") +
       sAttr("bConfigurationValue", "1") + sAttr("bNumInterfaces", " 1") + sAttr("speed", "480") +
       sAttr("version", " 2.00") + sAttr("manufacturer", kManufacturer) + sAttr("product", kProduct);
  r += "H: descriptors=" + sHex(sDescriptors()) + "\n\n";

  r += std::string("P: ") + (kUsbPath + 4) + "/1-9:1.0\n";
  r += "E: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\nE: INTERFACE=3/0/0\n";
  r += sAttr("bInterfaceNumber", "00") + sAttr("bAlternateSetting", " 0") + sAttr("bInterfaceClass", "03") +
       sAttr("bInterfaceSubClass", "00") + sAttr("bInterfaceProtocol", "00") + sAttr("bNumEndpoints", "02");
  r += "\n";

  r += std::string("P: ") + (kHidPath + 4) + "\n";
  std::snprintf(buf, sizeof buf, "E: HID_ID=%04X:%08X:%08X\n", kBusUsb, kRomVendorId, kRomProductId);
  r += std::string("E: SUBSYSTEM=hid\n") + buf;
  r += std::string("E: HID_NAME=") + kManufacturer + " " + kProduct + "\nE: HID_UNIQ=\n";
  r += "E: HID_PHYS=usb-corvalith-1.9/input0\n";
  r += "H: report_descriptor=" +
       sHex(std::vector<uint8_t>(std::begin(kReportDescriptor), std::end(kReportDescriptor))) + "\n\n";

  // hidapi finds the HID device through the node's "device" link.
  r += std::string("P: ") + (kHidPath + 4) + "/hidraw/hidraw0\n";
  r += "N: hidraw0\nE: DEVNAME=/dev/hidraw0\nE: SUBSYSTEM=hidraw\n";
  r += "L: device=../../../0003:1FC9:0130.0001\n";
  r += sAttr("dev", "241:0") + "\n";
  return r;
}

std::string sLoaderState(const sim::ModuleConfig& loader, bool started) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "\"loader\": {\"serial\": %u, \"started\": %s}", loader.serial,
                started ? "true" : "false");
  return buf;
}

// The ROM behind /dev/hidraw0. Requests come on umockdev's worker thread,
// state dumps on the main thread; the model is under one lock. hidapi polls
// the node's pseudo-terminal before it reads, so a byte waits there while
// reports are queued (umockdev hands the read itself to this handler).
class HidRom {
 public:
  HidRom(const BedOptions& options, sim::UsbBus& bus) : options_(options), bus_(bus), rom_(options.rom) {}

  bool open(std::string& error) {
    UMockdevTestbed* bed = bus_.testbed();
    GError* gerror = nullptr;
    if (!umockdev_testbed_add_from_string(bed, sRecords(bus_.reserveDevnum()).c_str(), &gerror)) {
      error = std::string("cannot add the HID device: ") + (gerror ? gerror->message : "?");
      g_clear_error(&gerror);
      return false;
    }
    master_ = umockdev_testbed_get_dev_fd(bed, kHidrawNode);
    const char* slave = master_ >= 0 ? ptsname(master_) : nullptr;
    if (slave) slave_ = ::open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave_ < 0) {
      error = std::string("no pseudo-terminal behind ") + kHidrawNode;
      return false;
    }
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&HidRom::sOnIoctl), this);
    g_signal_connect(handler_, "handle-read", G_CALLBACK(&HidRom::sOnRead), this);
    g_signal_connect(handler_, "handle-write", G_CALLBACK(&HidRom::sOnWrite), this);
    g_signal_connect(handler_, "client-vanished", G_CALLBACK(&HidRom::sOnVanished), this);
    if (!umockdev_testbed_attach_ioctl(bed, kHidrawNode, handler_, &gerror)) {
      error = std::string("cannot emulate ") + kHidrawNode + ": " + (gerror ? gerror->message : "?");
      g_clear_error(&gerror);
      return false;
    }
    return true;
  }

  // Ends the serving: later requests fail as on an unplugged device.
  void close() {
    std::lock_guard<std::mutex> guard(lock_);
    closing_ = true;
  }

  bool writeState() {
    if (options_.stateFile.empty()) return true;
    std::lock_guard<std::mutex> guard(lock_);
    if (rom_.writeState(options_.stateFile, sLoaderState(options_.loader, started_))) return true;
    std::perror("corvalith-sdp-rom: --state");
    return false;
  }

 private:
  static UMockdevIoctlData* sResolve(UMockdevIoctlClient* client, size_t length) {
    GError* error = nullptr;
    UMockdevIoctlData* d =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, length, &error);
    if (!d) {
      g_clear_error(&error);
      umockdev_ioctl_client_complete(client, -1, EFAULT);
    }
    return d;
  }

  static gboolean sOnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer ref) {
    static_cast<HidRom*>(ref)->onIoctl(client);
    return TRUE;
  }
  static gboolean sOnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer ref) {
    static_cast<HidRom*>(ref)->onRead(client);
    return TRUE;
  }
  static gboolean sOnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer ref) {
    static_cast<HidRom*>(ref)->onWrite(client);
    return TRUE;
  }
  static void sOnVanished(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer ref) {
    auto* self = static_cast<HidRom*>(ref);
    std::lock_guard<std::mutex> guard(self->lock_);
    // Input reports wait in the reader's open file; they go with it.
    self->reports_.clear();
    self->drain();
  }
  // Main thread: the ROM leaves the bus once the loader runs.
  static gboolean sRemove(gpointer ref) {
    auto* self = static_cast<HidRom*>(ref);
    UMockdevTestbed* bed = self->bus_.testbed();
    // Children first, as the kernel unbinds them.
    const std::string hidraw = std::string(kHidPath) + "/hidraw/hidraw0";
    const std::string interface = std::string(kUsbPath) + "/1-9:1.0";
    for (const std::string& path : {hidraw, std::string(kHidPath), interface, std::string(kUsbPath)}) {
      umockdev_testbed_uevent(bed, path.c_str(), "remove");
      umockdev_testbed_remove_device(bed, path.c_str());
    }
    return G_SOURCE_REMOVE;
  }

  bool absent() const { return closing_ || (gone_ && reports_.empty()); }

  void onIoctl(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> guard(lock_);
    if (absent()) return umockdev_ioctl_client_complete(client, -1, ENODEV);
    const gulong request = umockdev_ioctl_client_get_request(client);
    if (request == HIDIOCGRDESCSIZE) {
      UMockdevIoctlData* d = sResolve(client, sizeof(int));
      if (!d) return;
      const int size = sizeof kReportDescriptor;
      std::memcpy(d->data, &size, sizeof size);
      umockdev_ioctl_client_complete(client, 0, 0);
      g_object_unref(d);
    } else if (request == HIDIOCGRDESC) {
      UMockdevIoctlData* d = sResolve(client, sizeof(hidraw_report_descriptor));
      if (!d) return;
      auto* desc = reinterpret_cast<hidraw_report_descriptor*>(d->data);
      const size_t n = std::min<size_t>(desc->size, sizeof kReportDescriptor);
      std::memcpy(desc->value, kReportDescriptor, n);
      umockdev_ioctl_client_complete(client, 0, 0);
      g_object_unref(d);
    } else if (request == HIDIOCGRAWINFO) {
      UMockdevIoctlData* d = sResolve(client, sizeof(hidraw_devinfo));
      if (!d) return;
      hidraw_devinfo info{};
      info.bustype = kBusUsb;
      info.vendor = static_cast<__s16>(kRomVendorId);
      info.product = static_cast<__s16>(kRomProductId);
      std::memcpy(d->data, &info, sizeof info);
      umockdev_ioctl_client_complete(client, 0, 0);
      g_object_unref(d);
    } else if (_IOC_TYPE(request) == 'H' && _IOC_NR(request) == _IOC_NR(HIDIOCGRAWNAME(0))) {
      const size_t room = _IOC_SIZE(request);
      const std::string name = std::string(kManufacturer) + " " + kProduct;
      const size_t n = std::min(room, name.size() + 1);
      UMockdevIoctlData* d = n ? sResolve(client, n) : nullptr;
      if (n && !d) return;
      if (d) std::memcpy(d->data, name.c_str(), n);
      umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
      if (d) g_object_unref(d);
    } else {
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
    }
  }

  void onWrite(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> guard(lock_);
    if (absent() || gone_) return umockdev_ioctl_client_complete(client, -1, ENODEV);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const uint8_t* bytes = arg->data;
    const size_t length = arg->data_len > 0 ? static_cast<size_t>(arg->data_len) : 0;
    if (length == 0) return umockdev_ioctl_client_complete(client, -1, EINVAL);
    if (bytes[0] == kCommandReport && length >= 1 + kCommandSize) {
      if (Rom::knownType(bytes + 1)) rom_.onCommand(bytes + 1);
    } else if (bytes[0] == kDataReport) {
      if (rom_.dataExpected()) rom_.onData(bytes + 1, length - 1);
    } else {
      // No such output report: the device stalls it.
      return umockdev_ioctl_client_complete(client, -1, EPIPE);
    }
    queueAnswers();
    umockdev_ioctl_client_complete(client, static_cast<glong>(length), 0);
    if (rom_.jumped() && !started_) handOver();
  }

  void onRead(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> guard(lock_);
    if (absent()) {
      drain();
      return umockdev_ioctl_client_complete(client, -1, ENODEV);
    }
    if (reports_.empty()) {
      // Woken by a byte left over from reports already taken.
      drain();
      return umockdev_ioctl_client_complete(client, -1, EAGAIN);
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const std::vector<uint8_t> report = std::move(reports_.front());
    reports_.pop_front();
    // hidraw cuts a report to the reader's buffer.
    const size_t n = std::min(report.size(), arg->data_len > 0 ? static_cast<size_t>(arg->data_len) : 0);
    std::memcpy(arg->data, report.data(), n);
    if (reports_.empty() && !gone_) drain();
    umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
  }

  // The model's answers as input reports: the security word as report 3,
  // every other answer in reports 4 of 64 bytes, zero-padded.
  void queueAnswers() {
    for (const Answer& a : rom_.answers()) {
      if (a.security) {
        std::vector<uint8_t> report{kSecurityReport};
        report.insert(report.end(), a.bytes.begin(), a.bytes.end());
        push(std::move(report));
        continue;
      }
      for (size_t at = 0; at < a.bytes.size(); at += kStatusReportData) {
        std::vector<uint8_t> report(1 + kStatusReportData, 0);
        report[0] = kStatusReport;
        const size_t n = std::min(kStatusReportData, a.bytes.size() - at);
        std::copy(a.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                  a.bytes.begin() + static_cast<std::ptrdiff_t>(at + n), report.begin() + 1);
        push(std::move(report));
      }
    }
    rom_.answers().clear();
    if (!reports_.empty()) wake();
  }

  void push(std::vector<uint8_t> report) {
    if (reports_.size() < kMaxQueuedReports) reports_.push_back(std::move(report));
  }

  void wake() {
    if (signalled_) return;
    if (::write(master_, "r", 1) == 1) signalled_ = true;
  }

  void drain() {
    if (!signalled_) return;
    char buf[64];
    // The byte may still be on its way through the terminal; the next
    // drain takes it then.
    if (::read(slave_, buf, sizeof buf) > 0) signalled_ = false;
  }

  // The image runs: the ROM leaves the bus once the host has its answers,
  // and the loader enumerates.
  void handOver() {
    started_ = true;
    gone_ = true;
    wake();
    g_main_context_invoke(nullptr, &HidRom::sRemove, this);
    bus_.plug(options_.loader);
  }

  const BedOptions& options_;
  sim::UsbBus& bus_;
  std::mutex lock_;
  Rom rom_;
  std::deque<std::vector<uint8_t>> reports_;
  bool gone_ = false;
  bool started_ = false;
  bool closing_ = false;
  bool signalled_ = false;
  int master_ = -1;
  int slave_ = -1;
  UMockdevIoctlBase* handler_ = nullptr;
};

}  // namespace

bool BedAvailable() {
  return true;
}

void EnterBed(char** argv) {
  sim::bed::ReexecUnderPreload(argv, kBedMark, kProgram);
}

int ServeHid(const BedOptions& options) {
  sim::UsbSimOptions busOptions;
  sim::UsbBus bus(busOptions);
  std::string error;
  if (!bus.open(error)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return sim::bed::kOwnFailure;
  }
  // umockdev's worker may still answer a request while the process ends:
  // the ROM stays to the end, closed.
  auto* rom = new HidRom(options, bus);
  if (!rom->open(error)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return sim::bed::kOwnFailure;
  }
  const int code = sim::bed::RunCommand(options.command, options.lifetimeS, kProgram, kBedMark,
                                        [rom] { (void)rom->writeState(); });
  rom->close();
  const bool saved = rom->writeState();
  if (!bus.saveFlash(error)) std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
  return code == 0 && !saved ? 1 : code;
}

int ServeSerialOnBus(const BedOptions& options) {
  sim::UsbSimOptions busOptions;
  sim::UsbBus bus(busOptions);
  std::string error;
  if (!bus.open(error)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return sim::bed::kOwnFailure;
  }
  std::atomic<bool> stop{false};
  std::atomic<bool> dump{false};
  std::atomic<bool> started{false};
  std::mutex m;
  std::condition_variable cv;
  std::string pty;
  bool settled = false;  // the terminal serves, or could not be set up
  int serialStatus = 0;

  SerialHooks hooks;
  hooks.stop = [&] { return stop.load(); };
  hooks.takeDump = [&] { return dump.exchange(false); };
  hooks.ready = [&](const std::string& path) {
    std::lock_guard<std::mutex> guard(m);
    pty = path;
    settled = true;
    cv.notify_all();
  };
  hooks.afterCommand = [&](const Rom& rom) {
    if (rom.jumped() && !started.exchange(true)) bus.plug(options.loader);
  };
  hooks.extraState = [&] { return sLoaderState(options.loader, started.load()); };
  std::thread serial([&] {
    const int status = ServeSerial(options.rom, options.link, options.stateFile, hooks);
    std::lock_guard<std::mutex> guard(m);
    serialStatus = status;
    settled = true;
    cv.notify_all();
  });
  {
    std::unique_lock<std::mutex> guard(m);
    cv.wait_for(guard, std::chrono::milliseconds(kReadyTimeoutMs), [&] { return settled; });
  }
  std::string path;
  {
    std::lock_guard<std::mutex> guard(m);
    path = pty;
  }
  int code = sim::bed::kOwnFailure;
  if (path.empty()) {
    std::fprintf(stderr, "%s: the pseudo-terminal did not come up\n", kProgram);
  } else {
    setenv(kPtyVariable, path.c_str(), 1);
    code = sim::bed::RunCommand(options.command, options.lifetimeS, kProgram, kBedMark, [&] { dump = true; });
  }
  stop = true;
  serial.join();
  if (!bus.saveFlash(error)) std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
  return code == 0 && serialStatus != 0 ? 1 : code;
}

}  // namespace sdprom
