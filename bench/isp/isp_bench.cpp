// The bootloader link's throughput against a zero-latency virtual bootloader:
// erase, 16 KiB write, 16 KiB read-back and the compare, as one flash run does.
//
// Three views of the same 1538 transfers:
//   BM_FlashCycle    the whole stack: link, simulated world, virtual device;
//   BM_RawTransfers  the same transfers issued straight to the world, no link;
//   BM_LinkOnly      the link over a loopback whose pipe calls do nothing but
//                    copy bytes: the link's own cost per block.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "protocol/kv8b05_comm.h"
#include "sim/bootloader.h"
#include "sim/world.h"

namespace {

using namespace kv27;

constexpr int kBlocks = 2 * 256;                   // written and read back
constexpr int kTransfers = 2 + 3 * 256 + 3 * 256;  // erase, write, read

struct Bench {
  sim::World world;
  std::shared_ptr<sim::VirtualBootloader> boot = std::make_shared<sim::VirtualBootloader>();
  CKV8B05Comm link{world};
  std::vector<BYTE> image = std::vector<BYTE>(kIspFlashSize);
  std::vector<BYTE> back = std::vector<BYTE>(kIspFlashSize);

  Bench() {
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<BYTE>(i * 13 + 1);
    boot->SetWireLogEnabled(false);
    boot->Plug(world);
    if (link.Open(sim::kDefaultBootloaderPath) != 0) std::abort();
  }
};

void Report(benchmark::State& state) {
  state.counters["transfers/s"] = benchmark::Counter(kTransfers, benchmark::Counter::kIsIterationInvariantRate);
  // Time per 64-byte block, printed with an SI prefix (us = microseconds).
  state.counters["time/block"] =
      benchmark::Counter(kBlocks, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_FlashCycle(benchmark::State& state) {
  Bench b;
  for (auto _ : state) {
    DWORD written = 0, read = 0;
    bool ok = b.link.EraseFlash() && b.link.WriteFlash(b.image.data(), kIspFlashSize, written) &&
              b.link.ReadFlash(b.back.data(), kIspFlashSize, read) &&
              std::memcmp(b.image.data(), b.back.data(), kIspReservedOffset) == 0;
    if (!ok) state.SkipWithError("flash cycle failed");
    benchmark::DoNotOptimize(b.back.data());
  }
  Report(state);
}
BENCHMARK(BM_FlashCycle)->Unit(benchmark::kMillisecond);

// The same transfers with no link in between: the simulated world and the
// virtual device alone.
void BM_RawTransfers(benchmark::State& state) {
  Bench b;
  WINUSB_INTERFACE_HANDLE usb = b.link.winUsbHandle;
  for (auto _ : state) {
    UCHAR packet[10] = {0x25, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0};
    UCHAR block[64];
    UCHAR status = 0;
    ULONG n = 0;
    b.world.WinUsb_WritePipe(usb, 0x02, packet, 10, &n, nullptr);
    b.world.WinUsb_ReadPipe(usb, 0x81, &status, 1, &n, nullptr);
    for (DWORD offset = 0; offset < kIspFlashSize; offset += 64) {
      UCHAR write[10] = {0x28, 0, 0, 0, 0, UCHAR(offset >> 8), UCHAR(offset), 0, 0x40, 0};
      std::memcpy(block, b.image.data() + offset, 64);
      b.world.WinUsb_WritePipe(usb, 0x02, write, 10, &n, nullptr);
      b.world.WinUsb_WritePipe(usb, 0x02, block, 64, &n, nullptr);
      b.world.WinUsb_ReadPipe(usb, 0x81, &status, 1, &n, nullptr);
    }
    for (DWORD offset = 0; offset < kIspFlashSize; offset += 64) {
      UCHAR read[10] = {0x2A, 0, 0, 0, 0, UCHAR(offset >> 8), UCHAR(offset), 0, 0x40, 0};
      b.world.WinUsb_WritePipe(usb, 0x02, read, 10, &n, nullptr);
      b.world.WinUsb_ReadPipe(usb, 0x81, b.back.data() + offset, 64, &n, nullptr);
      b.world.WinUsb_ReadPipe(usb, 0x81, &status, 1, &n, nullptr);
    }
    if (std::memcmp(b.image.data(), b.back.data(), kIspReservedOffset) != 0) state.SkipWithError("mismatch");
    benchmark::DoNotOptimize(b.back.data());
  }
  Report(state);
}
BENCHMARK(BM_RawTransfers)->Unit(benchmark::kMillisecond);

// Pipe calls answered in place: the command packet sets the offset, a write
// block lands in a plain array, a 64-byte read returns it, status is 0.
class LoopbackWorld : public sim::World {
 public:
  BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR buffer, ULONG length, PULONG transferred,
                        OVERLAPPED*) override {
    if (length == kIspPacketSize) {
      offset_ = (DWORD{buffer[5]} << 8 | buffer[6]) % kIspFlashSize;
      if (buffer[0] == kIspCmdErase) std::memset(flash_, 0xFF, sizeof flash_);
    } else if (length == kIspBlockSize) {
      std::memcpy(flash_ + offset_, buffer, kIspBlockSize);
    }
    *transferred = length;
    return TRUE;
  }
  BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR buffer, ULONG length, PULONG transferred,
                       OVERLAPPED*) override {
    if (length == kIspBlockSize)
      std::memcpy(buffer, flash_ + offset_, kIspBlockSize);
    else
      std::memset(buffer, 0, length);
    *transferred = length;
    return TRUE;
  }

 private:
  DWORD offset_ = 0;
  BYTE flash_[kIspFlashSize] = {};
};

void BM_LinkOnly(benchmark::State& state) {
  LoopbackWorld world;
  auto boot = std::make_shared<sim::VirtualBootloader>();
  boot->Plug(world);  // only for the open
  CKV8B05Comm link(world);
  if (link.Open(sim::kDefaultBootloaderPath) != 0) std::abort();
  std::vector<BYTE> image(kIspFlashSize), back(kIspFlashSize);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<BYTE>(i * 13 + 1);
  for (auto _ : state) {
    DWORD written = 0, read = 0;
    bool ok = link.EraseFlash() && link.WriteFlash(image.data(), kIspFlashSize, written) &&
              link.ReadFlash(back.data(), kIspFlashSize, read) &&
              std::memcmp(image.data(), back.data(), kIspReservedOffset) == 0;
    if (!ok) state.SkipWithError("flash cycle failed");
    benchmark::DoNotOptimize(back.data());
  }
  Report(state);
}
BENCHMARK(BM_LinkOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
