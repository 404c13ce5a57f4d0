// The seeded soak: whole upgrades with faults drawn at random from what the
// simulated devices can do, unasked mouse reports at random moments, and the
// mouse pulled out and plugged in again at random times, each run under the
// checks of the fault matrix. A failure names its seed; KV_SOAK_SEED=N runs
// that seed alone, KV_SOAK_RUNS=N sets how many seeds run (default 100, from
// seed 1).
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "sim/world.h"
#include "tests/reliability/heap_count.h"
#include "tests/reliability/upgrade_harness.h"

namespace kv27::test {
namespace {

unsigned long EnvNumber(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == 0) return fallback;
  return std::strtoul(text, nullptr, 10);
}

// Draws the run's troubles; returns a line that says what was drawn.
std::string Draw(std::mt19937& rng, UpgradeBench& bench) {
  auto pick = [&rng](unsigned lo, unsigned hi) { return std::uniform_int_distribution<unsigned>(lo, hi)(rng); };
  auto chance = [&rng](double p) { return std::bernoulli_distribution(p)(rng); };
  sim::VirtualMouse& mouse = bench.mouse();
  auto boot = mouse.Bootloader();
  std::string drawn;
  auto note = [&drawn](const std::string& what) { drawn += what + "; "; };

  const unsigned faults = pick(0, 2);
  for (unsigned i = 0; i < faults; ++i) {
    const UCHAR page = static_cast<UCHAR>(pick(0, 6));
    const UCHAR offset = static_cast<UCHAR>(pick(0, 63) * 4);
    const unsigned block = pick(0, 255);
    switch (pick(0, 19)) {
      case 0:
        mouse.DropReply(page, offset);
        note("DropReply");
        break;
      case 1:
        mouse.EchoOffset(page, offset, static_cast<UCHAR>(offset ^ 4));
        note("EchoOffset");
        break;
      case 2: {
        const unsigned ms = pick(0, 2'000);
        mouse.DelayReply(page, offset, ms);
        note("DelayReply " + std::to_string(ms));
        break;
      }
      case 3:
        mouse.UnplugAfterRead(page, offset);
        note("UnplugAfterRead");
        break;
      case 4:
        if (chance(0.2)) {
          mouse.HangWrites();
          note("HangWrites");
        }
        break;
      case 5:
        if (chance(0.1)) {  // costs the whole ten-minute search (virtual)
          mouse.IgnoreBootloaderRequest(true);
          note("IgnoreBootloaderRequest");
        }
        break;
      case 6:
        if (chance(0.1)) {
          mouse.BootloaderDriverMissing(true);
          note("BootloaderDriverMissing");
        }
        break;
      case 7: {
        const unsigned ms = pick(0, 20'000);
        mouse.SetReenumerationDelay(ms);
        note("ReenumerationDelay " + std::to_string(ms));
        break;
      }
      case 8: {
        const unsigned n = pick(1, 40);
        boot->RefuseOpens(n);
        note("RefuseOpens " + std::to_string(n));
        break;
      }
      case 9: {
        const UCHAR command = std::array<UCHAR, 3>{0x25, 0x28, 0x2A}[pick(0, 2)];
        boot->FailStatus(command, command == 0x25 ? 0 : block);
        note("FailStatus");
        break;
      }
      case 10:
        boot->ShortCommandPacket(pick(1, 516));
        note("ShortCommandPacket");
        break;
      case 11:
        boot->ShortBlockRead(pick(1, 256));
        note("ShortBlockRead");
        break;
      case 12:
        boot->ShortStatusRead(pick(1, 513));
        note("ShortStatusRead");
        break;
      case 13:
        boot->ShortBlockWrite(pick(1, 256));
        note("ShortBlockWrite");
        break;
      case 14:
        boot->LeaveDuringWrite(block);
        note("LeaveDuringWrite");
        break;
      case 15:
        boot->StuckBits(pick(0, 0x3FFF), static_cast<std::uint8_t>(pick(1, 255)));
        note("StuckBits");
        break;
      case 16: {
        const unsigned ms = pick(0, 8'000);
        boot->SetEraseDelay(ms);
        note("EraseDelay " + std::to_string(ms));
        break;
      }
      default: {
        static const char* const kCalls[] = {"WinUsb_ReadPipe", "WinUsb_WritePipe", "CreateFileW",
                                             "WriteFile",       "ReadFile",         "DeviceIoControl"};
        static const DWORD kErrors[] = {ERROR_GEN_FAILURE, ERROR_SEM_TIMEOUT, ERROR_DEVICE_NOT_CONNECTED,
                                        ERROR_ACCESS_DENIED};
        const char* call = kCalls[pick(0, 5)];
        const DWORD error = kErrors[pick(0, 3)];
        const unsigned nth = pick(1, 800);
        const unsigned times = pick(0, 3);
        bench.world.InjectFault({call, error, nth, times, u""});
        note(std::string("InjectFault ") + call + " " + std::to_string(error) + " nth " + std::to_string(nth) +
             " times " + std::to_string(times));
        break;
      }
    }
  }

  // Unasked reports: after every few answers, and at random moments.
  if (chance(0.5)) {
    const unsigned every = pick(1, 7);
    mouse.ModeInfoAfterAnswers(every);
    note("mode info after every " + std::to_string(every) + " answers");
  }
  std::weak_ptr<sim::VirtualMouse> weak = bench.rig().mouseShared();
  for (unsigned i = pick(0, 4); i > 0; --i) {
    const bool keys = chance(0.5);
    const unsigned at = pick(0, 3'000);
    bench.world.Schedule(at, [weak, keys] {
      if (auto m = weak.lock()) keys ? m->SendKeyStatus(0x0101) : m->SendModeInfo();
    });
    note(std::string(keys ? "key status" : "mode info") + " at " + std::to_string(at));
  }
  // The mouse pulled out, and perhaps plugged in again, while the run goes on.
  if (chance(0.25)) {
    const unsigned out = pick(0, 3'000);
    mouse.UnplugAfter(out);
    std::string what = "unplug at " + std::to_string(out);
    if (chance(0.7)) {
      const unsigned back = out + pick(0, 3'000);
      mouse.PlugAfter(back);
      what += ", plug at " + std::to_string(back);
    }
    note(what);
  }
  return drawn;
}

TEST(Soak, RandomFaultsKeepEveryRunSound) {
  const unsigned long single = EnvNumber("KV_SOAK_SEED", 0);
  const unsigned long runs = single != 0 ? 1 : EnvNumber("KV_SOAK_RUNS", 100);
  const unsigned long first = single != 0 ? single : 1;

  std::map<std::string, unsigned> outcomes;
  std::set<Face> warmed;
  const auto start = std::chrono::steady_clock::now();
  for (unsigned long seed = first; seed < first + runs; ++seed) {
    std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
    // The texts are reserved before counting, so that only the run's own
    // heap blocks count.
    std::string drawn;
    std::string problems;
    drawn.reserve(4096);
    problems.reserve(16 * 1024);
    UpgradeStatus status;
    // Every fourth run goes through the console upgrader, every fourth
    // through the dialog program, the others through the sequence's own face.
    const Face face = seed % 4 == 0 ? Face::Console : seed % 4 == 2 ? Face::Dialog : Face::Sequence;
    const long long heapBefore = LiveHeapBlocks();
    {
      UpgradeBench bench(face);
      bench.Prepare([&](UpgradeBench& b) {
        const std::string d = std::string(FaceName(face)) + ": " + Draw(rng, b);
        drawn += d.substr(0, drawn.capacity());
      });
      status = bench.Run();
      const std::string found = bench.CheckAfter(status);
      problems += found.substr(0, problems.capacity());
    }
    // The first run of each face warms what the process keeps (the sample
    // image, the scenario list, the application's name).
    const long long heapLeft = LiveHeapBlocks() - heapBefore;
    if (!warmed.insert(face).second && heapLeft != 0)
      problems += "heap blocks left: " + std::to_string(heapLeft) + "\n";
    ++outcomes[status == UpgradeStatus::Stopped ? "(nothing started: no mouse to upgrade)"
                                                : Narrow(UpgradeMessage(status))];
    EXPECT_EQ(problems, "") << "seed " << seed << " (replay with KV_SOAK_SEED=" << seed << "): " << drawn;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("soak: %lu runs from seed %lu in %.1f s\n", runs, first, seconds);
  for (const auto& [message, count] : outcomes) std::printf("  %5u  %s\n", count, message.c_str());
}

}  // namespace
}  // namespace kv27::test
