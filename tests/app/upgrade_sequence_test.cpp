// The upgrade sequence through a recording face, over every simulated
// scenario: each failure row produced by a realistic fault of the mouse, its
// bootloader, the bus or the image file.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/mouse_search.h"
#include "app/simulation.h"
#include "app/upgrade_sequence.h"
#include "app/user_data_backup.h"
#include "image/image_file.h"
#include "protocol/isp_flash.h"
#include "protocol/kv27_usb_comm.h"
#include "protocol/kv8b05_comm.h"
#include "res/ui_text.h"
#include "tests/support/backup_names.h"
#include "tests/support/scenario_names.h"
#include "tests/support/upgrade_expectations.h"
#include "usbmon/usb_device_monitor.h"

namespace kv27 {
namespace {

using test::ProgressAfter;

struct RecordingFace : UpgradeFace {
  std::vector<int> progress;
  std::vector<std::u16string> messages;
  std::vector<UpgradeStage> stages;
  std::vector<std::uint8_t> userData;
  bool stopAfterUserData = false;
  // The wait observer: every call, and the call number (1-based) from which it
  // answers false; 0 keeps the default.
  std::vector<std::pair<UpgradeStage, DWORD>> waits;
  std::size_t stopWaitAt = 0;
  bool stopAtOpen = false;  // say stop at the first open attempt
  bool observeWaits = false;

  void SetProgress(int percent) override { progress.push_back(percent); }
  void ShowMessage(UpgradeStatus, const char16_t* text) override { messages.emplace_back(text); }
  void OnStage(UpgradeStage stage) override { stages.push_back(stage); }
  bool OnUserDataRead(const std::uint8_t* data, std::size_t size) override {
    userData.assign(data, data + size);
    return !stopAfterUserData;
  }
  // The place of the bootloader a bootloader run follows ("unknown" without
  // one), and the settings it gets instead of the image's.
  std::optional<std::u16string> bootloaderPlace;
  std::vector<std::uint8_t> bootloaderUserData;
  bool OnBootloaderUserData(std::uint8_t* data, std::size_t size, const USBDeviceEntry* port) override {
    bootloaderPlace = port != nullptr ? PortPlace(*port) : u"unknown";
    if (bootloaderUserData.size() == size) std::copy(bootloaderUserData.begin(), bootloaderUserData.end(), data);
    return true;
  }
  bool OnWait(UpgradeStage stage, DWORD elapsedMs, DWORD limitMs) override {
    if (!observeWaits) return true;
    waits.emplace_back(stage, elapsedMs);
    EXPECT_EQ(limitMs, stage == UpgradeStage::WaitBootloader ? 600'000u : 5'000u);
    if (stopAtOpen && stage == UpgradeStage::Flash) return false;
    return stopWaitAt == 0 || waits.size() < stopWaitAt;
  }
};

// The dialog's devices on a scenario's rig: the monitor refreshed, the mouse
// link started on the command interface with a window that passes device
// changes on to it, and a closed bootloader link.
class SequenceRun {
 public:
  explicit SequenceRun(const Scenario& scenario) : rig_(BuildScenario(world, scenario)) { Connect(); }
  // A rig of its own, with the sample image; `before` runs on it before the
  // devices are looked for.
  explicit SequenceRun(sim::RigOptions options, const std::function<void(SequenceRun&)>& before = {})
      : rig_(std::make_unique<sim::MouseRig>(world, SampleImageBytes(), options)) {
    if (before) before(*this);
    Connect();
  }
  ~SequenceRun() {
    mouseLink.reset();  // stops the reader before the rig goes
    bootLink.reset();
    monitor.reset();
    rig_.reset();
    world.DestroyHeadlessWindow(owner_);
  }

  UpgradeStatus Run(const WCHAR* path = sim::kRigImagePath) {
    return RunUpgrade(world, UpgradeDevices{*mouseLink, *bootLink, *monitor}, path, face);
  }
  // Lets the bus settle (re-enumerations) and hands the queued device changes
  // to the link, as the dialog's loop would.
  void Settle(std::uint64_t ms) {
    world.Advance(ms);
    world.PumpMessages(owner_);
  }

  sim::World world;
  std::unique_ptr<CUSBDeviceMonitor> monitor = std::make_unique<CUSBDeviceMonitor>(world);
  std::unique_ptr<CKV8B05Comm> bootLink = std::make_unique<CKV8B05Comm>(world);
  std::unique_ptr<CKV27USBComm> mouseLink = std::make_unique<CKV27USBComm>(world);
  RecordingFace face;
  sim::MouseRig& rig() { return *rig_; }

 private:
  void Connect() {
    owner_ = world.CreateHeadlessWindow([this](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
      if (message == WM_DEVICECHANGE) mouseLink->OnDeviceChange(wParam, lParam);
      return 0;
    });
    monitor->ownerWindow = owner_;
    monitor->Refresh();
    WCHAR path[kHidMaxPath] = {};
    if (FindMouseInterface(world, path)) mouseLink->Start(path, owner_);
  }

