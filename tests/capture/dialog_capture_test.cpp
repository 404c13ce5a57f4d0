// --capture on the dialog program: the dialog runs on a capture of its OS
// boundary, as the program's entry runs it, and the file holds its upgrade as
// the bus shows it.
#include <gtest/gtest.h>

#include <string>

#include "app/firmware_update_app.h"
#include "capture/capture_log.h"
#include "res/resource.h"
#include "sim/usb_timing.h"
#include "tests/capture/capture_checks.h"
#include "tests/support/program_run.h"
#include "tools/console/traffic_capture.h"

namespace kv27 {

// The program's one application object: this test program plays the program.
CKV27MFirmwareUpdateApp theApp;

namespace capture {
namespace {

constexpr char16_t kPath[] = u"C:\\captures\\dialog.pcapng";

struct CapturedDialog {
  DWORD openError = 0xFFFF;
  bool written = false;
  int code = -1;
};

// The program's entry with --capture kPath.
void CaptureThrough(test::ProgramRun& run, CapturedDialog& out) {
  run.entry = [&out, &run](w32::OsApi& os) {
    out.code = console::RunCaptured(
        os, kPath, "KV27MFirmwareUpdate",
        console::CaptureClock{[&run] { return run.world.NowUs(); }, console::kSimulatedCaptureStartUs},
        {{"program", "KV27MFirmwareUpdate"}, {"simulated", "ok"}},
        [](w32::OsApi& captured) { return AppMain(captured); }, &out.openError, &out.written);
    return out.code < 0 ? 0 : out.code;
  };
}

TEST(DialogCapture, HoldsTheDialogsWholeUpgrade) {
  test::ProgramRun run("ok");
  run.world.AddDirectory(u"C:\\captures");
  const std::uint64_t t0 = run.world.Now();
  run.world.User().AnswerMessageBox(IDOK, 1000);
  run.world.User().CloseAt(t0 + 130'000);
  CapturedDialog captured;
  CaptureThrough(run, captured);
  run.Run();
  EXPECT_EQ(captured.openError, 0u);
  EXPECT_TRUE(captured.written);
  ASSERT_EQ(run.world.MessageBoxes().size(), 1u);
  EXPECT_EQ(run.world.MessageBoxes()[0].text, u"恭喜亲，在线升级成功！");

  const auto bytes = run.world.FileBytes(kPath);
  ASSERT_TRUE(bytes);
  std::string error;
  const auto log = ParseCapture(bytes->data(), bytes->size(), &error);
  ASSERT_TRUE(log) << error;
  EXPECT_EQ(log->Notes("run").at(0)->Field("program"), "KV27MFirmwareUpdate");
  EXPECT_EQ(log->Notes("end").at(0)->Field("exit"), "0");
  // The mouse leaves when it restarts as its bootloader, which arrives, and
  // leaves in turn once the flash is done.
  EXPECT_EQ(log->Notes("removal").size(), 2u);
  ASSERT_EQ(log->Notes("arrival").size(), 1u);
  EXPECT_EQ(log->Notes("arrival")[0]->Field("kind"), "winusb");

  const Traffic traffic = Summarise(*log);
  EXPECT_EQ(traffic.unpaired, "");
  std::size_t mouseOut = 0, bulk = 0;
  for (const auto& [address, device] : traffic.devices) {
    for (const auto& report : device.interruptOut) {
      EXPECT_EQ(report.at(0), 0xB4);
      ++mouseOut;
    }
    bulk += device.bulkTransfers;
  }
  EXPECT_EQ(mouseOut, 448u);
  EXPECT_EQ(bulk, sim::ComputeUpgradeFloor(sim::UsbTiming{}).bulkTransfers);
  EXPECT_NE(traffic.stringRequestUs, 0u);
  run.EndProcess();
}

// A capture file that cannot be created: the dialog never comes up, and
// nothing reaches the mouse.
TEST(DialogCapture, FileThatCannotBeCreatedStopsBeforeTheDialog) {
  test::ProgramRun run("ok");
  CapturedDialog captured;
  CaptureThrough(run, captured);
  run.Run();
  EXPECT_EQ(captured.openError, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(captured.code, -1);
  EXPECT_EQ(run.rig().mouse().RequestCount(), 0u);
  EXPECT_TRUE(run.world.MessageBoxes().empty());
  run.EndProcess();
}

}  // namespace
}  // namespace capture
}  // namespace kv27
