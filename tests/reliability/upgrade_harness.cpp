#include "tests/reliability/upgrade_harness.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "app/mouse_search.h"
#include "app/user_data_backup.h"
#include "image/image_file.h"
#include "protocol/isp_flash.h"
#include "res/resource.h"
#include "tests/support/backup_names.h"
#include "tools/kv27m-isp/isp_tool.h"
#include "tools/kv27m-update/update_tool.h"

namespace kv27 {
// The program's one application object: the dialog face plays the program.
CKV27MFirmwareUpdateApp theApp;
}  // namespace kv27

namespace kv27::test {

std::string Narrow(const std::u16string& text) { return sim::ToUtf8(text); }

void RecordingFace::SetProgress(int percent) {
  progress.push_back(percent);
  auto hook = atProgress.find(percent);
  if (hook != atProgress.end()) hook->second();
}

void RecordingFace::ShowMessage(UpgradeStatus status, const char16_t* text) {
  statuses.push_back(status);
  messages.emplace_back(text);
}

bool RecordingFace::OnUserDataRead(const std::uint8_t* data, std::size_t size) {
  userData.assign(data, data + size);
  return true;
}

namespace {
constexpr char16_t kBackupFolder[] = u"C:\\Users\\me\\AppData\\Local\\KV27M";
// The backup kv27m-update saves at the harness's stamp (a simulated run's
// settings go to the folder's "simulated" subfolder).
std::u16string BackupPath() {
  return test::RigBackupPath(std::u16string(kBackupFolder) + u"\\simulated", u"20261210-120000");
}
// Where the settings the dialog read are kept for kv27m-isp.
constexpr char16_t kDialogReadPath[] = u"C:\\Users\\me\\AppData\\Local\\KV27M\\dialog-read.kv27ud";

// The dialog's user: the automatic start comes 100 ms after the dialog opens;
// a user who sees nothing started clicks the button after this long (time for
// a mouse pulled out at the start to be plugged in again and found).
constexpr std::uint64_t kClickIfIdleMs = 10'000;
// How often the user looks at the dialog while it is responsive.
constexpr std::uint64_t kLookEveryMs = 1'000;

// The user data a run read, as the bus carried it: each flash-read request on
// the command collection (output report: id, 0x02, offset, count, page) and
// the first flash-read reply the program took after it (input report: id,
// 0x02, offset echo, count, four bytes), which is the reply its exchange
// accepts. Empty unless every step of every page was answered with its own
// offset; page 6's first six bytes follow a second time, as the run merges
// them.
std::vector<std::uint8_t> UserDataFromTraffic(const std::vector<sim::HidCollection::Traffic>& traffic) {
  constexpr std::uint8_t kFlashRead = 0x02;
  std::vector<std::uint8_t> data(kUserDataSize);
  std::vector<bool> got(kUserDataPages * kUserDataPageSize / 4);
  int pending = -1;  // index of the 4-byte step asked for
  unsigned pendingOffset = 0;
  for (const auto& t : traffic) {
    if (t.report.size() < 8 || t.report[1] != kFlashRead) continue;
    if (!t.input) {
      const unsigned offset = t.report[2], page = t.report[4];
      pending = page < kUserDataPages && offset % 4 == 0 ? static_cast<int>(page * 64 + offset / 4) : -1;
      pendingOffset = offset;
    } else if (pending >= 0) {
      if (t.report[2] == pendingOffset) {
        std::copy(t.report.begin() + 4, t.report.begin() + 8, data.begin() + pending * 4);
        got[static_cast<std::size_t>(pending)] = true;
      }
      pending = -1;
    }
  }
  for (bool g : got)
    if (!g) return {};
  std::copy(data.begin() + 6 * kUserDataPageSize, data.begin() + 6 * kUserDataPageSize + 6,
            data.begin() + kUserDataPages * kUserDataPageSize);
  return data;
}
}  // namespace

const char* FaceName(Face face) {
  switch (face) {
    case Face::Sequence:
      return "sequence";
    case Face::Console:
      return "console";
    case Face::Dialog:
      return "dialog";
  }
  return "?";
}

UpgradeBench::UpgradeBench(Face face) : faceKind_(face) {
  if (faceKind_ == Face::Console) return;  // the upgrader builds the PC itself
  rig_ = BuildScenario(world, *FindScenario("ok"));
  if (faceKind_ == Face::Dialog) {
    // The program builds its own links, monitor and window.
    program_ = std::make_unique<ProgramRun>(world, *rig_);
    Built();
    return;
  }
  monitor_ = std::make_unique<CUSBDeviceMonitor>(world);
  bootLink_ = std::make_unique<CKV8B05Comm>(world);
  mouseLink_ = std::make_unique<CKV27USBComm>(world);
  owner_ = world.CreateHeadlessWindow([this](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (message == WM_DEVICECHANGE && mouseLink_) mouseLink_->OnDeviceChange(wParam, lParam);
    return 0;
  });
  monitor_->ownerWindow = owner_;
  monitor_->Refresh();
  WCHAR path[kHidMaxPath] = {};
  if (FindMouseInterface(world, path)) mouseLink_->Start(path, owner_);
  Built();
}

void UpgradeBench::Built() {
  for (std::size_t p = 0; p < kUserDataPages; ++p) pages_.push_back(mouse().UserPage(p));
  {
    sim::World files;
    files.AddFile(u"C:\\x.bimg", rig_->image());
    ImageFileResult image = LoadImageFile(files, u"C:\\x.bimg");
    plain_ = image.payload;
  }
  expected_ = FlashAfterUpgrade(plain_, pages_);
}

void UpgradeBench::Prepare(std::function<void(UpgradeBench&)> fault) {
  if (faceKind_ != Face::Console)
    fault(*this);
  else
    fault_ = std::move(fault);
}

void UpgradeBench::Reached(int percent) {
  if (std::find(fired_.begin(), fired_.end(), percent) != fired_.end()) return;
  fired_.push_back(percent);
  auto hook = face.atProgress.find(percent);
  if (hook != face.atProgress.end()) hook->second();
}

UpgradeStatus UpgradeBench::RunConsole() {
  UpdateToolIo io;
  io.out = [this](const std::u16string& line) {
    out_.push_back(line);
    // The flash steps print their percentage ("60%") as they start.
    const std::size_t sign = line.find(u'%');
    if (sign != std::u16string::npos && sign >= 2 && line[sign - 1] >= u'0' && line[sign - 1] <= u'9') {
      std::size_t from = sign;
      while (from > 0 && line[from - 1] >= u'0' && line[from - 1] <= u'9') --from;
      int percent = 0;
      for (std::size_t i = from; i < sign; ++i) percent = percent * 10 + (line[i] - u'0');
      face.progress.push_back(percent);
      if (percent > 50) Reached(percent);
    }
  };
  io.err = [this](const std::u16string& line) { err_.push_back(line); };
  io.backupFolder = [] { return std::u16string(kBackupFolder); };
  io.timeStamp = [] { return std::u16string(u"20261210-120000"); };
  io.world = &world;
  io.keepRig = &rig_;
  io.prepareWorld = [this](sim::World& w) {
    w.SetHostFiles(false);
    w.AddDirectory(kBackupFolder);  // made by the program's platform layer when missing
    Built();
    if (fault_) fault_(*this);
  };
  // The stages the console shows match the sequence's progress points: the
  // settings are read after 10, the request sent after 20, the flash starts
  // at 50.
  io.onStage = [this](UpgradeStage stage) {
    if (stage == UpgradeStage::ReadUserData) Reached(10);
    if (stage == UpgradeStage::RequestBootloader) Reached(20);
    if (stage == UpgradeStage::Flash) Reached(50);
  };
  exitCode_ = RunUpdateTool({u"--simulate=ok"}, io);
  if (exitCode_ == kUpdateOk) return UpgradeStatus::Success;
  if (exitCode_ >= kUpdateFailureBase) return static_cast<UpgradeStatus>(exitCode_ - kUpdateFailureBase);
  return UpgradeStatus::Stopped;  // not a failure row: reported as such by CheckAfter
}

UpgradeStatus UpgradeBench::RunDialog() {
  const std::uint64_t t0 = world.Now();
  // The progress as the screen shows it: each position the dialog gives its
  // bar, seen after the bar took it, on the dialog's thread while the run goes
  // on (a window hook, as a tool beside the program would watch it). The
  // percentage's own text follows in the same step of the run.
  world.SetSentMessageHook([this](HWND, UINT message, WPARAM wParam, LPARAM, LRESULT) {
    if (message != PBM_SETPOS) return;
    face.progress.push_back(static_cast<int>(wParam));
    Reached(static_cast<int>(wParam));
  });
  ProgramRun& run = *program_;
  run.world.User().AnswerMessageBox(IDOK, 1000);
  // The user looks at the dialog every second while its loop runs (during a
  // run only once its message box is up), and closes it once the box is
  // answered; the looks end with the close.
  auto closing = std::make_shared<bool>(false);
  auto clicked = std::make_shared<bool>(false);
  auto look = std::make_shared<std::function<void()>>();
  *look = [this, t0, closing, clicked, weakLook = std::weak_ptr<std::function<void()>>(look)] {
    ProgramRun& run = *program_;
    dialogWindow_ = run.Dlg().m_hWnd;
    const auto boxes = world.MessageBoxes();
    const bool started = !boxes.empty() || !face.progress.empty();
    const bool over = !boxes.empty() && boxes.back().answer != 0;
    if (!started && !*clicked && world.Now() >= t0 + kClickIfIdleMs) {
      // Nothing started by itself: the user clicks the button (ignored while
      // it is disabled).
      *clicked = true;
      buttonEnabledAtClick_ = run.Look().upgradeEnabled;
      world.User().ClickAt(world.Now(), IDC_UPGRADE);
    } else if (over || (*clicked && !started) || world.Now() >= t0 + 2 * kAfterAnyRun) {
      *closing = true;
      atEnd_ = run.Look();
      othersOpen_ = run.OthersOpen();
      world.User().CloseAt(world.Now());
      return;
    }
    if (auto again = weakLook.lock()) world.User().DoAt(world.Now() + kLookEveryMs, [again] { (*again)(); });
  };
  world.User().DoAt(t0 + kLookEveryMs, [look] { (*look)(); });
  programProblems_ = run.RunProgram();
  world.SetSentMessageHook(nullptr);
  if (!*closing) programProblems_ += "the dialog ended before the user closed it\n";
  face.userData = UserDataFromTraffic(mouse().Collection(sim::kMouseCommandCollection)->TrafficLog());
  // The process ends: what it kept goes (CheckAfter reports anything else).
  run.ReleaseProcess();

  const auto boxes = world.MessageBoxes();
  if (boxes.empty()) return UpgradeStatus::Stopped;  // nothing started: CheckAfter says whether it should have
  for (int s = 0; s < static_cast<int>(UpgradeStatus::Stopped); ++s)
    if (boxes[0].text == UpgradeMessage(static_cast<UpgradeStatus>(s))) return static_cast<UpgradeStatus>(s);
  return UpgradeStatus::Stopped;
}

std::string UpgradeBench::CheckDialog(UpgradeStatus status) {
  std::string out;
  auto fail = [&out](const std::string& what) { out += what + "\n"; };
  if (!programProblems_.empty()) fail("the program: " + programProblems_);
  const auto boxes = world.MessageBoxes();
  if (boxes.empty()) {
    // Nothing to start: only a mouse that was never there to click for.
    if (buttonEnabledAtClick_) fail("the upgrade never started");
    if (mouse().RequestCount() != 0) fail("the mouse was asked without a run");
  } else if (boxes.size() != 1) {
    fail("message boxes: " + std::to_string(boxes.size()));
  } else {
    const sim::MessageBoxRecord& box = boxes[0];
    if (box.text != UpgradeMessage(status)) fail("message: " + Narrow(box.text));
    if (box.caption != kDialogCaption) fail("caption: " + Narrow(box.caption));
    if (box.type != static_cast<UINT>(MB_OK)) fail("message box type " + std::to_string(box.type));
    if (box.owner == nullptr || box.owner != dialogWindow_ || !box.ownerDisabled)
      fail("message box not owned by the dialog");
    if (box.answer == 0) fail("message box never answered");
    // The display keeps what it had where the table shows no progress: the
    // template's 0.
    const int want = std::max(ProgressAfter(status), 0);
    if (atEnd_.position != want || atEnd_.percent != Percent(want))
      fail("progress left at " + std::to_string(atEnd_.position) + " \"" + Narrow(atEnd_.percent) + "\"");
  }
  if (!othersOpen_.empty()) fail("open while the dialog lived: " + othersOpen_);
  return out;
}

UpgradeBench::~UpgradeBench() {
  program_.reset();
  mouseLink_.reset();  // stops the reader before the rig goes
  bootLink_.reset();
  monitor_.reset();
  rig_.reset();
  if (owner_ != nullptr) world.DestroyHeadlessWindow(owner_);
}

UpgradeStatus UpgradeBench::Run() {
  if (faceKind_ == Face::Console) return RunConsole();
  if (faceKind_ == Face::Dialog) return RunDialog();
  return RunUpgrade(world, UpgradeDevices{*mouseLink_, *bootLink_, *monitor_}, sim::kRigImagePath, face);
}

void UpgradeBench::Settle(std::uint64_t ms) {
  world.Advance(ms);
  if (owner_ != nullptr) world.PumpMessages(owner_);
}

namespace {
// Where two flashes differ, for the report: the first offset and the count.
std::string FlashDiff(const sim::BootloaderFlash& got, const sim::BootloaderFlash& want) {
  std::size_t first = got.size();
  std::size_t count = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i] == want[i]) continue;
    if (count++ == 0) first = i;
  }
  char text[96];
  std::snprintf(text, sizeof text, " (%zu bytes differ, the first at 0x%04zX: 0x%02X, not 0x%02X)", count, first,
                count ? got[first] : 0, count ? want[first] : 0);
  return text;
}
}  // namespace