  std::unique_ptr<sim::MouseRig> rig_;
  HWND owner_ = nullptr;
};

// The plain firmware of an image file's bytes.
std::vector<std::uint8_t> PlainImage(const std::vector<std::uint8_t>& file) {
  sim::World files;
  files.AddFile(u"C:\\x.bimg", file);
  ImageFileResult plain = LoadImageFile(files, u"C:\\x.bimg");
  EXPECT_TRUE(plain.ok());
  return plain.payload;
}

// What a good run leaves in a mouse's flash: the image, with the mouse's own
// settings at 0x3800 (page 6's first six bytes again at 0x3F00) and 0xFF in
// the last five bytes.
sim::BootloaderFlash FlashedWith(const std::vector<std::uint8_t>& plain, const sim::BootloaderFlash& settingsFrom) {
  sim::BootloaderFlash flash{};
  std::copy(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(std::min(plain.size(), flash.size())),
            flash.begin());
  std::copy(settingsFrom.begin() + 0x3800, settingsFrom.begin() + 0x3F00, flash.begin() + 0x3800);
  std::copy(settingsFrom.begin() + 0x3E00, settingsFrom.begin() + 0x3E06, flash.begin() + 0x3F00);
  std::fill(flash.begin() + 0x3FFB, flash.end(), 0xFF);
  return flash;
}

class EveryScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(EveryScenario, EndsWithItsOneMessageAndProgress) {
  const Scenario& scenario = GetParam();
  SequenceRun run(scenario);
  const sim::BootloaderFlash before = run.rig().mouse().Flash();

  EXPECT_EQ(run.Run(), scenario.expected);
  ASSERT_EQ(run.face.messages.size(), 1u);
  EXPECT_EQ(run.face.messages[0], UpgradeMessage(scenario.expected));
  const int shown = run.face.progress.empty() ? -1 : run.face.progress.back();
  EXPECT_EQ(shown, ProgressAfter(scenario.expected));

  // Nothing is left open but the two links: the mouse link (the dialog's, for
  // its whole life) and the bootloader link, which the run keeps.
  run.mouseLink.reset();
  run.bootLink->Close();
  EXPECT_EQ(run.world.LeakReport(), "");

