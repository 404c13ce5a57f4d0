// Round trips over a started HID link against a zero-latency virtual device
// that echoes every output report as an input report.
//
// One round trip is what one step of the mouse's user-data read does: an
// 8-byte output report written with Write (no OVERLAPPED, 1000 ms time-out),
// and the answering input report handed to OnInputReport on the reader
// thread, which signals an auto-reset event the writer waits on.
//
//   BM_RoundTrip   write, reader thread, handler, event: round trips per
//                  second, the median latency, and 448 of them (one upgrade's
//                  worth of exchanges) at that median;
//   BM_WriteOnly   the write alone, to a device that answers nothing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

#include "hid/hid_comm_wnd.h"
#include "sim/hid_device.h"
#include "sim/world.h"

namespace {

using namespace kv27;

constexpr USHORT kVid = 0x4E5B;
constexpr USHORT kPid = 0x002A;
constexpr int kExchangesPerUpgrade = 448;

class SignallingLink : public CHIDCommWnd {
 public:
  SignallingLink(OsApi& os, HANDLE event) : CHIDCommWnd(os), os_(os), event_(event) {}
  ~SignallingLink() override { Close(); }
  bool OnInputReport(const BYTE* report, DWORD length) override {
    os_.SetEvent(event_);
    return true;
  }

 private:
  OsApi& os_;
  HANDLE event_;
};

template <typename Collection>
struct Bench {
  sim::World world;
  std::shared_ptr<Collection> device =
      std::make_shared<Collection>(kVid, kPid, USHORT{1}, sim::MakeHidDescription(0xFFB4, 0x0001, 8, 8));
  HANDLE reply = world.CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::unique_ptr<SignallingLink> link;

  Bench() {
    const std::u16string path = sim::HidInterfacePath(kVid, kPid, 1, 0);
    device->SetOutputLogEnabled(false);
    world.Attach(path, device, GUID_DEVINTERFACE_HID);
    link = std::make_unique<SignallingLink>(world, reply);
    if (link->Start(path.c_str()) != 0) std::abort();
  }
  ~Bench() {
    link.reset();
    world.CloseHandle(reply);
  }
};

void BM_RoundTrip(benchmark::State& state) {
  Bench<sim::HidEchoCollection> b;
  std::vector<double> latencies;
  latencies.reserve(1 << 20);
  BYTE report[8] = {0xB4, 0x02, 0x00, 0x04, 0x00, 0, 0, 0};
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    ++report[2];
    if (b.link->Write(report, 8, nullptr, nullptr, 1000) != 0 ||
        b.world.WaitForSingleObject(b.reply, 1000) != WAIT_OBJECT_0) {
      state.SkipWithError("round trip failed");
      break;
    }
    latencies.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  if (latencies.empty()) return;
  std::nth_element(latencies.begin(), latencies.begin() + latencies.size() / 2, latencies.end());
  const double median = latencies[latencies.size() / 2];
  state.counters["round_trips/s"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["median_us"] = median;
  state.counters["upgrade_448_ms"] = median * kExchangesPerUpgrade / 1000.0;
}
BENCHMARK(BM_RoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_WriteOnly(benchmark::State& state) {
  Bench<sim::HidCollection> b;
  const BYTE report[8] = {0xB4, 0x02, 0x00, 0x04, 0x00, 0, 0, 0};
  for (auto _ : state) {
    if (b.link->Write(report, 8, nullptr, nullptr, 1000) != 0) {
      state.SkipWithError("write failed");
      break;
    }
  }
  state.counters["writes/s"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_WriteOnly)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
