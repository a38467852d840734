// birdtool: builds BIRD firmware files for the updater from binary images.
//
//   birdtool pack -o OUT --build N --version TEXT --model NAME [--serial HEX]
//                 [--loader ADDR:FILE[:FLAGS]]... --firmware ADDR:FILE[:FLAGS]...
//                 [--serial-offsets SERIAL_ADDR:DESCRIPTOR_ADDR] [--loader-start ADDR]
//                 [--chip-key 'W0 W1 W2 W3']
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/BirdWriter.h"
#include "updater/BirdFile.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
// Payload bytes of the block that ends a recovery image's firmware.
constexpr size_t kEndBlockSize = 4;

const char* const kUsage =
    "Usage:\n"
    "  birdtool pack -o OUT --build N --version TEXT --model NAME [--serial HEX]\n"
    "                [--loader ADDR:FILE[:FLAGS]]... --firmware ADDR:FILE[:FLAGS]...\n"
    "                [--serial-offsets SERIAL_ADDR:DESCRIPTOR_ADDR] [--loader-start ADDR]\n"
    "                [--chip-key 'W0 W1 W2 W3']\n"
    "  birdtool --help\n"
    "\n"
    "Writes a BIRD firmware file: a descriptor (build number, version text of at\n"
    "most 15 characters, serial number, model name of at most 16 characters),\n"
    "loader and firmware blocks in the order given, each the contents of FILE to\n"
    "be placed at ADDR with the block flags FLAGS (0-7, default 0), an optional\n"
    "serial-offsets block (addresses at which the updater stamps a device's serial\n"
    "number word and text; makes the image generic) and an optional loader start\n"
    "address for recovery. Addresses take 0x for hexadecimal; the serial number is\n"
    "always hexadecimal.\n"
    "\n"
    "--chip-key makes a recovery image for one LPC chip: the firmware payloads are\n"
    "encoded with the chip's fingerprint (four hexadecimal words, as Updater -N\n"
    "prints them) and a 4-byte end block follows the last firmware block.\n";

// Chain encoding that the recovery flow undoes with the chip's fingerprint:
// each stored byte is the plain byte XOR the key byte XOR the plain byte
// before it.
std::vector<uint8_t> sChipKeyed(const std::vector<uint8_t>& plain, const uint8_t (&key)[16]) {
  std::vector<uint8_t> stored(plain.size());
  uint8_t previous = 0;
  for (size_t i = 0; i < plain.size(); ++i) {
    stored[i] = static_cast<uint8_t>(plain[i] ^ key[i % sizeof key] ^ previous);
    previous = plain[i];
  }
  return stored;
}

struct PackError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

uint32_t sNumber(const std::string& text, int base, const char* what) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
    throw PackError(std::string("invalid ") + what + " '" + text + "'");
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull) {
    throw PackError(std::string("invalid ") + what + " '" + text + "'");
  }
  return static_cast<uint32_t>(value);
}

std::vector<uint8_t> sReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PackError("cannot read '" + path + "'");
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw PackError("cannot read '" + path + "'");
  return bytes;
}

// ADDR:FILE[:FLAGS]. The file name may itself hold colons when flags follow.
void sAddImage(BirdWriter& writer, bool loader, const std::string& spec, const uint8_t (*key)[16]) {
  const size_t first = spec.find(':');
  if (first == std::string::npos || first == 0 || first + 1 == spec.size()) {
    throw PackError("expected ADDR:FILE[:FLAGS], got '" + spec + "'");
  }
  const uint32_t address = sNumber(spec.substr(0, first), 0, "address");
  std::string file = spec.substr(first + 1);
  uint32_t flags = 0;
  const size_t last = file.rfind(':');
  if (last != std::string::npos && last + 1 < file.size() &&
      file.find_first_not_of("0123456789", last + 1) == std::string::npos) {
    flags = sNumber(file.substr(last + 1), 10, "flags");
    file.resize(last);
  }
  if (flags > 7) throw PackError("block flags must be 0 to 7");
  const std::vector<uint8_t> payload = sReadFile(file);
  if (loader) {
    writer.AddLoader(address, payload, static_cast<uint8_t>(flags));
  } else {
    writer.AddFirmware(address, key ? sChipKeyed(payload, *key) : payload, static_cast<uint8_t>(flags));
  }
}