  // Until the bootloader has the erase, the mouse's flash is untouched.
  if (scenario.expected != UpgradeStatus::Success && scenario.expected < UpgradeStatus::EraseFailed) {
    EXPECT_TRUE(run.rig().mouse().Flash() == before);
  }
}

INSTANTIATE_TEST_SUITE_P(Catalogue, EveryScenario, ::testing::ValuesIn(Scenarios()), test::ScenarioTestName);

TEST(UpgradeSequence, CatalogueCoversEveryFailureRow) {
  std::vector<bool> seen(static_cast<int>(UpgradeStatus::Stopped) + 1, false);
  for (const auto& s : Scenarios()) seen[static_cast<int>(s.expected)] = true;
  // Rows that no device or file fault can produce: the empty path box (the
  // dialog's own tests cover it), and allocation failures.
  for (auto row : {UpgradeStatus::NoImagePath, UpgradeStatus::OutOfMemory, UpgradeStatus::WrongChecksum,
                   UpgradeStatus::WrongLength, UpgradeStatus::DecodeInitFailed, UpgradeStatus::HeaderReadFailed,
                   UpgradeStatus::Stopped})
    seen[static_cast<int>(row)] = true;
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_TRUE(seen[i]) << "no scenario ends with status " << i;
}

// Every row's message in both languages: the Chinese text byte for byte as the
// program has always shown it, from every way the code reaches it (the run's
// status, the image check, the flash, the string table), and the English one.
TEST(UpgradeSequence, EveryMessageInBothLanguages) {
  struct Row {
    UpgradeStatus status;
    const char16_t* chinese;
    const char16_t* english;
  };
  const Row rows[] = {
      {UpgradeStatus::Success, u"恭喜亲，在线升级成功！", u"Congratulations, the online upgrade succeeded!"},
      {UpgradeStatus::MouseAbsent, u"请插入需要升级的USB设备！", u"Please plug in the USB device to be upgraded!"},
      {UpgradeStatus::NoImagePath, u"请选择镜像文件！", u"Please choose an image file!"},
      {UpgradeStatus::OutOfMemory, u"申请内存失败！", u"Out of memory!"},
      {UpgradeStatus::ImageOpenFailed, u"打开镜像文件失败！", u"Cannot open the image file!"},
      {UpgradeStatus::HeaderReadFailed, u"读镜像头失败！", u"Cannot read the image header!"},
      {UpgradeStatus::InvalidImage, u"无效的镜像文件！", u"Invalid image file!"},
      {UpgradeStatus::NotKv27Image, u"不是KV27镜像文件！", u"Not a KV27 image file!"},
      {UpgradeStatus::WrongImageName, u"镜像名称错误！", u"Wrong image name!"},
      {UpgradeStatus::WrongChecksum, u"镜像CHECKSUM错误！", u"Image CHECKSUM error!"},
      {UpgradeStatus::WrongLength, u"镜像文件的长度错误！", u"Wrong image file length!"},
      {UpgradeStatus::DecodeInitFailed, u"镜像解码初始化失败！", u"Cannot start decoding the image!"},
      {UpgradeStatus::PayloadReadFailed, u"读镜像文件失败！", u"Cannot read the image file!"},
      {UpgradeStatus::DecodeVerifyFailed, u"镜像解码验证失败！", u"The decoded image fails its check!"},
      {UpgradeStatus::UserDataFailed, u"读取用户数据失败！", u"Cannot read the user data!"},
      {UpgradeStatus::BootloaderNotFound, u"升级设备驱动安装失败！请重新插拔设备，之后重新执行升级程序！",
       u"The upgrade device's driver could not be installed! Unplug and replug the device, then run the upgrade "
       u"again!"},
      {UpgradeStatus::BootloaderOpenFailed, u"升级设备打开失败！", u"Cannot open the upgrade device!"},
      {UpgradeStatus::EraseFailed, u"Flash擦除失败！", u"Flash erase failed!"},
      {UpgradeStatus::WriteFailed, u"Flash写失败！", u"Flash write failed!"},
      {UpgradeStatus::ReadFailed, u"Flash读失败！", u"Flash read failed!"},
      {UpgradeStatus::CompareFailed, u"Flash数据校验失败！", u"Flash data check failed!"},
      {UpgradeStatus::VerifyFailed, u"Flash验证失败！", u"Flash verification failed!"},
      {UpgradeStatus::ProtectFailed, u"Flash读保护失败！", u"Flash read protection failed!"},
      {UpgradeStatus::ExitFailed, u"退出ISP模式失败！", u"Cannot leave ISP mode!"},
      {UpgradeStatus::MousePortUnknown, u"无法确定需要升级的USB设备所在的端口！请重新插拔设备，之后重新执行升级程序！",
       u"Cannot tell which USB port the device to be upgraded is on! Unplug and replug the device, then run the "
       u"upgrade again!"},
  };
  ASSERT_EQ(std::size(rows), static_cast<std::size_t>(UpgradeStatus::Stopped));  // every status but Stopped
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.status));
    EXPECT_EQ(std::u16string(UpgradeMessage(row.status)), row.chinese);
    EXPECT_EQ(std::u16string(UpgradeMessage(row.status, UiLanguage::Chinese)), row.chinese);
    EXPECT_EQ(std::u16string(UpgradeMessage(row.status, UiLanguage::English)), row.english);
    ASSERT_NE(UiText(UiLanguage::Chinese, UpgradeMessageId(row.status)), nullptr);
    EXPECT_EQ(std::u16string(UiText(UiLanguage::Chinese, UpgradeMessageId(row.status))), row.chinese);
  }
  EXPECT_EQ(UpgradeMessageId(UpgradeStatus::Stopped), 0u);
  for (int e = static_cast<int>(ImageFileError::OutOfMemory); e <= static_cast<int>(ImageFileError::VerifyFailed);
       ++e) {
    const auto error = static_cast<ImageFileError>(e);
    EXPECT_EQ(std::u16string(ImageFileErrorText(error)), UpgradeMessage(UpgradeStatusOf(error))) << e;
    EXPECT_EQ(ImageFileErrorTextId(error), UpgradeMessageId(UpgradeStatusOf(error))) << e;
  }
  for (int r = static_cast<int>(IspFlashResult::Success); r <= static_cast<int>(IspFlashResult::ExitFailed); ++r) {
    const auto result = static_cast<IspFlashResult>(r);
    EXPECT_EQ(std::u16string(IspFlashMessage(result)), UpgradeMessage(UpgradeStatusOf(result))) << r;
  }
}

