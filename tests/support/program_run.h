// The dialog program on a simulated PC, built from the program's own compiled
// template 102 and run as the program runs it (AppMain, InitInstance, the
// modal loop on the caller's thread), with a scripted user acting at virtual
// times. The test program defines the one global CKV27MFirmwareUpdateApp.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/firmware_update_app.h"
#include "app/simulation.h"
#include "res/compiled_resources.h"
#include "res/resource.h"
#include "sim/mouse_rig.h"
#include "sim/resources.h"
#include "sim/world.h"

namespace kv27::test {

// The program file is the rig's "KV27MFirmwareUpdate.exe"; no title string
// exists, so its base name is every message box's caption.
inline constexpr char16_t kDialogCaption[] = u"KV27MFirmwareUpdate";
// Long enough for any run to end, the 600-second bootloader search included.
inline constexpr std::uint64_t kAfterAnyRun = 700'000;

// What the user sees of the dialog at one moment.
struct View {
  std::u16string path;
  bool upgradeEnabled = false;
  WORD indicator = 0;
  int position = -1;
  std::u16string percent;
  std::vector<UINT_PTR> timers;
  bool mousePresent = false;
  std::size_t boxes = 0;
  bool boxUp = false;  // the last message box not answered yet
};

// The percentage text the dialog shows for `percent` ("%d%%").
inline std::u16string Percent(int percent) {
  const std::string text = std::to_string(percent) + "%";
  return std::u16string(text.begin(), text.end());
}

// One run of the program on a scenario's simulated PC.
class ProgramRun {
 public:
  // A PC of its own with the scenario's rig. `before` runs on the world before
  // the rig is built (devices listed first).
  explicit ProgramRun(const char* scenario, const std::function<void(sim::World&)>& before = {})
      : ownWorld_(std::make_unique<sim::World>()), world(*ownWorld_) {
    if (before) before(world);
    LoadResources();
    const Scenario* s = FindScenario(scenario);
    EXPECT_NE(s, nullptr) << scenario;
    if (s != nullptr) ownRig_ = BuildScenario(world, *s);
    rig_ = ownRig_.get();
  }
  // The program on a PC the caller built and keeps, with its rig.
  ProgramRun(sim::World& onWorld, sim::MouseRig& rig) : world(onWorld), rig_(&rig) { LoadResources(); }

  // Runs the program to its end; the dialog is gone when this returns. What
  // went wrong on the way (an exit code, a dialog left behind, a modal loop
  // that could not go on, a send never taken), one line each, or empty.
  std::string RunProgram() {
    CWinApp* app = GetApp();
    if (app == nullptr) return "no application object\n";
    app->m_pszAppName.clear();  // named after the program file, as at a real start
    std::string problems;
    const int code = entry ? entry(world) : AppMain(world);
    if (code != 0) problems += "exit code " + std::to_string(code) + "\n";
    if (app->m_pMainWnd != nullptr) problems += "the main window outlived the program\n";
    for (const auto& stall : world.Stalls()) problems += "stall: " + stall + "\n";
    if (!world.Deadlocks().empty()) problems += std::to_string(world.Deadlocks().size()) + " sends never taken\n";
    return problems;
  }
  void Run() { EXPECT_EQ(RunProgram(), ""); }

