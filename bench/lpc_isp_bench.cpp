// Programming a 64 KiB image into corvalith-lpc-rom at 115200 bit/s, with our
// ISP client and with lpc21isp on the same simulated ROM in the same run:
//   BM_ClientWrite            sync, unlock, erase, program in 4096-byte chunks
//   BM_ClientWriteReadBack    the same plus reading the flash back and comparing
//   BM_Lpc21ispWrite          lpc21isp -bin IMAGE PTY 115200 14746
//   BM_Lpc21ispWriteVerify    the same with -verify
// Each iteration gets a fresh ROM (started outside the timing), so every run
// starts from erased flash and a chip waiting for "?".
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "loaders/NXPSerialClass.h"
#include "support/LpcRomProcess.h"
#include "support/RunProcess.h"
#include "support/TempFiles.h"

namespace {

constexpr uint32_t kImageSize = 64 * 1024;
constexpr uint32_t kRate = 115200;
constexpr int kIspToolTimeoutMs = 300000;
const char kIspTool[] = "/usr/bin/lpc21isp";

// Random bytes with the vector checksum in word 7, so lpc21isp writes the
// file unchanged.
std::vector<uint8_t> sImage() {
  std::mt19937 random(64);
  std::vector<uint8_t> image(kImageSize);
  for (uint8_t& b : image) b = static_cast<uint8_t>(random());
  uint32_t words[7];
  std::memcpy(words, image.data(), sizeof words);
  uint32_t check = 0;
  for (uint32_t w : words) check -= w;
  std::memcpy(image.data() + 28, &check, 4);
  return image;
}

bool sFlashMatches(const LpcRomProcess& rom, const std::vector<uint8_t>& image) {
  LpcRomState state;
  return rom.readState(&state) && state.flash.size() >= image.size() &&
         std::memcmp(state.flash.data(), image.data(), image.size()) == 0;
}

void sClient(benchmark::State& state, bool readBack) {
  const std::vector<uint8_t> image = sImage();
  TempDir dir;
  for (auto _ : state) {
    state.PauseTiming();
    LpcRomProcess rom;
    if (!rom.start({}, dir / "state.json")) return state.SkipWithError("corvalith-lpc-rom did not start");
    state.ResumeTiming();
    NXPSerialClass client;
    std::vector<uint8_t> back(kImageSize);
    uint32_t last = NXPSerialClass::SectorFromAddress(kImageSize - 1);
    aErr err = client.Connect(rom.pty().c_str(), kRate);
    if (err == aErrNone) err = client.Sync();
    if (err == aErrNone) err = client.Unlock();
    if (err == aErrNone) err = client.SetEcho(false);
    if (err == aErrNone) err = client.Prepare(0, last);
    if (err == aErrNone) err = client.Erase(0, last);
    if (err == aErrNone) err = client.ProgramFlash(0, image.data(), kImageSize);
    if (err == aErrNone && readBack) err = client.Read(0, kImageSize, back.data());
    if (err != aErrNone) return state.SkipWithError(aError_GetErrorText(err));
    if (readBack && back != image) return state.SkipWithError("read-back differs");
    state.PauseTiming();
    (void)client.Disconnect();
    rom.stop();
    if (!sFlashMatches(rom, image)) return state.SkipWithError("flash differs from the image");
    state.ResumeTiming();
  }
}

void sIspTool(benchmark::State& state, bool verify) {
  if (access(kIspTool, X_OK) != 0) return state.SkipWithError("lpc21isp is not installed");
  const std::vector<uint8_t> image = sImage();
  TempDir dir;
  const std::string file = dir / "image.bin";
  WriteBytes(file, image);
  std::vector<std::string> args{"-bin", file, "", std::to_string(kRate), "14746"};
  if (verify) args.insert(args.begin() + 1, "-verify");
  ProcessOptions options;
  options.timeoutMs = kIspToolTimeoutMs;
  for (auto _ : state) {
    state.PauseTiming();
    LpcRomProcess rom;
    if (!rom.start({}, dir / "state.json")) return state.SkipWithError("corvalith-lpc-rom did not start");
    args[args.size() - 3] = rom.pty();
    state.ResumeTiming();
    ProcessResult run = RunProcess(kIspTool, args, options);
    state.PauseTiming();
    rom.stop();
    if (run.exitCode != 0) return state.SkipWithError("lpc21isp failed");
    if (!sFlashMatches(rom, image)) return state.SkipWithError("flash differs from the image");
    state.ResumeTiming();
  }
}

void BM_ClientWrite(benchmark::State& state) {
  sClient(state, false);
}
void BM_ClientWriteReadBack(benchmark::State& state) {
  sClient(state, true);
}
void BM_Lpc21ispWrite(benchmark::State& state) {
  sIspTool(state, false);
}
void BM_Lpc21ispWriteVerify(benchmark::State& state) {
  sIspTool(state, true);
}

BENCHMARK(BM_ClientWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Lpc21ispWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ClientWriteReadBack)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Lpc21ispWriteVerify)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
