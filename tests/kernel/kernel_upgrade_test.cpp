// The real kv27m-update and kv27m-isp against a real Linux kernel: the mouse
// and its bootloader are USB devices on the dummy host controller
// (tests/kernel/kernel_mouse.h), so usbcore, usbhid, hidraw, usbfs and udev
// (with the shipped rule file) are the kernel's and the system's own. The
// programs run as an unprivileged user who has no access but what the rule
// file's tag gives the seat's user.
//
// Runs as root inside the test guest (scripts/kernel-test.sh builds it and
// boots it); elsewhere it skips. Each case asserts what the devices received,
// not only what the program said.
#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/upgrade_sequence.h"
#include "app/user_data_backup.h"
#include "res/ui_text.h"
#include "sim/virtual_mouse.h"
#include "tests/kernel/kernel_mouse.h"
#include "tests/support/child_run.h"
#include "tools/kv27m-isp/isp_tool.h"
#include "tools/kv27m-update/update_tool.h"

namespace kv27::test {
namespace {

using Clock = std::chrono::steady_clock;
using Shown = KernelMouse::Shown;

// The guest's users: the seat's user, to whom the tag gives the nodes, and
// another one without a seat.
constexpr uid_t kSeatUser = 1000;
constexpr uid_t kOtherUser = 1001;
constexpr int kRunSeconds = 120;
constexpr char kUserDirectory[] = "/tmp/kv27m-user";

std::string Env(const char* name, const char* otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != 0 ? value : otherwise;
}
std::string UpdateProgram() { return Env("KV_UPDATE_PROGRAM", "/opt/kv27m/bin/kv27m-update"); }
std::string IspProgram() { return Env("KV_ISP_PROGRAM", "/opt/kv27m/bin/kv27m-isp"); }

std::string Read(const std::string& path) {
  std::ifstream file(path);
  std::string text;
  std::getline(file, text);
  return text;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

std::vector<std::string> Directory(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    ::closedir(dir);
  }
  return names;
}

// A USB device as the kernel shows it: its sysfs node, its usbfs node and the
// hidraw nodes of its interfaces.
struct KernelDevice {
  std::string sysPath;
  std::string usbNode;
  std::vector<std::string> hidraw;
};

std::optional<KernelDevice> FindDevice(std::uint16_t vendor, std::uint16_t product) {
  char ids[2][8];
  std::snprintf(ids[0], sizeof ids[0], "%04x", vendor);
  std::snprintf(ids[1], sizeof ids[1], "%04x", product);
  for (const std::string& name : Directory("/sys/bus/usb/devices")) {
    const std::string dir = "/sys/bus/usb/devices/" + name;
    if (Read(dir + "/idVendor") != ids[0] || Read(dir + "/idProduct") != ids[1]) continue;
    KernelDevice device;
    device.sysPath = RealPath(dir);
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", std::atoi(Read(dir + "/busnum").c_str()),
                  std::atoi(Read(dir + "/devnum").c_str()));
    device.usbNode = node;
    for (const std::string& raw : Directory("/sys/class/hidraw"))
      if (RealPath("/sys/class/hidraw/" + raw).rfind(device.sysPath + "/", 0) == 0)
        device.hidraw.push_back("/dev/" + raw);
    return device;
  }
  return std::nullopt;
}

void Settle() { (void)!std::system("udevadm settle -t 10"); }

// The device once the kernel has it whole (with `hidraw` hidraw nodes) and
// udev has handled its events.
std::optional<KernelDevice> WaitForDevice(std::uint16_t vendor, std::uint16_t product, std::size_t hidraw) {
  std::optional<KernelDevice> device;
  KernelMouse::Eventually(
      [&] {
        device = FindDevice(vendor, product);
        return device && device->hidraw.size() >= hidraw && ::access(device->usbNode.c_str(), F_OK) == 0;
      },
      15);
  Settle();
  return device ? FindDevice(vendor, product) : std::nullopt;
}

bool WaitUntilGone(std::uint16_t vendor, std::uint16_t product) {
  const bool gone = KernelMouse::Eventually([&] { return !FindDevice(vendor, product); }, 10);
  Settle();
  return gone;
}

// The tags udev gave a device node (its database: "G:" lines).
std::vector<std::string> Tags(const std::string& node) {
  struct stat st {};
  std::vector<std::string> tags;
  if (::stat(node.c_str(), &st) != 0) return tags;
  std::ifstream data("/run/udev/data/c" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
  std::string line;
  while (std::getline(data, line))
    if (line.rfind("G:", 0) == 0) tags.push_back(line.substr(2));
  return tags;
}

bool Tagged(const std::string& node, const std::string& tag) {
  const auto tags = Tags(node);
  return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

uid_t Owner(const std::string& node) {
  struct stat st {};
  return ::stat(node.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

// The rule's promise on every node of a device: tagged for the seat's user,
// and (standing in for the session manager, which turns the tag into access
// for whoever sits at the seat) the seat's user's to open.
void ExpectTheRulesAccess(const KernelDevice& device) {
  std::vector<std::string> nodes = device.hidraw;
  nodes.push_back(device.usbNode);
  for (const std::string& node : nodes) {
    EXPECT_TRUE(Tagged(node, "uaccess")) << node;
    EXPECT_EQ(Owner(node), kSeatUser) << node;
  }
}

std::string Describe(const ChildRun& run) {
  return "exit " + std::to_string(run.status) + (run.timedOut ? " (killed: too long)" : "") + "\n--- stdout\n" +
         run.out + "--- stderr\n" + run.err;
}

std::string English(UpgradeStatus status) { return sim::ToUtf8(UpgradeMessage(status, UiLanguage::English)); }

int Failure(UpgradeStatus status) { return kUpdateFailureBase + static_cast<int>(status); }

std::string BackupPath(const std::string& name) { return std::string(kUserDirectory) + "/" + name + ".kvud"; }

std::vector<std::uint8_t> SavedSettings(const std::string& path, std::size_t size) {
  std::ifstream backup(path, std::ios::binary);
  const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(backup)), std::istreambuf_iterator<char>());
  std::vector<std::uint8_t> saved;
  if (DecodeBackup(file, saved) != BackupError::None) return {};
  saved.resize(size);
  return saved;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A figure for the run's report, read back by scripts/kernel-test.sh.
void Figure(const std::string& name, double value) { std::printf("KV-FIGURE %s %.2f\n", name.c_str(), value); }

class RealKernel : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0 || ::access("/dev/gadget", F_OK) != 0)
      GTEST_SKIP() << "runs as root in the test guest (scripts/kernel-test.sh), with gadgetfs at /dev/gadget";
    ::mkdir(kUserDirectory, 0700);
    ASSERT_EQ(::chown(kUserDirectory, kSeatUser, kSeatUser), 0);
  }
  // The next case starts on an empty bus.
  void TearDown() override {
    if (IsSkipped()) return;
    EXPECT_TRUE(WaitUntilGone(sim::kMouseVendorId, sim::kMouseProductId));
    EXPECT_TRUE(WaitUntilGone(sim::kMouseBootVendorId, sim::kMouseBootProductId));
  }

  // A program as the seat's user, in English, with a home of its own.
  static ChildRun RunAsUser(const std::string& program, const std::vector<std::string>& args,
                            const std::function<bool()>& interruptWhen = {}, uid_t user = kSeatUser) {
    ChildOptions options;
    options.uid = user;
    options.gid = user;
    options.seconds = kRunSeconds;
    if (interruptWhen) options.interruptWhen = [interruptWhen](const std::string&) { return interruptWhen(); };
    options.environment = {"HOME=/tmp", "LANG=C", "PATH=/bin"};
    return RunChild(program, args, options);
  }

  static ChildRun Update(KernelMouse& mouse, const std::string& backup,
                         const std::function<bool()>& interruptWhen = {}) {
    std::vector<std::string> args = {"--lang=en", "--backup", backup, mouse.imagePath()};
    // KV_VERBOSE: every transfer the program made, on the console.
    const bool verbose = std::getenv("KV_VERBOSE") != nullptr;
    if (verbose) args.insert(args.begin(), "--verbose");
    ChildRun run = RunAsUser(UpdateProgram(), args, interruptWhen);
    if (verbose) std::printf("%s\n", Describe(run).c_str());
    return run;
  }
};

// ---------------------------------------------------------------- every layout

class EveryLayout : public RealKernel, public ::testing::WithParamInterface<std::size_t> {
 protected:
  const sim::MouseLayout& Layout() const { return sim::MouseLayouts()[GetParam()]; }
};

// The line of `--list`'s output that names `node`.
std::string LineOf(const std::string& out, const std::string& node) {
  const auto at = out.find(node);
  if (at == std::string::npos) return {};
  const auto begin = out.rfind('\n', at);
  const auto from = begin == std::string::npos ? 0 : begin + 1;
  return out.substr(from, out.find('\n', at) - from);
}

// What a user does first, then the upgrade. --list: one line per node of the
// mouse, each the seat user's to open, and for another user the same nodes
// refused by the kernel itself. Then the upgrade: the settings read over
// hidraw, the bootloader-entry request on the mouse's default pipe through
// usbfs, the mouse gone and the bootloader enumerated in its place, the flash
// written, read back and verified over usbfs, and the mouse enumerated again
// in normal mode. The flash holds the image with the mouse's own settings, and
// every node the run opened was the seat user's by the rule file alone.
TEST_P(EveryLayout, ListThenTheWholeUpgradeLeavesTheImageAndTheSettingsInTheFlash) {
  KernelMouseOptions options;
  options.layout = &Layout();
  KernelMouse mouse(options);
  ASSERT_EQ(mouse.Error(), "");
  const auto shown = WaitForDevice(sim::kMouseVendorId, sim::kMouseProductId, Layout().interfaces.size());
  ASSERT_TRUE(shown) << "the kernel did not enumerate the mouse";
  EXPECT_EQ(shown->hidraw.size(), Layout().interfaces.size()) << "a hidraw node per HID interface";
  ExpectTheRulesAccess(*shown);
  // The rule gives nothing else: the root hub (the dummy controller's) stays root's.
  const auto hub = FindDevice(0x1D6B, 0x0002);
  ASSERT_TRUE(hub);
  EXPECT_FALSE(Tagged(hub->usbNode, "uaccess"));
  EXPECT_EQ(Owner(hub->usbNode), 0u);

  const ChildRun seat = RunAsUser(UpdateProgram(), {"--list"});
  EXPECT_EQ(seat.status, 0) << Describe(seat);
  const ChildRun other = RunAsUser(UpdateProgram(), {"--list"}, {}, kOtherUser);
  std::vector<std::string> nodes = shown->hidraw;
  nodes.push_back(shown->usbNode);
  for (const std::string& node : nodes) {
    EXPECT_NE(LineOf(seat.out, node).find("can be opened"), std::string::npos) << node << "\n" << Describe(seat);
    EXPECT_NE(LineOf(other.out, node).find("cannot be opened"), std::string::npos) << node << "\n" << Describe(other);
  }
  EXPECT_NE(LineOf(seat.out, shown->usbNode).find("mouse (USB device)"), std::string::npos) << Describe(seat);
  EXPECT_EQ(mouse.MouseRequests(), 0u) << "--list sends nothing";

  const std::string backup = BackupPath(std::string(Layout().name));
  const auto start = Clock::now();
  const ChildRun run = Update(mouse, backup);
  const double took = Seconds(Clock::now() - start);
  ASSERT_EQ(run.status, kUpdateOk) << Describe(run);
  EXPECT_NE(run.out.find(English(UpgradeStatus::Success)), std::string::npos) << Describe(run);
  Figure("upgrade-seconds/" + std::string(Layout().name), took);

  // What the devices received: 448 flash reads over hidraw, one
  // bootloader-entry request, the whole flash in 256 blocks.
  EXPECT_EQ(mouse.MouseRequests(), 448u);
  EXPECT_EQ(mouse.BootloaderRequests(), 1u);
  EXPECT_EQ(mouse.WriteBlocks(), sim::kBootloaderFlashSize / sim::kBootloaderBlockSize);
  EXPECT_TRUE(mouse.Flash() == mouse.expectedFlash());
  EXPECT_EQ(SavedSettings(backup, mouse.settings().size()), mouse.settings());

  // The mouse comes back in normal mode and the kernel enumerates it again.
  EXPECT_TRUE(KernelMouse::Eventually([&] { return mouse.TimesShown(Shown::kMouse) == 2; }));
  EXPECT_EQ(mouse.TimesShown(Shown::kBootloader), 1);
  const auto back = WaitForDevice(sim::kMouseVendorId, sim::kMouseProductId, Layout().interfaces.size());
  ASSERT_TRUE(back) << "the mouse did not come back";
  EXPECT_NE(back->usbNode, shown->usbNode) << "a new device number";
}

std::string LayoutName(const ::testing::TestParamInfo<std::size_t>& info) {
  std::string name(sim::MouseLayouts()[info.param].name);
  for (char& c : name)
    if (c == '-') c = '_';
  return name;
}

std::vector<std::size_t> LayoutIndices() {
  std::vector<std::size_t> indices;
  for (std::size_t i = 0; i < sim::MouseLayouts().size(); ++i) indices.push_back(i);
  return indices;
}

INSTANTIATE_TEST_SUITE_P(Layouts, EveryLayout, ::testing::ValuesIn(LayoutIndices()), LayoutName);

// ---------------------------------------------------------------- failures

// The bootloader refuses the erase: the run ends with the erase row and the
// recovery command; the mouse waits in its bootloader, whose node is the
// seat user's too. There kv27m-isp flashes the image with the settings the
// run saved, and the mouse comes back in normal mode.
TEST_F(RealKernel, AnEraseRefusedLeavesTheBootloaderWhereKv27mIspRecoversTheMouse) {
  KernelMouseOptions options;
  options.prepare = [](sim::MouseRig& r, const sim::BootloaderFlash&) { r.mouse().Bootloader()->FailStatus(0x25, 0); };
  KernelMouse mouse(options);
  ASSERT_EQ(mouse.Error(), "");
  ASSERT_TRUE(WaitForDevice(sim::kMouseVendorId, sim::kMouseProductId, 1));
  const std::string backup = BackupPath("erase-refused");
  const ChildRun run = Update(mouse, backup);
  EXPECT_EQ(run.status, Failure(UpgradeStatus::EraseFailed)) << Describe(run);
  EXPECT_NE(run.err.find(English(UpgradeStatus::EraseFailed)), std::string::npos) << Describe(run);
  EXPECT_NE(run.err.find("kv27m-isp --user-data"), std::string::npos) << Describe(run);
  EXPECT_EQ(mouse.WriteBlocks(), 0u);
  EXPECT_FALSE(mouse.Flash() == mouse.expectedFlash());
  EXPECT_EQ(mouse.Mode(), sim::VirtualMouse::Mode::kBootloader);

  const auto boot = WaitForDevice(sim::kMouseBootVendorId, sim::kMouseBootProductId, 0);
  ASSERT_TRUE(boot) << "the bootloader is not on the bus";
  ExpectTheRulesAccess(*boot);
  const ChildRun list = RunAsUser(IspProgram(), {"--list"});
  EXPECT_NE(list.out.find("bootloader"), std::string::npos) << Describe(list);
  EXPECT_NE(list.out.find(boot->usbNode), std::string::npos) << Describe(list);

  // The cause has passed (a loose cable, a marginal supply): the recovery.
  mouse.OnPump([](sim::MouseRig& r) { r.mouse().Bootloader()->ClearFaults(); });
  const auto start = Clock::now();
  const ChildRun isp = RunAsUser(IspProgram(), {"--lang=en", "--user-data", backup, mouse.imagePath()});
  Figure("isp-seconds", Seconds(Clock::now() - start));
  EXPECT_EQ(isp.status, kIspToolOk) << Describe(isp);
  EXPECT_TRUE(mouse.Flash() == mouse.expectedFlash());
  EXPECT_EQ(mouse.WriteBlocks(), sim::kBootloaderFlashSize / sim::kBootloaderBlockSize);
  EXPECT_TRUE(KernelMouse::Eventually([&] { return mouse.ShownAs() == Shown::kMouse; }));
  EXPECT_TRUE(WaitForDevice(sim::kMouseVendorId, sim::kMouseProductId, 1));
}

// The bootloader is pulled out in the middle of the writes: the device leaves
// the bus, the transfers in flight end as the kernel ends them, and the run
// ends with the write row and the way to recover the mouse.
TEST_F(RealKernel, ABootloaderPulledMidWriteEndsWithTheWriteRow) {
  KernelMouseOptions options;
  options.pullAfterWriteBlocks = 100;
  KernelMouse mouse(options);
  ASSERT_EQ(mouse.Error(), "");
  ASSERT_TRUE(WaitForDevice(sim::kMouseVendorId, sim::kMouseProductId, 1));
  const ChildRun run = Update(mouse, BackupPath("pulled"));
  EXPECT_EQ(run.status, Failure(UpgradeStatus::WriteFailed)) << Describe(run);
  EXPECT_NE(run.err.find(English(UpgradeStatus::WriteFailed)), std::string::npos) << Describe(run);
  EXPECT_NE(run.err.find("kv27m-isp --user-data"), std::string::npos) << Describe(run);
  EXPECT_EQ(mouse.WriteBlocks(), 100u);
  EXPECT_EQ(mouse.Mode(), sim::VirtualMouse::Mode::kAbsent);
  EXPECT_EQ(mouse.TimesShown(Shown::kBootloader), 1);
  EXPECT_EQ(mouse.ShownAs(), Shown::kNone);
}

// A mouse that answers no request: the settings cannot be read, and nothing
// goes to the bootloader (no bootloader-entry request on its default pipe).
TEST_F(RealKernel, ASilentMouseStopsTheRunBeforeTheBootloader) {
  KernelMouseOptions options;
  options.prepare = [](sim::MouseRig& r, const sim::BootloaderFlash&) {
    for (UCHAR page = 0; page < sim::kMouseUserDataPages; ++page)
      for (unsigned offset = 0; offset < sim::kMouseUserDataPageSize; offset += 4)
        r.mouse().DropReply(page, static_cast<UCHAR>(offset));
  };
  KernelMouse mouse(options);
  ASSERT_EQ(mouse.Error(), "");
  ASSERT_TRUE(WaitForDevice(sim::kMouseVendorId, sim::kMouseProductId, 1));
  const ChildRun run = Update(mouse, BackupPath("silent"));
  EXPECT_EQ(run.status, Failure(UpgradeStatus::UserDataFailed)) << Describe(run);
  EXPECT_NE(run.err.find(English(UpgradeStatus::UserDataFailed)), std::string::npos) << Describe(run);
  EXPECT_EQ(run.err.find("kv27m-isp"), std::string::npos) << Describe(run);
  EXPECT_GE(mouse.MouseRequests(), 1u) << "the request reached the mouse";
  EXPECT_EQ(mouse.BootloaderRequests(), 0u);
  EXPECT_EQ(mouse.TimesShown(Shown::kBootloader), 0);
  EXPECT_EQ(mouse.Mode(), sim::VirtualMouse::Mode::kNormal);
}

// The bootloader never comes: the program waits for it until the user presses
// Ctrl+C, then says how to recover the mouse.
TEST_F(RealKernel, CtrlCEndsTheWaitForABootloaderThatNeverComes) {
  KernelMouseOptions options;
  options.prepare = [](sim::MouseRig& r, const sim::BootloaderFlash&) { r.mouse().IgnoreBootloaderRequest(true); };
  KernelMouse mouse(options);
  ASSERT_EQ(mouse.Error(), "");
  ASSERT_TRUE(WaitForDevice(sim::kMouseVendorId, sim::kMouseProductId, 1));
  std::optional<Clock::time_point> sent;
  const ChildRun run = Update(mouse, BackupPath("ctrl-c"), [&] {
    // Half a second after the request reached the mouse.
    if (!sent && mouse.BootloaderRequests() > 0) sent = Clock::now();
    return sent && Clock::now() > *sent + std::chrono::milliseconds(500);
  });
  EXPECT_EQ(run.status, kUpdateCancelled) << Describe(run);
  EXPECT_NE(run.err.find("stopped by Ctrl+C while waiting for the bootloader"), std::string::npos) << Describe(run);
  EXPECT_EQ(mouse.BootloaderRequests(), 1u);
  EXPECT_EQ(mouse.TimesShown(Shown::kBootloader), 0);
  EXPECT_EQ(mouse.Mode(), sim::VirtualMouse::Mode::kNormal);
}

}  // namespace
}  // namespace kv27::test