std::string UpgradeBench::CheckAfter(UpgradeStatus status) {
  std::string out;
  auto fail = [&out](const std::string& what) { out += what + "\n"; };

  if (faceKind_ == Face::Sequence) {
    if (face.messages.size() != 1) {
      fail("messages shown: " + std::to_string(face.messages.size()));
    } else {
      if (face.messages[0] != UpgradeMessage(status)) fail("message: " + Narrow(face.messages[0]));
      if (face.statuses[0] != status) fail("message for another status than the run's");
    }
    const int shown = face.progress.empty() ? -1 : face.progress.back();
    if (shown != ProgressAfter(status)) fail("progress left at " + std::to_string(shown));
  } else if (faceKind_ == Face::Dialog) {
    out += CheckDialog(status);
  } else {
    if (rig_ == nullptr) return "the console upgrader built no simulated PC\n";
    if (status == UpgradeStatus::Stopped) fail("exit code " + std::to_string(exitCode_));
    // The one message: on standard output for success, on standard error
    // otherwise, with the steps' percentages up to the failure's.
    std::size_t shownCount = 0;
    for (const auto* lines : {&out_, &err_})
      for (const auto& line : *lines)
        if (line.find(UpgradeMessage(status)) != std::u16string::npos) ++shownCount;
    if (shownCount != 1) fail("message lines: " + std::to_string(shownCount));
    const int shown = face.progress.empty() ? 0 : face.progress.back();
    const int want = ProgressAfter(status);
    if (want >= 50 ? shown != want : shown >= 50) fail("progress left at " + std::to_string(shown));
    // The settings are saved before the mouse is sent to its bootloader.
    if (status >= UpgradeStatus::BootloaderNotFound && status <= UpgradeStatus::ExitFailed &&
        !world.FileBytes(BackupPath()).has_value())
      fail("no settings backup after the bootloader request");
  }
  if (status == UpgradeStatus::Success && mouse().Flash() != expected_)
    fail("success reported without the expected image in the flash" + FlashDiff(mouse().Flash(), expected_));

  // The dialog's two links are the only things a run may leave open.
  mouseLink_.reset();
  if (bootLink_) bootLink_->Close();
  const std::string leaks = world.LeakReport();
  if (!leaks.empty()) fail("left open after the run: " + leaks);

  out += Recover(status);
  return out;
}