  CKV27MFirmwareUpdateDlg& Dlg() { return *static_cast<CKV27MFirmwareUpdateDlg*>(GetApp()->m_pMainWnd); }
  sim::ControlState Ctl(int id) {
    auto c = world.Control(Dlg().m_hWnd, id);
    EXPECT_TRUE(c) << "control " << id;
    return c.value_or(sim::ControlState{});
  }
  View Look() {
    View v;
    v.path = Ctl(IDC_IMAGE_PATH).text;
    v.upgradeEnabled = Ctl(IDC_UPGRADE).enabled;
    v.indicator = Ctl(IDC_DEVICE_INDICATOR).imageResource;
    v.position = Ctl(IDC_PROGRESS).position;
    v.percent = Ctl(IDC_PERCENT).text;
    if (auto self = world.Control(Dlg().m_hWnd)) v.timers = self->timers;
    v.mousePresent = Dlg().MousePresent();
    const auto boxes = world.MessageBoxes();
    v.boxes = boxes.size();
    v.boxUp = !boxes.empty() && boxes.back().answer == 0;
    return v;
  }
  // Runs `fn` every `everyMs` of virtual time from `fromMs` to `untilMs` on the
  // dialog's thread (inside whatever loop runs then: the dialog's or a
  // message box's).
  void Watch(std::uint64_t fromMs, std::uint64_t everyMs, std::uint64_t untilMs, std::function<void()> fn) {
    world.User().DoAt(fromMs, [this, fromMs, everyMs, untilMs, fn] {
      fn();
      const std::uint64_t next = std::max(world.Now(), fromMs) + everyMs;
      if (next <= untilMs) Watch(next, everyMs, untilMs, fn);
    });
  }
  // Clicks button `id` by sending its notification, as a click the window
  // system lets through would.
  void Command(int id) {
    world.SendMessageW(Dlg().m_hWnd, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED), 0);
  }

  // Handles open while the dialog lives that are not the two links' devices
  // (and the dialog's own pictures, notification registrations and the mouse
  // link's reader): one line each, or empty.
  std::string OthersOpen() {
    std::string out;
    for (const auto& h : world.OpenHandles(false)) {
      const bool linkFile = h.kind == "file" && (IsCommandPath(h.name) || IsBootloaderPath(h.name));
      const bool ok = linkFile || h.kind == "winusb" || h.kind == "event" || h.kind == "thread" ||
                      h.kind == "devnotify" || h.kind == "bitmap";
      if (!ok) out += h.kind + " " + sim::ToUtf8(h.name) + "\n";
    }
    return out;
  }

  // What the process still holds once the dialog is gone: only the bootloader
  // link's device, which it keeps by design until the process ends. Releases
  // it as the end of the process would; what is left open or done wrong
  // besides (LeakReport), or empty.
  std::string ReleaseProcess() {
    for (const auto& h : world.OpenHandles(false)) {
      if (h.kind == "winusb") {
        world.WinUsb_Free(h.handle);
      } else if (h.kind == "file" && IsBootloaderPath(h.name)) {
        world.CloseHandle(h.handle);
      }
    }
    return world.LeakReport();
  }
  void EndProcess() { EXPECT_EQ(ReleaseProcess(), ""); }

  sim::MouseRig& rig() { return *rig_; }

  // The program's entry on the PC's OS boundary: AppMain unless set (say,
  // AppMain on a capture of the boundary, as the program's --capture runs it).
  std::function<int(w32::OsApi&)> entry;

 private:
  // The command interface and the bootloader of either mouse of the rig: the
  // program links to whichever it finds first.
  std::vector<sim::VirtualMouse*> Mice() {
    std::vector<sim::VirtualMouse*> mice{&rig().mouse()};
    if (rig().otherMouse() != nullptr) mice.push_back(rig().otherMouse());
    return mice;
  }
  bool IsCommandPath(const std::u16string& path) {
    for (sim::VirtualMouse* mouse : Mice())
      if (path == mouse->CommandPath()) return true;
    return false;
  }
  bool IsBootloaderPath(const std::u16string& path) {
    for (sim::VirtualMouse* mouse : Mice())
      if (path == mouse->BootloaderPath()) return true;
    return false;
  }

  void LoadResources() {
    auto [data, size] = res::CompiledResources();
    auto resources = sim::ResourceSet::Parse(data, size);
    EXPECT_TRUE(resources);
    if (resources) world.SetResources(*resources);
  }
  std::unique_ptr<sim::World> ownWorld_;  // before `world`, which may refer to it

 public:
  sim::World& world;

 private:
  std::unique_ptr<sim::MouseRig> ownRig_;  // after the world: goes first
  sim::MouseRig* rig_ = nullptr;
};

}  // namespace kv27::test
