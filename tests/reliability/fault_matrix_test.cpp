// The fault matrix: every step of the upgrade that talks to something outside
// the program, against every kind of fault that step can meet. Each cell is a
// whole run on a fresh simulated PC, run twice, and must end with the failure
// table's message and progress for its step, report success only with the
// right image in the flash, leave nothing open and no heap behind, and leave
// a mouse that can be brought back with its settings. The test prints the
// matrix.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/world.h"
#include "tests/reliability/heap_count.h"
#include "tests/reliability/upgrade_harness.h"

namespace kv27::test {
namespace {

using Apply = std::function<void(UpgradeBench&)>;

// The faults, as the columns of the matrix.
const std::vector<std::string> kFaults = {"leaves", "error", "no answer", "short", "late", "wrong"};

struct Cell {
  std::string step;
  std::string fault;
  Apply apply;  // empty: the fault cannot happen at this step
  UpgradeStatus expected = UpgradeStatus::Success;
  std::string why;  // one word, for "n/a"
};

Cell Na(std::string step, std::string fault, std::string why) { return {step, fault, {}, UpgradeStatus::Success, why}; }
Cell At(std::string step, std::string fault, UpgradeStatus expected, Apply apply) {
  return {step, fault, std::move(apply), expected, ""};
}

// An injected failure of `call` from its nth matching call on the
// bootloader's path (times 0: for good).
Apply BootFault(const char* call, DWORD error, unsigned nth, unsigned times = 1) {
  return [=](UpgradeBench& b) { b.world.InjectFault({call, error, nth, times, b.mouse().BootloaderPath()}); };
}
// Something done between two steps: when the run shows `percent`.
Apply AtProgress(int percent, std::function<void(UpgradeBench&)> action) {
  return [=](UpgradeBench& b) { b.face.atProgress[percent] = [&b, action] { action(b); }; };
}
Apply Unplug(int percent) {
  return AtProgress(percent, [](UpgradeBench& b) { b.mouse().Unplug(); });
}

// Transfers on the bootloader's pipes during a whole flash, counted from 1:
//   OUT: erase command; per write block b, command 2+2b and data 3+2b;
//        read commands 514+b; verify 770, protection 771, exit 772;
//   IN:  erase status; write status b at 2+b; read block b data 258+2b and
//        status 259+2b.
// Command packets: erase 1, write b 2+b, read b 258+b, verify 514, ...
constexpr unsigned kVerifyWrite = 770;
constexpr unsigned kVerifyPacket = 514;

std::vector<Cell> Matrix() {
  using S = UpgradeStatus;
  std::vector<Cell> cells;
  auto add = [&cells](Cell c) { cells.push_back(std::move(c)); };

  // The image file.
  add(At("file", "leaves", S::PayloadReadFailed, [](UpgradeBench& b) {
    b.world.InjectFault({"ReadFile", ERROR_DEVICE_NOT_CONNECTED, 2, 0, u".bimg"});
  }));
  add(At("file", "error", S::HeaderReadFailed, [](UpgradeBench& b) {
    b.world.InjectFault({"ReadFile", ERROR_NOT_READY, 1, 1, u".bimg"});
  }));
  add(Na("file", "no answer", "synchronous"));
  add(At("file", "short", S::PayloadReadFailed, [](UpgradeBench& b) {
    auto bytes = b.rig().image();
    bytes.pop_back();
    b.world.AddFile(sim::kRigImagePath, bytes);
  }));
  add(Na("file", "late", "synchronous"));
  add(At("file", "wrong", S::DecodeVerifyFailed, [](UpgradeBench& b) {
    auto bytes = b.rig().image();
    bytes[32 + 0x2000] ^= 0x10;
    b.world.AddFile(sim::kRigImagePath, bytes);
  }));

  // The first request to the mouse (an HID output report).
  add(At("hid write", "leaves", S::UserDataFailed, Unplug(10)));
  add(At("hid write", "error", S::UserDataFailed, [](UpgradeBench& b) {
    b.world.InjectFault({"WriteFile", ERROR_GEN_FAILURE, 1, 1, b.mouse().CommandPath()});
  }));
  add(At("hid write", "no answer", S::UserDataFailed, [](UpgradeBench& b) { b.mouse().HangWrites(); }));
  add(Na("hid write", "short", "whole-report"));
  add(At("hid write", "late", S::Success, [](UpgradeBench& b) {
    b.mouse().Collection(sim::kMouseCommandCollection)->SetWriteMode(sim::HidCollection::WriteMode::kDelayed, 400);
  }));
  add(Na("hid write", "wrong", "no-reply"));

  // The flash-read exchanges of the settings: the first, one in the middle,
  // the last. The device leaves right after the exchange before.
  struct Exchange {
    const char* name;
    UCHAR page, offset;
    int index;  // 0-based among the 448 exchanges
  };
  for (Exchange x : {Exchange{"hid read 1st", 0, 0x00, 0}, Exchange{"hid read mid", 3, 0x80, 3 * 64 + 32},
                     Exchange{"hid read last", 6, 0xFC, 6 * 64 + 63}}) {
    if (x.index == 0)
      add(At(x.name, "leaves", S::UserDataFailed, Unplug(10)));
    else
      add(At(x.name, "leaves", S::UserDataFailed, [x](UpgradeBench& b) {
        const int before = x.index - 1;
        b.mouse().UnplugAfterRead(static_cast<UCHAR>(before / 64), static_cast<UCHAR>((before % 64) * 4));
      }));
    // The reader thread reads one report per call and had its first read
    // pending before the fault was set, so the read that carries reply k is
    // at least its kth call from now (time-outs only add calls before it):
    // failing every read from the kth on fails that reply's read for sure.
    // The first reply rides on the read pending from the start: its fault
    // strikes the second.
    add(At(x.name, "error", S::UserDataFailed, [x](UpgradeBench& b) {
      b.world.InjectFault(
          {"ReadFile", ERROR_GEN_FAILURE, static_cast<unsigned>(std::max(x.index, 1)), 0, b.mouse().CommandPath()});
    }));
    add(At(x.name, "no answer", S::UserDataFailed, [x](UpgradeBench& b) { b.mouse().DropReply(x.page, x.offset); }));
    add(Na(x.name, "short", "fixed-length"));
    add(At(x.name, "late", S::UserDataFailed,
           [x](UpgradeBench& b) { b.mouse().DelayReply(x.page, x.offset, 10 * kMouseReplyTimeoutMs); }));
    add(At(x.name, "wrong", S::UserDataFailed,
           [x](UpgradeBench& b) { b.mouse().EchoOffset(x.page, x.offset, static_cast<UCHAR>(x.offset + 4)); }));
  }

  // The string request through the hub port that restarts the mouse.
  add(At("hub request", "leaves", S::BootloaderNotFound, Unplug(20)));
  add(At("hub request", "error", S::BootloaderNotFound, AtProgress(20, [](UpgradeBench& b) {
           b.world.InjectFault({"DeviceIoControl", ERROR_GEN_FAILURE, 1, 0, u""});
         })));
  add(At("hub request", "no answer", S::BootloaderNotFound,
         [](UpgradeBench& b) { b.mouse().IgnoreBootloaderRequest(true); }));
  add(Na("hub request", "short", "unused"));
  add(Na("hub request", "late", "synchronous"));
  add(Na("hub request", "wrong", "unused"));

  // The search for the bootloader's interface.
  // Pulled out while it restarts: the restart is made long, so that the
  // pull comes first whichever thread moves the clock.
  add(At("search", "leaves", S::BootloaderNotFound, AtProgress(20, [](UpgradeBench& b) {
           b.mouse().SetReenumerationDelay(20'000);
           b.mouse().UnplugAfter(500);
         })));
  add(At("search", "error", S::Success, AtProgress(20, [](UpgradeBench& b) {
           b.world.InjectFault({"SetupDiGetClassDevsW", ERROR_GEN_FAILURE, 1, 20, u""});
         })));
  add(At("search", "no answer", S::BootloaderNotFound,
         [](UpgradeBench& b) { b.mouse().BootloaderDriverMissing(true); }));
  add(At("search", "short", S::Success, AtProgress(20, [](UpgradeBench& b) {
           b.world.InjectFault({"SetupDiGetDeviceInterfaceDetailW", ERROR_INSUFFICIENT_BUFFER, 2, 1, u""});
         })));
  add(At("search", "late", S::Success, [](UpgradeBench& b) { b.mouse().SetReenumerationDelay(120'000); }));
  add(Na("search", "wrong", "class-filtered"));

  // Opening the bootloader.
  add(At("open", "leaves", S::BootloaderOpenFailed, Unplug(50)));
  add(At("open", "error", S::BootloaderOpenFailed, BootFault("WinUsb_Initialize", ERROR_GEN_FAILURE, 1, 0)));
  add(Na("open", "no answer", "synchronous"));
  add(Na("open", "short", "no-data"));
  add(At("open", "late", S::Success, [](UpgradeBench& b) { b.mouse().Bootloader()->RefuseOpens(5); }));
  // An interface without bulk pipes opens, and the first command fails.
  add(At("open", "wrong", S::EraseFailed, [](UpgradeBench& b) { b.mouse().Bootloader()->SetPipes({}); }));

  // The erase: its command and its status.
  add(At("erase", "leaves", S::EraseFailed, Unplug(55)));
  add(At("erase", "error", S::EraseFailed, BootFault("WinUsb_WritePipe", ERROR_GEN_FAILURE, 1)));
  add(At("erase", "no answer", S::EraseFailed,
         [](UpgradeBench& b) { b.mouse().Bootloader()->SetEraseDelay(sim::kNeverMs); }));
  add(At("erase", "short", S::EraseFailed, [](UpgradeBench& b) { b.mouse().Bootloader()->ShortCommandPacket(1); }));
  add(At("erase", "late", S::Success, [](UpgradeBench& b) { b.mouse().Bootloader()->SetEraseDelay(3'000); }));
  add(At("erase", "wrong", S::EraseFailed, [](UpgradeBench& b) { b.mouse().Bootloader()->FailStatus(0x25, 0); }));

  // Write, status and read of the first, a middle and the last block.
  struct Block {
    const char* tag;
    unsigned b;
  };
  for (Block k : {Block{"1st", 0}, Block{"mid", 128}, Block{"last", 255}}) {
    const std::string w = std::string("write ") + k.tag;
    add(At(w, "leaves", S::WriteFailed, [k](UpgradeBench& b) { b.mouse().Bootloader()->LeaveDuringWrite(k.b); }));
    add(At(w, "error", S::WriteFailed, BootFault("WinUsb_WritePipe", ERROR_GEN_FAILURE, 3 + 2 * k.b)));
    add(At(w, "no answer", S::WriteFailed, BootFault("WinUsb_WritePipe", ERROR_SEM_TIMEOUT, 3 + 2 * k.b)));
    add(At(w, "short", S::WriteFailed, [k](UpgradeBench& b) { b.mouse().Bootloader()->ShortBlockWrite(k.b + 1); }));
    add(Na(w, "late", "no-hook"));
    add(At(w, "wrong", S::WriteFailed, [k](UpgradeBench& b) { b.mouse().Bootloader()->ShortCommandPacket(2 + k.b); }));
  }
  for (Block k : {Block{"1st", 0}, Block{"mid", 128}, Block{"last", 255}}) {
    const std::string s = std::string("status ") + k.tag;
    add(At(s, "leaves", S::WriteFailed, BootFault("WinUsb_ReadPipe", ERROR_DEVICE_NOT_CONNECTED, 2 + k.b, 0)));
    add(At(s, "error", S::WriteFailed, BootFault("WinUsb_ReadPipe", ERROR_GEN_FAILURE, 2 + k.b)));
    add(At(s, "no answer", S::WriteFailed, BootFault("WinUsb_ReadPipe", ERROR_SEM_TIMEOUT, 2 + k.b)));
    add(At(s, "short", S::WriteFailed, [k](UpgradeBench& b) { b.mouse().Bootloader()->ShortStatusRead(2 + k.b); }));
    add(Na(s, "late", "no-hook"));
    add(At(s, "wrong", S::WriteFailed, [k](UpgradeBench& b) { b.mouse().Bootloader()->FailStatus(0x28, k.b); }));
  }
  for (Block k : {Block{"1st", 0}, Block{"mid", 128}, Block{"last", 255}}) {
    const std::string r = std::string("read ") + k.tag;
    const unsigned data = 258 + 2 * k.b;
    add(At(r, "leaves", S::ReadFailed, BootFault("WinUsb_ReadPipe", ERROR_DEVICE_NOT_CONNECTED, data, 0)));
    add(At(r, "error", S::ReadFailed, BootFault("WinUsb_ReadPipe", ERROR_GEN_FAILURE, data)));
    add(At(r, "no answer", S::ReadFailed, BootFault("WinUsb_ReadPipe", ERROR_SEM_TIMEOUT, data)));
    add(At(r, "short", S::ReadFailed, [k](UpgradeBench& b) { b.mouse().Bootloader()->ShortBlockRead(k.b + 1); }));
    add(Na(r, "late", "no-hook"));
    // Worn cells in the block: the read-back differs from the image.
    add(At(r, "wrong", S::CompareFailed, [k](UpgradeBench& b) {
      std::size_t at = k.b * 64;
      while (at + 1 < (k.b + 1) * 64 && b.expectedFlash()[at] == 0) ++at;
      b.mouse().Bootloader()->StuckBits(at, b.expectedFlash()[at]);
    }));
  }

  // The three commands without a reply.
  struct Command {
    const char* name;
    unsigned n;  // 0 verify, 1 protection, 2 exit
    int progress;
    UpgradeStatus fails;
  };
  for (Command c : {Command{"verify", 0, 90, S::VerifyFailed}, Command{"protect", 1, 95, S::ProtectFailed},
                    Command{"exit", 2, 100, S::ExitFailed}}) {
    add(At(c.name, "leaves", c.fails, Unplug(c.progress)));
    add(At(c.name, "error", c.fails, BootFault("WinUsb_WritePipe", ERROR_GEN_FAILURE, kVerifyWrite + c.n)));
    add(At(c.name, "no answer", c.fails, BootFault("WinUsb_WritePipe", ERROR_SEM_TIMEOUT, kVerifyWrite + c.n)));
    add(At(c.name, "short", c.fails,
           [c](UpgradeBench& b) { b.mouse().Bootloader()->ShortCommandPacket(kVerifyPacket + c.n); }));
    add(Na(c.name, "late", "no-reply"));
    add(Na(c.name, "wrong", "no-reply"));
  }
  return cells;
}

struct CellResult {
  UpgradeStatus status = UpgradeStatus::Success;
  std::string problems;
  long long heapGrowth = 0;
};

CellResult RunCell(const Cell& cell, Face face) {
  CellResult result;
  // The report's text is reserved before counting, so that only the run's
  // own blocks count.
  result.problems.reserve(16 * 1024);
  const long long before = LiveHeapBlocks();
  {
    UpgradeBench bench(face);
    bench.Prepare(cell.apply);
    result.status = bench.Run();
    if (result.status != cell.expected)
      result.problems += "ended with \"" + Narrow(UpgradeMessage(result.status)) + "\"\n";
    const std::string found = bench.CheckAfter(result.status);
    result.problems += found.substr(0, result.problems.capacity() - result.problems.size());
  }
  result.heapGrowth = LiveHeapBlocks() - before;
  return result;
}

TEST(FaultMatrix, EveryStepAgainstEveryFault) {
  const std::vector<Cell> cells = Matrix();
  std::vector<std::string> steps;
  std::map<std::pair<std::string, std::string>, std::string> table;
  for (const Cell& cell : cells) {
    if (std::find(steps.begin(), steps.end(), cell.step) == steps.end()) steps.push_back(cell.step);
    std::string& shown = table[{cell.step, cell.fault}];
    if (!cell.apply) {
      shown = "n/a (" + cell.why + ")";
      continue;
    }
    std::string verdict;
    std::string message;
    for (Face face : {Face::Sequence, Face::Console, Face::Dialog}) {
      // The first run warms what the process keeps (the sample image, the
      // scenario list); the second must give back every block it takes.
      const CellResult first = RunCell(cell, face);
      const CellResult second = RunCell(cell, face);
      std::string problems = first.problems;
      if (second.problems != first.problems) problems += "second run: " + second.problems;
      if (second.status != first.status) problems += "second run ended otherwise\n";
      if (second.heapGrowth != 0) problems += "heap blocks left: " + std::to_string(second.heapGrowth) + "\n";
      EXPECT_EQ(problems, "") << cell.step << " / " << cell.fault << " on the " << FaceName(face);
      if (message.empty()) message = Narrow(UpgradeMessage(first.status));
      if (const std::string other = Narrow(UpgradeMessage(first.status)); other != message) {
        message += '/';  // appended in two steps: GCC 12 warns falsely (-Wrestrict) on "/" + string&&
        message += other;
      }
      verdict += problems.empty() ? " ok" : std::string(" FAILED(") + FaceName(face) + ")";
    }
    shown = message + verdict;
  }
  ASSERT_EQ(table.size(), steps.size() * kFaults.size()) << "every step has a cell for every fault";

  std::string out = "faces: the sequence, the console upgrader, the dialog (one \"ok\" each)\nstep";
  for (const auto& f : kFaults) out += " | " + f;
  out += "\n";
  for (const auto& s : steps) {
    out += s;
    for (const auto& f : kFaults) out += " | " + table[{s, f}];
    out += "\n";
  }
  std::printf("%s", out.c_str());
}

}  // namespace
}  // namespace kv27::test