// Long enough for any re-enumeration the soak draws (at most 20 s).
constexpr std::uint64_t kSettleMs = 30'000;

std::string UpgradeBench::Recover(UpgradeStatus status) {
  std::string out;
  auto fail = [&out](const std::string& what) { out += what + "\n"; };

  // The glitch is over; the user waits, and plugs the mouse in again if it is
  // not back on its own.
  mouse().ClearFaults();
  world.ClearFaults();
  Settle(kSettleMs);
  if (mouse().CurrentMode() != sim::VirtualMouse::Mode::kNormal) {
    if (mouse().CurrentMode() != sim::VirtualMouse::Mode::kAbsent) mouse().Unplug();
    mouse().Plug();
    Settle(5'000);
  }

  // A mouse that stays in its bootloader gets the image again, with the
  // settings the run read before it changed anything.
  bool reflashed = false;
  if (faceKind_ == Face::Sequence && mouse().CurrentMode() == sim::VirtualMouse::Mode::kBootloader) {
    if (face.userData.size() != kUserDataSize) {
      fail("mouse in its bootloader, but the run had not read its settings");
    } else {
      std::vector<std::uint8_t> image = plain_;
      std::copy(face.userData.begin(), face.userData.end(), image.begin() + kUserDataOffset);
      std::vector<std::uint8_t> readBack(kIspFlashSize);
      CKV8B05Comm link(world);
      const IspFlashResult result = RunIspFlash(world, link, image.data(), readBack.data(), {});
      link.Close();
      if (result != IspFlashResult::Success) fail("recovery flash: " + Narrow(IspFlashMessage(result)));
      reflashed = true;
      Settle(kSettleMs);
    }
  } else if (mouse().CurrentMode() == sim::VirtualMouse::Mode::kBootloader &&
             (faceKind_ == Face::Console || face.userData.size() == kUserDataSize)) {
    // kv27m-isp with the backup the upgrader saved, or with the settings the
    // dialog read, kept in a backup file.
    std::u16string backup = BackupPath();
    if (faceKind_ == Face::Dialog) {
      world.AddFile(kDialogReadPath, EncodeBackup(face.userData.data()));
      backup = kDialogReadPath;
    }
    std::vector<std::u16string> ispOut, ispErr;
    IspToolIo io;
    io.out = [&](const std::u16string& line) { ispOut.push_back(line); };
    io.err = [&](const std::u16string& line) { ispErr.push_back(line); };
    io.world = &world;
    const int code = RunIspTool({u"--simulate", u"--user-data", backup, sim::kRigImagePath}, io);
    if (code != kIspToolOk) {
      fail("kv27m-isp --user-data exited with " + std::to_string(code));
      for (const auto& line : ispErr) fail("  " + Narrow(line));
    } else {
      reflashed = true;
      Settle(kSettleMs);
    }
  } else if (mouse().CurrentMode() == sim::VirtualMouse::Mode::kBootloader) {
    fail("mouse in its bootloader, but the dialog had not read its settings");
  }

  if (mouse().CurrentMode() != sim::VirtualMouse::Mode::kNormal) fail("mouse not back in normal mode");
  for (std::size_t p = 0; p < kUserDataPages; ++p)
    if (mouse().UserPage(p) != pages_[p]) fail("settings page " + std::to_string(p) + " lost");
  if ((status == UpgradeStatus::Success || reflashed) && mouse().Flash() != expected_)
    fail("flash differs from the image with the settings after recovery" + FlashDiff(mouse().Flash(), expected_));
  const std::string leaks = world.LeakReport();
  if (!leaks.empty()) fail("left open after recovery: " + leaks);
  return out;
}

}  // namespace kv27::test
