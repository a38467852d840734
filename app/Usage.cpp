#include "app/Usage.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "updater/report/Log.h"

#ifndef CORVALITH_VERSION
#error "CORVALITH_VERSION must be defined by the build (the project version)"
#endif

namespace {

constexpr const char* kProgramName = "Updater";
constexpr int kFirstCopyrightYear = 2019;
constexpr int kOptionColumn = 25;
constexpr size_t kContinuationIndent = 32;
constexpr size_t kSampleColumn = 31;

struct Entry {
  const char* option;
  std::initializer_list<const char*> lines;
  bool blankAfter;
};

void sAppendEntry(std::string& out, const Entry& e) {
  bool first = true;
  for (const char* line : e.lines) {
    if (first) {
      char head[64];
      snprintf(head, sizeof(head), "     %-*s- ", kOptionColumn, e.option);
      out += head;
      first = false;
    } else {
      out.append(kContinuationIndent, ' ');
    }
    out += line;
    out += '\n';
  }
  if (e.blankAfter) out += '\n';
}

void sAppendPackages(std::string& out) {
  struct Package {
    const char* name;
    uint32_t bit;
  };
  // Groups as the log packages are laid out: updater, network, NXP serial,
  // front end, i.MX serial.
  static const std::initializer_list<Package> groups[] = {
      {{"DEBUG_Updater", DEBUG_Updater},
       {"DEBUG_History", DEBUG_History},
       {"DEBUG_Attributes", DEBUG_Attributes},
       {"DEBUG_BirdFile", DEBUG_BirdFile},
       {"DEBUG_Network", DEBUG_Network_Legacy},
       {"DEBUG_ServerComm", DEBUG_ServerComm}},
      {{"DEBUG_Network", DEBUG_Network},
       {"DEBUG_Network_SR", DEBUG_Network_SR},
       {"DEBUG_Network_FIRM", DEBUG_Network_FIRM}},
      {{"DEBUG_NXPSerial", DEBUG_NXPSerial},
       {"DEBUG_NXPSerial_E", DEBUG_NXPSerial_E},
       {"DEBUG_NXPSerial_SR", DEBUG_NXPSerial_SR}},
      {{"DEBUG_APP", DEBUG_APP}},
      {{"DEBUG_iMXSerial", DEBUG_iMXSerial}},
  };
  bool firstGroup = true;
  for (const auto& group : groups) {
    if (!firstGroup) out += '\n';
    firstGroup = false;
    for (const Package& p : group) {
      char line[64];
      snprintf(line, sizeof(line), "%-20s0x%08X\n", p.name, p.bit);
      out.append(kContinuationIndent, ' ');
      out += line;
    }
  }
}

void sAppendSample(std::string& out, const char* command, std::initializer_list<const char*> lines) {
  std::string head = std::string("  ") + command;
  if (head.size() < kSampleColumn) {
    head.resize(kSampleColumn, ' ');
  } else {
    head += '\n';
    head.append(kSampleColumn, ' ');
  }
  bool first = true;
  for (const char* line : lines) {
    if (first) {
      out += head;
      first = false;
    } else {
      out.append(kSampleColumn, ' ');
    }
    out += line;
    out += '\n';
  }
  out += '\n';
}

}  // namespace

std::string VersionText() {
  return std::string("Version: ") + CORVALITH_VERSION + " " + __DATE__;
}

std::string VersionLine() {
  char line[128];
  snprintf(line, sizeof(line), "%s (%s)", kProgramName, VersionText().c_str());
  return line;
}

std::string MakerNotice() {
  // __DATE__ is "Mmm dd yyyy".
  const char* date = __DATE__;
  int year = atoi(date + strlen(date) - 4);
  char line[96];
  if (year > kFirstCopyrightYear) {
    snprintf(line, sizeof(line), "(Copyright (c) %d-%d Tessaron)", kFirstCopyrightYear, year);
  } else {
    snprintf(line, sizeof(line), "(Copyright (c) %d Tessaron)", kFirstCopyrightYear);
  }
  return line;
}

