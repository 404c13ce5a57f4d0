// One Refresh over a large, unchanged USB topology: 10 host controllers, three
// tiers of external hubs below each root hub, 200 devices in all.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "sim/usb_tree.h"
#include "sim/world.h"
#include "usbmon/usb_device_monitor.h"

namespace {

using kv27::CUSBDeviceMonitor;
using kv27::sim::UsbHub;

// Per controller: root hub (4 ports) -> hub (5 ports) -> 2 hubs (4 ports) ->
// one hub (4 ports) each; every other port carries a device. 20 devices.
void BuildController(kv27::sim::UsbTree& tree, int number, std::uint16_t& nextPid) {
  UsbHub root = tree.AddController(number, 4).Root();
  UsbHub tier1 = root.Port(1).PlugHub(5);
  for (int p = 1; p <= 2; ++p) {
    UsbHub tier2 = tier1.Port(p).PlugHub(4);
    UsbHub tier3 = tier2.Port(1).PlugHub(4);
    for (int q = 1; q <= 4; ++q) tier3.Port(q).Plug(0x1234, nextPid++);
    for (int q = 2; q <= 4; ++q) tier2.Port(q).Plug(0x1234, nextPid++);
  }
  for (int p = 3; p <= 5; ++p) tier1.Port(p).Plug(0x1234, nextPid++);
  for (int p = 2; p <= 4; ++p) root.Port(p).Plug(0x1234, nextPid++);
}

void BM_RefreshUnchangedTree(benchmark::State& state) {
  kv27::sim::World world;
  kv27::sim::UsbTree tree(world);
  std::uint16_t pid = 1;
  for (int n = 0; n < 10; ++n) BuildController(tree, n, pid);
  CUSBDeviceMonitor monitor(world);
  monitor.Refresh();
  if (monitor.OccupiedCount() != 200) {
    state.SkipWithError("the tree does not hold 200 devices");
    return;
  }

  const std::uint64_t ioctls = world.CallCount("DeviceIoControl");
  const std::uint64_t opens = world.CallCount("CreateFileW");
  for (auto _ : state) monitor.Refresh();
  const auto runs = static_cast<double>(state.iterations());
  state.counters["devices"] = monitor.OccupiedCount();
  state.counters["ioctls_per_refresh"] = static_cast<double>(world.CallCount("DeviceIoControl") - ioctls) / runs;
  state.counters["opens_per_refresh"] = static_cast<double>(world.CallCount("CreateFileW") - opens) / runs;
  if (!world.LeakReport().empty()) state.SkipWithError("handles left open");
}
BENCHMARK(BM_RefreshUnchangedTree)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