// A good run: the flash holds the image with the mouse's own user data, the
// stages and progress points come in order, and the mouse comes back in normal
// mode with its settings.
TEST(UpgradeSequence, GoodRunFlashesTheImageAndKeepsTheSettings) {
  SequenceRun run(*FindScenario("ok"));
  std::vector<std::vector<std::uint8_t>> pages;
  for (std::size_t p = 0; p < 7; ++p) pages.push_back(run.rig().mouse().UserPage(p));

  ASSERT_EQ(run.Run(), UpgradeStatus::Success);
  EXPECT_EQ(run.face.progress, (std::vector<int>{0, 10, 20, 50, 55, 60, 80, 85, 90, 95, 100}));
  EXPECT_EQ(run.face.stages, (std::vector<UpgradeStage>{UpgradeStage::CheckImage, UpgradeStage::ReadUserData,
                                                        UpgradeStage::RequestBootloader, UpgradeStage::WaitBootloader,
                                                        UpgradeStage::Flash}));
  EXPECT_EQ(run.face.messages, (std::vector<std::u16string>{u"恭喜亲，在线升级成功！"}));

  const std::vector<std::uint8_t> image = SampleImageBytes();
  const sim::BootloaderFlash flash = run.rig().mouse().Flash();
  // The plain firmware of the sample carries 0xEE where the settings go; the
  // flash must carry the mouse's own bytes there instead.
  ImageFileResult plain = [&] {
    sim::World files;
    files.AddFile(u"C:\\x.bimg", image);
    return LoadImageFile(files, u"C:\\x.bimg");
  }();
  ASSERT_TRUE(plain.ok());
  for (std::size_t i = 0; i < 0x4000; ++i) {
    std::uint8_t want = plain.payload[i];
    if (i >= 0x3800 && i < 0x3F00) want = pages[(i - 0x3800) / 256][(i - 0x3800) % 256];
    if (i >= 0x3F00 && i < 0x3F06) want = pages[6][i - 0x3F00];
    if (i >= 0x3FFB) want = 0xFF;
    ASSERT_EQ(flash[i], want) << "at 0x" << std::hex << i;
  }
  EXPECT_TRUE(std::equal(flash.begin() + 0x3F00, flash.begin() + 0x3F06, flash.begin() + 0x3E00));
  EXPECT_EQ(run.face.userData.size(), kUserDataSize);
  EXPECT_TRUE(std::equal(run.face.userData.begin(), run.face.userData.end(), flash.begin() + 0x3800));

  // The mouse comes back running the new image, its settings unchanged.
  run.Settle(10'000);
  EXPECT_EQ(run.rig().mouse().CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  for (std::size_t p = 0; p < 7; ++p) EXPECT_EQ(run.rig().mouse().UserPage(p), pages[p]) << "page " << p;
}

// On the bus timing model a good run takes at least the least time the
// protocol needs, and no more than that plus the pauses the sequence makes by
// design (one search pause, one open pause) and 1%: the sequence wastes no
// frames of its own. (The link's reader thread, waiting, may move the clock
// on to the bootloader's arrival while the search pauses, so the search pause
// does not always show.)
TEST(UpgradeSequence, OnTheBusModelTakesTheFloorAndItsDesignedPausesOnly) {
  SequenceRun run(*FindScenario("ok"));
  const sim::UsbTiming timing;
  run.world.SetUsbTiming(timing);
  const std::uint64_t start = run.world.NowUs();
  ASSERT_EQ(run.Run(), UpgradeStatus::Success);
  // The upgrade is over when the mouse is back.
  while (run.rig().mouse().CurrentMode() != sim::VirtualMouse::Mode::kNormal) run.world.Advance(1);
  const std::uint64_t took = run.world.NowUs() - start;
  const std::uint64_t floor = sim::ComputeUpgradeFloor(timing).TotalUs();
  EXPECT_GE(took, floor);
  EXPECT_LE(took, (floor + (kIspSearchPauseMs + kIspOpenPauseMs) * 1000) * 101 / 100);
}

TEST(UpgradeSequence, MouseIsAskedForBeforeThePath) {
  SequenceRun run(*FindScenario("no-mouse"));
  EXPECT_EQ(run.Run(u""), UpgradeStatus::MouseAbsent);
  EXPECT_TRUE(run.face.progress.empty());

  SequenceRun withMouse(*FindScenario("ok"));
  EXPECT_EQ(withMouse.Run(u""), UpgradeStatus::NoImagePath);
  EXPECT_EQ(withMouse.Run(nullptr), UpgradeStatus::NoImagePath);
  EXPECT_TRUE(withMouse.face.progress.empty());
  EXPECT_EQ(withMouse.rig().mouse().RequestCount(), 0u);
}

// The whole bootloader search runs its 600 seconds in virtual time, and a run
// after a failure starts again from the top.
TEST(UpgradeSequence, SearchLastsSixHundredSecondsAndASecondRunStartsAfresh) {
  SequenceRun run(*FindScenario("no-bootloader"));
  const std::uint64_t start = run.world.Now();
  ASSERT_EQ(run.Run(), UpgradeStatus::BootloaderNotFound);
  const std::uint64_t took = run.world.Now() - start;
  EXPECT_GE(took, 600'000u);
  EXPECT_LT(took, 610'000u);

  // The mouse ignored the request and is still there: a second run reads it
  // again and, with the request heeded this time, succeeds.
  run.rig().mouse().IgnoreBootloaderRequest(false);
  run.face = RecordingFace{};
  EXPECT_EQ(run.Run(), UpgradeStatus::Success);
  EXPECT_EQ(run.face.progress.front(), 0);
}

// A face that stops after the user data (a dry run) sends the mouse nothing
// that changes it, and no message is shown.
TEST(UpgradeSequence, FaceCanStopBeforeTheMouseIsChanged) {
  SequenceRun run(*FindScenario("ok"));
  run.face.stopAfterUserData = true;
  EXPECT_EQ(run.Run(), UpgradeStatus::Stopped);
  EXPECT_TRUE(run.face.messages.empty());
  EXPECT_EQ(run.face.userData.size(), kUserDataSize);
  run.Settle(5'000);
  EXPECT_EQ(run.rig().mouse().CurrentMode(), sim::VirtualMouse::Mode::kNormal);
}

// Watching the waits changes nothing the dialog shows, nor the time the run
// takes; the observer sees the countdown of both waits.
TEST(UpgradeSequence, WaitObserverSeesBothWaitsAndChangesNothing) {
  for (const char* name : {"ok", "slow-open", "no-bootloader", "open-fails"}) {
    SCOPED_TRACE(name);
    SequenceRun plain(*FindScenario(name));
    SequenceRun watched(*FindScenario(name));
    watched.face.observeWaits = true;
    // Each run's length is taken as it ends: its world lives on (the mouse
    // link's reader keeps reading) while the other one runs.
    auto timed = [](SequenceRun& run) {
      const std::uint64_t start = run.world.Now();
      const UpgradeStatus status = run.Run();
      return std::make_pair(status, run.world.Now() - start);
    };
    const auto plainRun = timed(plain);
    const auto watchedRun = timed(watched);
    EXPECT_EQ(plainRun, watchedRun);
    EXPECT_EQ(plain.face.progress, watched.face.progress);
    EXPECT_EQ(plain.face.messages, watched.face.messages);
    EXPECT_EQ(plain.face.stages, watched.face.stages);

    ASSERT_FALSE(watched.face.waits.empty());
    EXPECT_EQ(watched.face.waits.front(), std::make_pair(UpgradeStage::WaitBootloader, DWORD{0}));
    for (std::size_t i = 1; i < watched.face.waits.size(); ++i) {
      const auto& [stage, elapsed] = watched.face.waits[i];
      const auto& [prevStage, prevElapsed] = watched.face.waits[i - 1];
      if (stage == prevStage) {
        EXPECT_GT(elapsed, prevElapsed) << "call " << i;
      }
    }
  }
  // The whole search: one call per search, 100 ms apart, up to 599.9 s.
  SequenceRun search(*FindScenario("no-bootloader"));
  search.face.observeWaits = true;
  search.Run();
  ASSERT_EQ(search.face.waits.size(), 6000u);
  EXPECT_EQ(search.face.waits.back().second, 599'900u);
}

// An observer that says stop ends the wait at once, as if the bootloader never
// came: not found during the search, open failed during the open window.
TEST(UpgradeSequence, WaitObserverCanEndEitherWait) {
  struct Case {
    const char* scenario;
    std::size_t stopAt;
    UpgradeStatus expected;
    std::uint64_t maxMs;
  };
  const Case cases[] = {
      {"no-bootloader", 5, UpgradeStatus::BootloaderNotFound, 1'000},
      {"open-fails", 0, UpgradeStatus::BootloaderOpenFailed, 0},  // stop at the first open attempt
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    SequenceRun run(*FindScenario(c.scenario));
    run.face.observeWaits = true;
    run.face.stopWaitAt = c.stopAt;
    run.face.stopAtOpen = c.stopAt == 0;
    const std::uint64_t start = run.world.Now();
    EXPECT_EQ(run.Run(), c.expected);
    ASSERT_EQ(run.face.messages.size(), 1u);
    EXPECT_EQ(run.face.messages[0], UpgradeMessage(c.expected));
    if (c.stopAt > 0) {
      EXPECT_EQ(run.face.waits.size(), c.stopAt);
    } else {
      EXPECT_EQ(run.face.waits.back().first, UpgradeStage::Flash);
    }
    if (c.maxMs > 0) {
      EXPECT_LT(run.world.Now() - start, c.maxMs);
    }
  }
}

// Two N4 mice on one hub. The run reads the settings of the mouse whose
// command interface is listed first and must flash exactly that mouse, with
// exactly those settings: the request goes to its port only, and only the
// bootloader that appears on that port is taken. The other mouse gets
// nothing: no request on its command interface, no string request through its
// port, its flash and its mode as they were. Cases: the other mouse plugged
// in after the first (listed after it), before it (listed first, on the
// higher port), and waiting in its bootloader since before the run (its
// bootloader listed before the one the run brings up).
TEST(TwoMice, OnlyTheMouseReadIsFlashedWithItsOwnSettings) {
  struct Case {
    const char* what;
    bool otherFirst;
    bool otherInBootloader;
  };
  const Case cases[] = {
      {"other plugged in after", false, false},
      {"other plugged in first", true, false},
      {"other waiting in its bootloader", true, true},
  };
  const std::vector<std::uint8_t> plain = PlainImage(SampleImageBytes());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SequenceRun run(sim::RigOptions{0, 3, c.otherFirst}, [&](SequenceRun& r) {
      if (!c.otherInBootloader) return;
      // Sent to its bootloader through its own port, before the run.
      sim::VirtualMouse& other = *r.rig().otherMouse();
      CUSBDeviceMonitor monitor(r.world);
      monitor.Refresh();
      USBDeviceEntry port;
      ASSERT_EQ(monitor.FindDeviceOfInterface(GUID_DEVINTERFACE_HID, other.CommandPath().c_str(), port), 1);
      monitor.GetDeviceString(&port);
      r.world.Advance(5'000);
      ASSERT_EQ(other.CurrentMode(), sim::VirtualMouse::Mode::kBootloader);
    });
    sim::VirtualMouse* mice[] = {&run.rig().mouse(), run.rig().otherMouse()};
    ASSERT_NE(mice[1], nullptr);
    const std::u16string linked = run.mouseLink->devicePath;
    const std::size_t readIndex = linked == mice[0]->CommandPath() ? 0 : 1;
    ASSERT_EQ(linked, mice[readIndex]->CommandPath());
    EXPECT_EQ(readIndex, c.otherFirst && !c.otherInBootloader ? 1u : 0u);
    sim::VirtualMouse& read = *mice[readIndex];
    sim::VirtualMouse& other = *mice[1 - readIndex];
    const sim::BootloaderFlash readBefore = read.Flash();
    const sim::BootloaderFlash otherBefore = other.Flash();
    ASSERT_FALSE(std::equal(readBefore.begin() + 0x3800, readBefore.end(), otherBefore.begin() + 0x3800));
    const sim::VirtualMouse::Mode otherMode = other.CurrentMode();
    const std::size_t otherRequests = other.RequestCount();

    ASSERT_EQ(run.Run(), UpgradeStatus::Success);
    EXPECT_EQ(run.face.messages, (std::vector<std::u16string>{u"恭喜亲，在线升级成功！"}));
    ASSERT_EQ(run.face.userData.size(), kUserDataSize);
    EXPECT_TRUE(std::equal(readBefore.begin() + 0x3800, readBefore.begin() + 0x3F00, run.face.userData.begin()));
    EXPECT_TRUE(read.Flash() == FlashedWith(plain, readBefore));
    EXPECT_EQ(other.CurrentMode(), otherMode);
    EXPECT_TRUE(other.Flash() == otherBefore);
    EXPECT_EQ(other.RequestCount(), otherRequests);

    // The mouse read comes back with its own settings; the other stays as it was.
    run.Settle(10'000);
    EXPECT_EQ(read.CurrentMode(), sim::VirtualMouse::Mode::kNormal);
    EXPECT_TRUE(read.Flash() == FlashedWith(plain, readBefore));
    EXPECT_EQ(other.CurrentMode(), otherMode);
    EXPECT_TRUE(other.Flash() == otherBefore);
    run.mouseLink.reset();
    run.bootLink->Close();
    EXPECT_EQ(run.world.LeakReport(), "");
  }
}

// Two mice waiting in their bootloaders, sent there in either order: a
// bootloader run follows the bootloader listed first, the face is told that
// one's port (where the rig plugged its mouse), and only that mouse is
// flashed, with the settings the face gave; the other keeps its flash and
// stays in its bootloader.
TEST(TwoMice, BootloaderRunFollowsOneBootloaderAndTellsItsPort) {
  for (const int first : {2, 3}) {
    SCOPED_TRACE(first);
    SequenceRun run(sim::RigOptions{0, 3, false}, [&](SequenceRun& r) {
      CUSBDeviceMonitor monitor(r.world);
      for (const int port : {first, 5 - first}) {
        sim::VirtualMouse& mouse = port == 2 ? r.rig().mouse() : *r.rig().otherMouse();
        monitor.Refresh();
        USBDeviceEntry entry;
        ASSERT_EQ(monitor.FindDeviceOfInterface(GUID_DEVINTERFACE_HID, mouse.CommandPath().c_str(), entry), 1);
        monitor.GetDeviceString(&entry);
        r.world.Advance(5'000);
        ASSERT_EQ(mouse.CurrentMode(), sim::VirtualMouse::Mode::kBootloader);
      }
    });
    sim::VirtualMouse& followed = first == 2 ? run.rig().mouse() : *run.rig().otherMouse();
    sim::VirtualMouse& other = first == 2 ? *run.rig().otherMouse() : run.rig().mouse();
    const sim::BootloaderFlash otherBefore = other.Flash();
    run.face.bootloaderUserData.assign(kUserDataSize, 0xA5);
    ASSERT_EQ(RunBootloaderUpgrade(run.world, UpgradeDevices{*run.mouseLink, *run.bootLink, *run.monitor},
                                   sim::kRigImagePath, run.face),
              UpgradeStatus::Success);
    EXPECT_EQ(run.face.bootloaderPlace, test::RigPlace(first));
    const sim::BootloaderFlash flash = followed.Flash();
    EXPECT_TRUE(std::all_of(flash.begin() + 0x3800, flash.begin() + 0x3800 + kUserDataSize,
                            [](std::uint8_t b) { return b == 0xA5; }));
    run.Settle(10'000);
    EXPECT_EQ(followed.CurrentMode(), sim::VirtualMouse::Mode::kNormal);
    EXPECT_EQ(other.CurrentMode(), sim::VirtualMouse::Mode::kBootloader);
    EXPECT_TRUE(other.Flash() == otherBefore);
    run.mouseLink.reset();
    run.bootLink->Close();
    EXPECT_EQ(run.world.LeakReport(), "");
  }
}

// Where the hub port of the open mouse cannot be told, the run refuses at
// once, before anything goes to any mouse: no report on a command interface,
// no string request through any port, the progress display left alone. The
// port is told by the driver key the hub names for its device and the one
// the configuration manager gives for the mouse's interface or a node above
// it; each source failing is a case, with one mouse and with two.
TEST(TwoMice, RefusesBeforeAnythingIsSentWhenThePortCannotBeTold) {
  struct Case {
    const char* what;
    sim::RigOptions rig;
    std::function<void(SequenceRun&)> fault;  // after the devices are found
  };
  auto failing = [](const char* call, DWORD error) {
    return [=](SequenceRun& r) { r.world.InjectFault({call, error, 1, 0, u""}); };
  };
  const Case cases[] = {
      {"host controller 10, beyond the hub walk", {10, 0, false}, {}},
      {"two mice on host controller 10", {10, 3, false}, {}},
      {"the parent of a node cannot be read", {0, 3, false}, failing("CM_Get_Parent", CR_FAILURE)},
      {"no driver key can be read", {0, 3, true}, failing("CM_Get_DevNode_Registry_PropertyW", CR_FAILURE)},
      {"the interface's device cannot be read",
       {0, 0, false},
       failing("SetupDiGetDeviceInterfaceDetailW", ERROR_GEN_FAILURE)},
      {"the hubs do not name the devices on their ports", {0, 3, false}, failing("DeviceIoControl", ERROR_GEN_FAILURE)},
      {"the table was never filled",
       {0, 3, false},
       [](SequenceRun& r) { r.monitor = std::make_unique<CUSBDeviceMonitor>(r.world); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SequenceRun run(c.rig);
    ASSERT_NE(run.mouseLink->device, nullptr);
    if (c.fault) c.fault(run);
    std::vector<sim::VirtualMouse*> mice{&run.rig().mouse()};
    if (run.rig().otherMouse() != nullptr) mice.push_back(run.rig().otherMouse());
    std::vector<sim::BootloaderFlash> before;
    for (auto* mouse : mice) before.push_back(mouse->Flash());
    const std::uint64_t start = run.world.Now();

    EXPECT_EQ(run.Run(), UpgradeStatus::MousePortUnknown);
    EXPECT_EQ(
        run.face.messages,
        (std::vector<std::u16string>{u"无法确定需要升级的USB设备所在的端口！请重新插拔设备，之后重新执行升级程序！"}));
    EXPECT_TRUE(run.face.progress.empty());
    EXPECT_TRUE(run.face.stages.empty());
    EXPECT_LT(run.world.Now() - start, 1'000u);
    run.world.ClearFaults();
    run.Settle(5'000);
    for (std::size_t i = 0; i < mice.size(); ++i) {
      EXPECT_EQ(mice[i]->RequestCount(), 0u) << "mouse " << i;
      EXPECT_EQ(mice[i]->CurrentMode(), sim::VirtualMouse::Mode::kNormal) << "mouse " << i;
      EXPECT_TRUE(mice[i]->Flash() == before[i]) << "mouse " << i;
    }
    EXPECT_TRUE(run.rig().keyboard()->Requests().empty());
    run.mouseLink.reset();
    EXPECT_EQ(run.world.LeakReport(), "");
  }
}

// The backup a mouse in its bootloader gets: the newest sound one whose name
// carries the mouse's place. Names with a sequence number rank by it, above
// every name written before sequence numbers, whatever their stamps (the
// local time, which daylight saving, the time zone or the clock can put
// back); the old names still rank among themselves by stamp, then number.
// Backups of other places and other names are passed over; damaged ones newer
// than the one taken are passed over and named. The per-user folder comes
// from LOCALAPPDATA.
TEST(SettingsBackup, NewestSoundBackupOfThePlace) {
  sim::World world;
  world.SetHostFiles(false);
  const std::u16string folder = UserBackupFolder(world);
  ASSERT_EQ(folder, std::u16string(sim::kWorldLocalAppData) + u"\\KV27M");
  EXPECT_EQ(UserBackupFolder(world), folder);  // already there
  const std::u16string place = BackupPlace(u"\\\\.\\USB#ROOT_HUB20#4&1&0#{f18a0e88}", 2);
  EXPECT_EQ(place, BackupPlace(u"\\\\.\\usb#root_hub20#4&1&0#{F18A0E88}", 2));
  EXPECT_NE(place, BackupPlace(u"\\\\.\\USB#ROOT_HUB20#4&1&0#{f18a0e88}", 3));
  auto data = [](std::uint8_t fill) {
    std::vector<std::uint8_t> d(kUserDataSize, fill);
    return EncodeBackup(d.data());
  };
  std::vector<std::uint8_t> damaged = data(0x77);
  damaged[100] ^= 1;
  struct File {
    std::u16string name;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<std::uint8_t> got;
  std::u16string path;
  std::vector<std::u16string> passedOver;

  // Names of the program before sequence numbers, as users' disks hold them.
  const File old[] = {
      {u"backup-20261210-115959-999-" + place + u".kv27ud", data(0x11)},
      {u"backup-20261210-120000-000-" + place + u".kv27ud", data(0x22)},
      {u"backup-20261210-120000-000-" + place + u"-2.kv27ud", data(0x33)},   // same stamp, later
      {u"backup-20261210-120000-000-" + place + u"-10.kv27ud", data(0x44)},  // later still: 10 > 2
      {u"backup-20261210-120000-001-" + place + u".kv27ud", damaged},        // newest, but damaged
      {u"backup-20270101-000000-000-at-00000000-9.kv27ud", data(0x55)},      // another place
      {u"backup-20270101-000000-000-" + place + u"x.kv27ud", data(0x66)},    // not this place
      {u"notes-20270101-" + place + u".kv27ud", data(0x88)},
  };
  for (const File& f : old) world.AddFile(folder + u"\\" + f.name, f.bytes);
  ASSERT_TRUE(FindNewestBackup(world, folder, place, got, path, &passedOver));
  EXPECT_EQ(path, folder + u"\\" + old[3].name);
  EXPECT_EQ(got, std::vector<std::uint8_t>(kUserDataSize, 0x44));
  EXPECT_EQ(passedOver, std::vector<std::u16string>{folder + u"\\" + old[4].name});
  EXPECT_FALSE(FindNewestBackup(world, folder, BackupPlace(u"\\\\.\\other", 1), got, path, &passedOver));
  EXPECT_TRUE(got.empty());
  EXPECT_TRUE(passedOver.empty());
  EXPECT_EQ(world.LeakReport(), "");

  // Written next to them: the first sequence number, never over a name, and
  // it outranks every old name, later stamps included.
  std::u16string written;
  DWORD error = 0;
  ASSERT_TRUE(WriteNewBackupFile(world, folder, u"20261210-110000-000", place, data(0x99), written, error));
  EXPECT_EQ(written, folder + u"\\backup-20261210-110000-000-n000001-" + place + u".kv27ud");
  ASSERT_TRUE(FindNewestBackup(world, folder, place, got, path));
  EXPECT_EQ(path, written);

  // Daylight saving ends: the next backup's local stamp is an hour earlier,
  // and it is still the newest. A backup of another mouse in between counts
  // for the order too.
  ASSERT_TRUE(WriteNewBackupFile(world, folder, u"20261210-100500-000", BackupPlace(u"\\\\.\\other", 1), data(0xA0),
                                 written, error));
  EXPECT_NE(written.find(u"-n000002-"), std::u16string::npos) << sim::ToUtf8(written);
  ASSERT_TRUE(WriteNewBackupFile(world, folder, u"20261210-101000-000", place, data(0xAA), written, error));
  EXPECT_EQ(written, folder + u"\\backup-20261210-101000-000-n000003-" + place + u".kv27ud");
  ASSERT_TRUE(FindNewestBackup(world, folder, place, got, path, &passedOver));
  EXPECT_EQ(path, written);
  EXPECT_EQ(got, std::vector<std::uint8_t>(kUserDataSize, 0xAA));
  EXPECT_TRUE(passedOver.empty());

  // The newest is damaged: the one before is taken, and the damaged one named.
  world.AddFile(written, {1, 2, 3});
  ASSERT_TRUE(FindNewestBackup(world, folder, place, got, path, &passedOver));
  EXPECT_EQ(path, folder + u"\\backup-20261210-110000-000-n000001-" + place + u".kv27ud");
  EXPECT_EQ(passedOver, std::vector<std::u16string>{written});

  // A folder that cannot be listed takes no backup: its number could not be told.
  world.InjectFault({"FindFirstFileW", ERROR_ACCESS_DENIED, 1, 1});
  EXPECT_FALSE(WriteNewBackupFile(world, folder, u"20261210-102000-000", place, data(0xBB), written, error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  world.ClearFaults();

  world.SetEnvironmentVariable(u"LOCALAPPDATA", std::nullopt);
  EXPECT_EQ(UserBackupFolder(world), u"");
  SYSTEMTIME t{2027, 3, 0, 4, 5, 6, 7, 89};
  world.SetLocalTime(t);
  EXPECT_EQ(BackupTimeStamp(world), u"20270304-050607-089");
}

}  // namespace
}  // namespace kv27