int sPack(int argc, char** argv) {
  BirdWriter writer;
  std::string out;
  std::string build;
  std::string version;
  std::string model;
  bool versionGiven = false;
  bool modelGiven = false;
  uint32_t serialNumber = 0;
  std::vector<std::string> firmware;
  bool keyed = false;
  uint8_t key[16] = {};
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (i + 1 >= argc) throw PackError("missing value for " + option);
    const std::string value = argv[++i];
    if (option == "-o" || option == "--output") {
      out = value;
    } else if (option == "--build") {
      build = value;
    } else if (option == "--version") {
      version = value;
      versionGiven = true;
    } else if (option == "--model") {
      model = value;
      modelGiven = true;
    } else if (option == "--serial") {
      std::string digits = value;
      if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits.erase(0, 2);
      serialNumber = sNumber(digits, 16, "serial number");
    } else if (option == "--loader") {
      sAddImage(writer, true, value, nullptr);
    } else if (option == "--firmware") {
      firmware.push_back(value);
    } else if (option == "--chip-key") {
      std::istringstream words(value);
      std::string word;
      for (int w = 0; w < 4; ++w) {
        if (!(words >> word)) throw PackError("expected four hexadecimal words, got '" + value + "'");
        const uint32_t v = sNumber(word, 16, "key word");
        for (int b = 0; b < 4; ++b) key[w * 4 + b] = static_cast<uint8_t>(v >> (24 - 8 * b));
      }
      if (words >> word) throw PackError("expected four hexadecimal words, got '" + value + "'");
      keyed = true;
    } else if (option == "--serial-offsets") {
      const size_t colon = value.find(':');
      if (colon == std::string::npos)
        throw PackError("expected SERIAL_ADDR:DESCRIPTOR_ADDR, got '" + value + "'");
      writer.SetSerialOffsets(sNumber(value.substr(0, colon), 0, "address"),
                              sNumber(value.substr(colon + 1), 0, "address"));
    } else if (option == "--loader-start") {
      writer.SetLoaderStart(sNumber(value, 0, "address"));
    } else {
      throw PackError("unknown option " + option);
    }
  }
  if (out.empty()) throw PackError("no output file (-o)");
  if (build.empty()) throw PackError("no build number (--build)");
  if (!versionGiven) throw PackError("no version text (--version)");
  if (!modelGiven) throw PackError("no model name (--model)");
  if (firmware.empty()) throw PackError("no firmware block (--firmware)");
  for (const std::string& spec : firmware) sAddImage(writer, false, spec, keyed ? &key : nullptr);
  if (keyed) writer.AddFirmware(0, std::vector<uint8_t>(kEndBlockSize, 0xFF));
  writer.SetDescriptor(sNumber(build, 10, "build number"), version, serialNumber, model);

  const std::vector<uint8_t> image = writer.FileImage();
  // Read the result back the way the updater will before it replaces anything.
  BirdFile check;
  if (!check.LoadFromMemory(image.data(), image.size()) || !check.scanClean) {
    throw PackError("the written image does not read back: " + check.problem);
  }
  const aErr err = writer.Write(out);
  if (err != aErrNone) throw PackError("cannot write '" + out + "' (error " + std::to_string(err) + ")");
  std::printf("%s: %u blocks, %zu bytes\n", out.c_str(), check.blockCount, image.size());
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return kExitFailure;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command != "pack") {
    std::fprintf(stderr, "birdtool: unknown command '%s'\n%s", command.c_str(), kUsage);
    return kExitFailure;
  }
  try {
    return sPack(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "birdtool: %s\n", e.what());
    return kExitFailure;
  }
}
