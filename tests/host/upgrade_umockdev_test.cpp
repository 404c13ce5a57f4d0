// The whole upgrade through the real kv27m-update, on Linux, against the N4
// mouse and its bootloader modelled at the kernel interface (sysfs, udev,
// hidraw and usbfs under umockdev; the devices' behaviour is the simulated
// world's): the run that succeeds, the failure rows device faults produce,
// and devices pulled out on the way.
//
// Runs under umockdev-wrapper; each program run is bounded in real time.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/upgrade_sequence.h"
#include "app/user_data_backup.h"
#include "sim/mouse_layouts.h"
#include "sim/mouse_rig.h"
#include "sim/virtual_mouse.h"
#include "tests/host/kernel_model.h"
#include "tools/kv27m-update/update_tool.h"

namespace kv27::test {
namespace {

// Real time a run may take at most (a whole upgrade takes a few seconds).
constexpr int kRunSeconds = 120;

class UpgradeAtTheKernel : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(KernelTestbed::UnderWrapper()) << "run under umockdev-wrapper"; }

  // kv27m-update in English with a backup file in the test bed, on `image`.
  ChildRun Update(KernelTestbed& bed, const std::string& image,
                  const std::function<bool(const std::string&)>& interruptWhen = {}) {
    return RunChild(KV_UPDATE_PROGRAM, {"--lang=en", "--backup", bed.root() + "/settings.kvb", image}, kRunSeconds,
                    interruptWhen);
  }
};

std::string Describe(const ChildRun& run) {
  return "exit " + std::to_string(run.status) + (run.timedOut ? " (killed: too long)" : "") + "\n--- stdout\n" +
         run.out + "--- stderr\n" + run.err;
}

// The upgrade the user runs, for each layout of the mouse's HID interfaces:
// the settings read over hidraw, the bootloader request as a control transfer
// to the mouse, the mouse gone and the bootloader on its port under a new
// device number, the flash written, read back and verified over usbfs, and
// the mouse back in normal mode under new node names. The flash holds the
// image with the mouse's own settings.
TEST_F(UpgradeAtTheKernel, TheWholeUpgradeEndsWithTheImageAndTheSettingsInTheFlashInEveryLayout) {
  for (const sim::MouseLayout& layout : sim::MouseLayouts()) {
    SCOPED_TRACE(layout.name);
    KernelTestbed bed;
    KernelModelOptions options;
    options.layout = &layout;
    KernelModel model(bed, options);
    const ChildRun run = Update(bed, model.imagePath());
    ASSERT_EQ(run.status, kUpdateOk) << Describe(run);
    EXPECT_NE(run.out.find(EnglishMessage(static_cast<int>(UpgradeStatus::Success))), std::string::npos)
        << Describe(run);
    EXPECT_TRUE(run.err.empty()) << Describe(run);
    EXPECT_TRUE(model.Flash() == model.expectedFlash());
    EXPECT_EQ(model.WriteBlocks(), sim::kBootloaderFlashSize / sim::kBootloaderBlockSize);
    EXPECT_EQ(model.MouseRequests(), 448u) << "the settings were read once, through the command interface's node";

    // The backup holds the settings as the mouse had them.
    std::ifstream backup(bed.root() + "/settings.kvb", std::ios::binary);
    const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(backup)), std::istreambuf_iterator<char>());
    std::vector<std::uint8_t> saved;
    ASSERT_EQ(DecodeBackup(file, saved), BackupError::None);
    saved.resize(model.settings().size());
    EXPECT_EQ(saved, model.settings());

    // The mouse comes back in normal mode: each arrival with nodes of its own
    // (a hidraw node per HID interface).
    const std::size_t n = layout.interfaces.size();
    std::vector<std::string> expectedNodes = {"/dev/bus/usb/001/003"};
    for (std::size_t i = 0; i < n; ++i) expectedNodes.push_back("/dev/hidraw" + std::to_string(i));
    expectedNodes.insert(expectedNodes.end(), {"/dev/bus/usb/001/004", "/dev/bus/usb/001/005"});
    for (std::size_t i = 0; i < n; ++i) expectedNodes.push_back("/dev/hidraw" + std::to_string(n + i));
    EXPECT_TRUE(KernelModel::Eventually([&] { return model.Mode() == sim::VirtualMouse::Mode::kNormal; }));
    EXPECT_TRUE(KernelModel::Eventually([&] { return model.Nodes().size() == expectedNodes.size(); }));
    EXPECT_EQ(model.Nodes(), expectedNodes);
  }
}