std::string UsageText(bool longForm, bool extended) {
  std::string out;
  char header[512];
  snprintf(
      header, sizeof(header),
      "\nApplication Usage:\n%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n    [-d serial_num]\n"
      "    [-t transport] [-r router_serial]\n    [-s serial_port] [-o baud_rate]\n\n"
      "  Corvalith Update and Maintenance Application\n"
      "    -H -h or --help for full usage information.\n\n",
      kProgramName);
  out += header;
  if (!longForm) return out;

  out += "  Parameters to commands:\n";
  sAppendEntry(out,
               {"-i <tessaron_directory>",
                {"The Tessaron directory used for storage of firmware files.", "[Default: ~/.tessaron ]."},
                false});
  sAppendEntry(out, {"-b <build number>",
                     {"Build version of the firmware to transfer.", "[Default: latest version available]."},
                     false});
  sAppendEntry(out, {"-d <device>", {"Device serial number of the device to access."}, false});
  sAppendEntry(out, {"-t <transport type>", {"communications method [USB,TCP,RECOVER]."}, false});
  sAppendEntry(out, {"-f <bird file>", {"Firmware file to be transferred to device."}, false});
  sAppendEntry(out, {"-r <router serial>", {"indirect connection through router device"}, false});
  sAppendEntry(out, {"-s <serial port>", {"name of serial port to use for recovery"}, false});
  sAppendEntry(out, {"-o <baud rate>",
                     {"baud rate for serial port", "(2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)"},
                     false});

  out += "  Commands:\n";
  sAppendEntry(out, {"-B", {"list the Builds available for given device."}, true});
  sAppendEntry(out, {"-L", {"list the local Builds available for given device."}, true});
  sAppendEntry(out, {"-D", {"Discover devices that are currently connected."}, true});
  sAppendEntry(
      out, {"-G",
            {"Get build file from the Tessaron server and store on local", "machine for download to device.",
             "Must specify a specific device [\"-d\" option].",
             "Default is to obtain the latest build for the given device,", "override with \"-b\" option."},
            true});
  sAppendEntry(
      out, {"-U",
            {"Update the firmware on device specified.", "Must specify a specific device [\"-d\" option].",
             "Default is to download the latest build for the given device,",
             "override with \"-b\" option or specify specific BIRD file", "using \"-f\" option."},
            false});
  sAppendEntry(out, {"-J", {"Get a JWT containing the devices software features"}, false});
  sAppendEntry(out, {"-H or -h", {"Display extended usage information."}, true});

  if (extended) {
    out += "  Extended Parameters:\n";
    sAppendEntry(out, {"-e", {"echoing of bytes enabled during recovery."}, true});
    sAppendEntry(out, {"-m", {"Attemps to use UEIBytes for faster loading"}, false});
    sAppendEntry(out, {"-l 'log message'", {"message to place in device history log"}, false});
    sAppendEntry(out,
                 {"-k <filename>", {"log messages written into given filename", "Default:[APP.log]"}, false});
    sAppendEntry(
        out,
        {"-u <host:port>", {"The hostname and port of the update server", "Default:127.0.0.1:8490"}, false});

    out += "  Extended Commands:\n";
    sAppendEntry(out, {"-I",
                       {"View stored device information.", "Must either use DISCOVER command [\"-D\"] or",
                        "specify a specific device [\"-d\" option]."},
                       true});
    sAppendEntry(out,
                 {"-OVERRIDE",
                  {"Override the model checks for BIRD firmware files.",
                   "This option should only be used when authorized by", "Tessaron development engineers."},
                  true});
    sAppendEntry(out, {"-N", {"Get fingerprint from a device, requires -s"}, true});
    sAppendEntry(out, {"-X <BIT_MASK>", {"Bitmask for Logging"}, false});
    sAppendPackages(out);
    out += '\n';
    sAppendEntry(out, {"-C", {"Check the given BIRDFILE"}, true});
  }

  out += " Sample usage:\n";
  sAppendSample(
      out, "-D",
      {"Discover all devices connected by USB or TCPIP", "and record them in the device settings."});
  sAppendSample(out, "-D -t USB",
                {"Discover all devices connected by USB", "and record them in the device settings."});
  sAppendSample(out, "-D -t USB -d 0F5849A", {"Settings of the device with serial number 0x40F5849A."});
  sAppendSample(
      out, "-G -d 40F5849A",
      {"Download the latest firmware for device 40F5849A", "into its directory in the local store."});
  sAppendSample(out, "-U -d 40F5849A", {"Update device 40F5849A to the latest firmware found."});
  sAppendSample(out, "-G -d 40F5849A -b 99528558",
                {"Download build 99528558 for device 40F5849A;", "builds are named by their build number."});
  sAppendSample(out, "-G -U -d 40F5849A",
                {"Download the latest firmware for device 40F5849A", "and update the device with it."});
  sAppendSample(out, "-U -t RECOVER -s /dev/serial", {"Update the firmware over the serial interface."});
  out += " Sample usage for network discovery and updates:\n";
  sAppendSample(out, "-D -r D272031D",
                {"Discover all devices on the I2C Corvalith network", "of routing device D272031D."});
  sAppendSample(
      out, "-G -U -d 2181F0EE -r D272031D",
      {"Get the latest firmware for device 2181F0EE and update it", "through routing device D272031D."});
  return out;
}
