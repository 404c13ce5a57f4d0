// The mouse's user-data read against a zero-latency virtual mouse, through the
// mouse link's reader thread: seven pages, 448 flash-read exchanges per
// iteration.
//
//   BM_ReadUserData  real time and process CPU time (both threads) of the
//                    whole read; median_us is the median time of one exchange,
//                    from the start of one request to the start of the next,
//                    over every exchange measured.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

#include "protocol/kv27_usb_comm.h"
#include "sim/usb_tree.h"
#include "sim/virtual_mouse.h"
#include "sim/world.h"

namespace {

using namespace kv27;
using Clock = std::chrono::steady_clock;

// Notes when each request starts.
class TimedLink : public CKV27USBComm {
 public:
  using CKV27USBComm::CKV27USBComm;
  using CKV27USBComm::Write;
  std::int32_t Write(const void* buffer, DWORD length, DWORD* transferred, OVERLAPPED* overlapped,
                     DWORD timeoutMs) override {
    starts.push_back(Clock::now());
    return CKV27USBComm::Write(buffer, length, transferred, overlapped, timeoutMs);
  }
  std::vector<Clock::time_point> starts;
};

void BM_ReadUserData(benchmark::State& state) {
  sim::World world;
  sim::UsbTree tree(world);
  sim::UsbController hc = tree.AddController(0, 4);
  auto mouse = sim::VirtualMouse::Create(world, hc.Root().Port(2), sim::VirtualMouse::FactoryFlash());
  mouse->Plug();
  mouse->Collection(sim::kMouseCommandCollection)->SetOutputLogEnabled(false);
  auto link = std::make_unique<TimedLink>(world);
  if (link->Start(mouse->CommandPath().c_str()) != 0) std::abort();
  link->starts.reserve(1 << 20);

  std::vector<double> exchanges;
  BYTE block[256];
  for (auto _ : state) {
    link->starts.clear();
    for (BYTE page = 0; page < 7; ++page) {
      if (link->ReadUserData(page, block) != 1) {
        state.SkipWithError("read failed");
        break;
      }
    }
    link->starts.push_back(Clock::now());
    for (std::size_t i = 1; i < link->starts.size(); ++i)
      exchanges.push_back(std::chrono::duration<double, std::micro>(link->starts[i] - link->starts[i - 1]).count());
  }
  link.reset();
  mouse->Unplug();
  if (exchanges.empty()) return;
  std::nth_element(exchanges.begin(), exchanges.begin() + exchanges.size() / 2, exchanges.end());
  state.counters["median_us"] = exchanges[exchanges.size() / 2];
  state.counters["exchanges"] = static_cast<double>(exchanges.size());
}
BENCHMARK(BM_ReadUserData)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