// The failure rows device faults produce: each run ends with the row's
// message and exit status, and a run that failed after the mouse went to its
// bootloader says how to recover it with the saved settings.
TEST_F(UpgradeAtTheKernel, DeviceFaultsEndTheRunWithTheirRowsMessageAndStatus) {
  using S = UpgradeStatus;
  struct Row {
    const char* name;
    std::function<void(sim::MouseRig&, const sim::BootloaderFlash&)> fault;
    UpgradeStatus expected;
  };
  // The bootloader's OUT transfers of a whole flash, counted from 1: the erase
  // command, a command and a data packet per block (2 to 513), the read
  // commands (514 to 769), then verify (770), read protection (771) and exit
  // ISP (772). A stalled one fails with -EPIPE at the kernel interface.
  constexpr unsigned kReadCommand128 = 514 + 128, kVerifyWrite = 770;
  auto stall = [](unsigned nth) {
    return [nth](sim::MouseRig& r, const sim::BootloaderFlash&) {
      r.world().InjectFault({"WinUsb_WritePipe", ERROR_GEN_FAILURE, nth, 1, r.mouse().BootloaderPath()});
    };
  };
  const std::vector<Row> rows = {
      {"the bootloader refuses the erase",
       [](sim::MouseRig& r, const sim::BootloaderFlash&) { r.mouse().Bootloader()->FailStatus(0x25, 0); },
       S::EraseFailed},
      {"the erase never ends (its status read times out)",
       [](sim::MouseRig& r, const sim::BootloaderFlash&) { r.mouse().Bootloader()->SetEraseDelay(sim::kNeverMs); },
       S::EraseFailed},
      {"a block's write fails",
       [](sim::MouseRig& r, const sim::BootloaderFlash&) { r.mouse().Bootloader()->FailStatus(0x28, 128); },
       S::WriteFailed},
      {"a block reads back wrong",
       // Worn cells under a byte the image has bits set in.
       [](sim::MouseRig& r, const sim::BootloaderFlash& expected) {
         std::size_t at = 0x100;
         while (expected[at] == 0) ++at;
         r.mouse().Bootloader()->StuckBits(at, expected[at]);
       },
       S::CompareFailed},
      {"a block's data packet stalls", stall(3 + 2 * 128), S::WriteFailed},
      {"a block's data packet is never taken (NAKed until the program gives up)",
       [](sim::MouseRig& r, const sim::BootloaderFlash&) {
         r.world().InjectFault({"WinUsb_WritePipe", ERROR_SEM_TIMEOUT, 3 + 2 * 128, 1, r.mouse().BootloaderPath()});
       },
       S::WriteFailed},
      {"a read command stalls", stall(kReadCommand128), S::ReadFailed},
      {"the verify command stalls", stall(kVerifyWrite), S::VerifyFailed},
      {"the read-protection command stalls", stall(kVerifyWrite + 1), S::ProtectFailed},
      {"the exit command stalls", stall(kVerifyWrite + 2), S::ExitFailed},
      {"the bootloader's interface is held elsewhere",
       [](sim::MouseRig& r, const sim::BootloaderFlash&) {
         r.mouse().Bootloader()->RefuseOpens(1000000, ERROR_ACCESS_DENIED);
       },
       S::BootloaderOpenFailed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    KernelTestbed bed;
    KernelModelOptions options;
    options.prepare = row.fault;
    KernelModel model(bed, options);
    const ChildRun run = Update(bed, model.imagePath());
    EXPECT_EQ(run.status, kUpdateFailureBase + static_cast<int>(row.expected)) << Describe(run);
    EXPECT_NE(run.err.find(EnglishMessage(static_cast<int>(row.expected))), std::string::npos) << Describe(run);
    EXPECT_NE(run.err.find("kv27m-isp --user-data"), std::string::npos) << Describe(run);
    // Only the rows after the flash was read back whole leave it right.
    const bool written = row.expected == S::ReadFailed || row.expected == S::VerifyFailed ||
                         row.expected == S::ProtectFailed || row.expected == S::ExitFailed;
    EXPECT_EQ(model.Flash() == model.expectedFlash(), written);
  }
}

// The bootloader never comes: the program waits for it (its wait is long, as
// a restart may be) until the user presses Ctrl+C, and then says how to
// recover the mouse.
TEST_F(UpgradeAtTheKernel, ABootloaderThatNeverComesIsWaitedForUntilCtrlC) {
  KernelTestbed bed;
  KernelModelOptions options;
  options.prepare = [](sim::MouseRig& r, const sim::BootloaderFlash&) { r.mouse().IgnoreBootloaderRequest(true); };
  KernelModel model(bed, options);
  std::optional<std::chrono::steady_clock::time_point> sent;
  const ChildRun run = Update(bed, model.imagePath(), [&](const std::string&) {
    // Half a second after the request reached the mouse.
    if (!sent && model.MouseControlRequests() > 0) sent = std::chrono::steady_clock::now();
    return sent && std::chrono::steady_clock::now() > *sent + std::chrono::milliseconds(500);
  });
  EXPECT_EQ(run.status, kUpdateCancelled) << Describe(run);
  EXPECT_NE(run.err.find("stopped by Ctrl+C while waiting for the bootloader"), std::string::npos) << Describe(run);
  EXPECT_EQ(model.MouseControlRequests(), 1u);
  EXPECT_EQ(model.BootloaderOpens(), 0u);
}

// The mouse is pulled out in the middle of the settings read: the run ends
// with the settings row, and nothing went to the bootloader (no request to
// the mouse's usbfs node, no bootloader opened).
TEST_F(UpgradeAtTheKernel, AMouseUnpluggedMidReadStopsBeforeTheBootloader) {
  KernelTestbed bed;
  KernelModelOptions options;
  options.prepare = [](sim::MouseRig& r, const sim::BootloaderFlash&) { r.mouse().UnplugAfterRead(3, 0x80); };
  KernelModel model(bed, options);
  const ChildRun run = Update(bed, model.imagePath());
  EXPECT_EQ(run.status, kUpdateFailureBase + static_cast<int>(UpgradeStatus::UserDataFailed)) << Describe(run);
  EXPECT_NE(run.err.find(EnglishMessage(static_cast<int>(UpgradeStatus::UserDataFailed))), std::string::npos)
      << Describe(run);
  EXPECT_EQ(run.err.find("kv27m-isp"), std::string::npos) << Describe(run);
  EXPECT_EQ(model.MouseControlRequests(), 0u);
  EXPECT_EQ(model.BootloaderOpens(), 0u);
  EXPECT_TRUE(model.BootloaderWire().empty());
  EXPECT_EQ(model.Mode(), sim::VirtualMouse::Mode::kAbsent);
}

// The bootloader is pulled out in the middle of the flash writes: its node
// fails with ENODEV from then on, the transfers in flight end as the kernel
// ends them on a disconnect, and the run ends with the write row and the way
// to recover the mouse.
TEST_F(UpgradeAtTheKernel, ABootloaderUnpluggedMidWriteEndsWithTheWriteRow) {
  KernelTestbed bed;
  KernelModelOptions options;
  options.pullAfterWriteBlocks = 100;
  KernelModel model(bed, options);
  const ChildRun run = Update(bed, model.imagePath());
  EXPECT_EQ(run.status, kUpdateFailureBase + static_cast<int>(UpgradeStatus::WriteFailed)) << Describe(run);
  EXPECT_NE(run.err.find(EnglishMessage(static_cast<int>(UpgradeStatus::WriteFailed))), std::string::npos)
      << Describe(run);
  EXPECT_NE(run.err.find("kv27m-isp --user-data"), std::string::npos) << Describe(run);
  EXPECT_EQ(model.WriteBlocks(), 100u);
  EXPECT_GT(model.CallsAfterDisconnect(), 0u) << "the program's last calls on the node";
  EXPECT_EQ(model.Mode(), sim::VirtualMouse::Mode::kAbsent);
}

// The bootloader's node cannot be opened for lack of permission (the rule
// file without its line): the settings were saved and the mouse sent to its
// bootloader, so the run ends with the open row, names the node, the rule
// file and how to install it, and says how to recover the mouse.
TEST_F(UpgradeAtTheKernel, ABootloaderNodeWithoutPermissionIsNamedWithTheRuleFileAndTheRecovery) {
  KernelTestbed bed;
  KernelModelOptions options;
  options.denyBootloaderNode = true;
  KernelModel model(bed, options);
  if (::geteuid() == 0) {
    // Root opens anything: the run is made as nobody, who must reach the test
    // bed (its records, the preload library's sockets) and the image; the
    // nodes have the access the model gives them.
    ASSERT_TRUE(model.ShareWithOtherUsers());
    if (::access(KV_UPDATE_PROGRAM, X_OK) != 0) GTEST_SKIP() << "the program is not nobody's to run";
  }
  const ChildRun run =
      RunChild(KV_UPDATE_PROGRAM, {"--lang=en", "--backup", bed.root() + "/settings.kvb", model.imagePath()},
               kRunSeconds, {}, true);
  if (const std::string why = WhyNotRunAsNobody(run); !why.empty()) GTEST_SKIP() << why;
  ASSERT_GE(model.Nodes().size(), 3u) << Describe(run);
  const std::string node = model.Nodes()[2];
  EXPECT_EQ(run.status, kUpdateNoPermission) << Describe(run);
  EXPECT_NE(run.err.find(EnglishMessage(static_cast<int>(UpgradeStatus::BootloaderOpenFailed))), std::string::npos)
      << Describe(run);
  EXPECT_NE(run.err.find("no permission to open " + node), std::string::npos) << Describe(run);
  EXPECT_NE(run.err.find("70-kv27m.rules"), std::string::npos) << Describe(run);
  EXPECT_NE(run.err.find("udevadm control --reload"), std::string::npos) << Describe(run);
  EXPECT_NE(run.err.find("kv27m-isp --user-data"), std::string::npos) << Describe(run);
  EXPECT_EQ(model.BootloaderOpens(), 0u);
  EXPECT_EQ(model.Mode(), sim::VirtualMouse::Mode::kBootloader);
}

// The bootloader's node appears before udev has given it its access (the rule
// is applied a moment later): the program's first opens are refused, a later
// one goes through, and the erase the bootloader then refuses ends the run
// with the erase row, not as a permission problem: a refusal that did not
// stop the run decides nothing.
TEST_F(UpgradeAtTheKernel, ANodeRefusedOnlyAtFirstLeavesALaterFailureItsOwnRow) {
  KernelTestbed bed;
  KernelModelOptions options;
  options.denyBootloaderNode = true;
  options.permitBootloaderNodeAfterMs = 1000;
  options.prepare = [](sim::MouseRig& r, const sim::BootloaderFlash&) { r.mouse().Bootloader()->FailStatus(0x25, 0); };
  KernelModel model(bed, options);
  if (::geteuid() == 0) {
    ASSERT_TRUE(model.ShareWithOtherUsers());
    if (::access(KV_UPDATE_PROGRAM, X_OK) != 0) GTEST_SKIP() << "the program is not nobody's to run";
  }
  const ChildRun run =
      RunChild(KV_UPDATE_PROGRAM, {"--lang=en", "--backup", bed.root() + "/settings.kvb", model.imagePath()},
               kRunSeconds, {}, true);
  if (const std::string why = WhyNotRunAsNobody(run); !why.empty()) GTEST_SKIP() << why;
  EXPECT_EQ(run.status, kUpdateFailureBase + static_cast<int>(UpgradeStatus::EraseFailed)) << Describe(run);
  EXPECT_NE(run.err.find(EnglishMessage(static_cast<int>(UpgradeStatus::EraseFailed))), std::string::npos)
      << Describe(run);
  EXPECT_EQ(run.err.find("no permission"), std::string::npos) << Describe(run);
  EXPECT_NE(run.err.find("kv27m-isp --user-data"), std::string::npos) << Describe(run);
  EXPECT_EQ(model.BootloaderOpens(), 1u) << "opened once it could be, and the erase reached it";
}

// Without udevd (a container, a system without it) libudev still reads sysfs
// but no uevent comes: the program looks at sysfs again by itself while it
// waits, so it finds the bootloader that comes a second after the mouse
// left, and the whole upgrade ends as with events.
TEST_F(UpgradeAtTheKernel, WithoutUeventsTheBootloaderIsFoundAllTheSame) {
  KernelTestbed bed;
  KernelModelOptions options;
  options.noUevents = true;
  options.layout = sim::FindMouseLayout("mouse-vendor");
  // Long after the mouse's own nodes hung up, which makes the program look.
  options.bootloaderAppearsAfterMs = 1000;
  KernelModel model(bed, options);
  const auto start = std::chrono::steady_clock::now();
  const ChildRun run =
      RunChild(KV_UPDATE_PROGRAM, {"--lang=en", "--backup", bed.root() + "/settings.kvb", model.imagePath()}, 60);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  ASSERT_EQ(run.status, kUpdateOk) << Describe(run);
  EXPECT_TRUE(model.Flash() == model.expectedFlash());
  EXPECT_LT(seconds.count(), 30) << "the bootloader was found by looking, not after a long wait";
  EXPECT_TRUE(KernelModel::Eventually([&] { return model.Mode() == sim::VirtualMouse::Mode::kNormal; }));
}

}  // namespace
}  // namespace kv27::test
