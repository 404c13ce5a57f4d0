// kv27m-update in-process over the simulated PC: every scenario's exit status
// and message, the settings backup and its use by kv27m-isp, the dry run, the
// verbose log, Ctrl+C, and the command line.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "app/simulation.h"
#include "app/user_data_backup.h"
#include "tests/support/backup_names.h"
#include "tests/support/scenario_names.h"
#include "tools/bimgtool/bimgtool.h"
#include "tools/kv27m-isp/isp_tool.h"
#include "tools/kv27m-update/update_tool.h"

namespace kv27 {
namespace {

constexpr char16_t kFolder[] = u"C:\\Users\\me\\AppData\\Local\\KV27M";
// Where simulated runs keep their backups: apart from the real mice's.
constexpr char16_t kSimulatedFolder[] = u"C:\\Users\\me\\AppData\\Local\\KV27M\\simulated";
// The backup a simulated run at the tests' stamp saves.
std::u16string BackupPath(unsigned sequence = 1, int number = 1) {
  return test::RigBackupPath(kSimulatedFolder, u"20261210-120000", sequence, number);
}

bool Contains(const std::vector<std::u16string>& lines, const std::u16string& part) {
  for (const auto& line : lines)
    if (line.find(part) != std::u16string::npos) return true;
  return false;
}

// One run of the tool on a world the test owns, with in-memory files only.
struct UpdateRun {
  sim::World world;
  std::unique_ptr<sim::MouseRig> rig;
  std::vector<std::u16string> out, err;
  std::vector<UpgradeStage> stages;
  UpdateToolIo io;
  int status = -1;

  UpdateRun() {
    io.out = [this](const std::u16string& line) { out.push_back(line); };
    io.err = [this](const std::u16string& line) { err.push_back(line); };
    io.backupFolder = [] { return std::u16string(kFolder); };
    io.timeStamp = [] { return std::u16string(u"20261210-120000"); };
    io.world = &world;
    io.keepRig = &rig;
    io.prepareWorld = [](sim::World& w) {
      w.SetHostFiles(false);
      w.AddDirectory(kFolder);  // made by the program's platform layer when missing
    };
    io.onStage = [this](UpgradeStage stage) { stages.push_back(stage); };
  }
  ~UpdateRun() {
    if (rig) rig.reset();
  }
  int Run(std::vector<std::u16string> args) { return status = RunUpdateTool(args, io); }
  std::vector<std::uint8_t> Pages() {
    std::vector<std::uint8_t> bytes;
    for (std::size_t p = 0; p < kUserDataPages; ++p) {
      auto page = rig->mouse().UserPage(p);
      bytes.insert(bytes.end(), page.begin(), page.end());
    }
    return bytes;
  }
};

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// What the mouse is asked when only its settings are read (a dry run).
std::size_t ReadOnlyRequests() {
  static const std::size_t count = [] {
    UpdateRun run;
    run.Run({u"--simulate", u"--dry-run"});
    return run.rig->mouse().RequestCount();
  }();
  return count;
}

class EveryScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(EveryScenario, ExitsWithItsCodeAndTheDialogsMessage) {
  const Scenario& scenario = GetParam();
  UpdateRun run;
  run.Run({u"--simulate=" + Wide(scenario.name)});
  EXPECT_EQ(run.status, UpdateExitCode(scenario.expected));
  const std::u16string message =
      std::u16string(UpgradeMessage(scenario.expected)) + u"  (" + UpgradeGloss(scenario.expected) + u")";
  if (scenario.expected == UpgradeStatus::Success) {
    ASSERT_FALSE(run.out.empty());
    EXPECT_EQ(run.out.back(), message);
    EXPECT_TRUE(run.err.empty());
  } else {
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.front(), message);
  }
  // A run that read the settings left a sound backup of them.
  const auto backup = run.world.FileBytes(BackupPath());
  EXPECT_EQ(backup.has_value(), (scenario.expected >= UpgradeStatus::BootloaderNotFound &&
                                 scenario.expected <= UpgradeStatus::ExitFailed) ||
                                    scenario.expected == UpgradeStatus::Success);
  if (backup) {
    std::vector<std::uint8_t> data;
    EXPECT_EQ(DecodeBackup(*backup, data), BackupError::None);
  }
}

INSTANTIATE_TEST_SUITE_P(Catalogue, EveryScenario, ::testing::ValuesIn(Scenarios()), test::ScenarioTestName);

TEST(UpdateTool, ExitCodesAreDistinct) {
  std::vector<int> codes = {kUpdateOk,         kUpdateUsage,          kUpdateBackupFailed,  kUpdateCancelled,
                            kUpdateNoHardware, kUpdateReplayDiverged, kUpdateCaptureFailed, kUpdateNoPermission};
  for (int v = static_cast<int>(UpgradeStatus::MouseAbsent); v < static_cast<int>(UpgradeStatus::Stopped); ++v)
    codes.push_back(UpdateExitCode(static_cast<UpgradeStatus>(v)));
  std::sort(codes.begin(), codes.end());
  EXPECT_EQ(std::adjacent_find(codes.begin(), codes.end()), codes.end());
  EXPECT_LT(codes.back(), 126);  // clear of the shells' own statuses
}

// The backup holds exactly the settings the mouse had, and it is on disk by
// the time the request that restarts the mouse goes out.
TEST(UpdateTool, BackupIsWrittenBeforeTheBootloaderRequest) {
  UpdateRun run;
  std::optional<std::vector<std::uint8_t>> atRequest;
  std::uint64_t flushesAtRequest = 0;
  run.io.onStage = [&](UpgradeStage stage) {
    if (stage != UpgradeStage::RequestBootloader) return;
    atRequest = run.world.FileBytes(BackupPath());
    flushesAtRequest = run.world.CallCount("FlushFileBuffers");  // on the disk, not only in its cache
  };
  run.Run({u"--simulate=no-bootloader"});
  EXPECT_EQ(run.status, UpdateExitCode(UpgradeStatus::BootloaderNotFound));
  ASSERT_TRUE(atRequest.has_value());
  EXPECT_EQ(flushesAtRequest, 1u);
  EXPECT_TRUE(Contains(run.out, u"settings saved to " + BackupPath()));

  const std::vector<std::uint8_t>& file = *atRequest;
  ASSERT_EQ(file.size(), 16u + kUserDataSize);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "KVUD");
  EXPECT_EQ(file[4] | file[5] << 8, 1);
  EXPECT_EQ(file[6] | file[7] << 8, 16);
  EXPECT_EQ(file[8] | file[9] << 8 | file[10] << 16, static_cast<int>(kUserDataSize));
  std::vector<std::uint8_t> expected = run.Pages();
  expected.insert(expected.end(), expected.begin() + 6 * 256, expected.begin() + 6 * 256 + 6);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file.begin() + 16));
  const std::uint32_t crc = file[12] | file[13] << 8 | file[14] << 16 | static_cast<std::uint32_t>(file[15]) << 24;
  EXPECT_EQ(crc, Crc32(expected.data(), expected.size()));
  // The recovery hint names the backup.
  EXPECT_TRUE(Contains(run.err, u"kv27m-isp --user-data \"" + BackupPath()));
}

// No backup, no bootloader request: the mouse is left as it was.
TEST(UpdateTool, BackupThatCannotBeWrittenStopsBeforeTheRequest) {
  struct Case {
    const char* what;
    std::function<void(UpdateRun&)> setUp;
  };
  const Case cases[] = {
      {"no per-user folder", [](UpdateRun& r) { r.io.backupFolder = [] { return std::u16string(); }; }},
      {"the folder takes no new file",
       [](UpdateRun& r) {
         r.io.prepareWorld = [](sim::World& w) {
           w.SetHostFiles(false);
           w.AddDirectory(kFolder);
           w.InjectFault({"CreateFileW", ERROR_ACCESS_DENIED, 1, 0, u"backup-"});
         };
       }},
      {"the disk does not take the flush",
       [](UpdateRun& r) {
         r.io.prepareWorld = [](sim::World& w) {
           w.SetHostFiles(false);
           w.AddDirectory(kFolder);
           w.InjectFault({"FlushFileBuffers", ERROR_DISK_FULL, 1, 0, u"backup-"});
         };
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    UpdateRun run;
    c.setUp(run);
    run.Run({u"--simulate"});
    EXPECT_EQ(run.status, kUpdateBackupFailed);
    EXPECT_EQ(run.rig->mouse().RequestCount(), ReadOnlyRequests());  // the page reads, nothing after
    EXPECT_EQ(std::find(run.stages.begin(), run.stages.end(), UpgradeStage::RequestBootloader), run.stages.end());
    ASSERT_EQ(run.err.size(), 2u);
    EXPECT_NE(run.err[1].find(u"unchanged"), std::u16string::npos);
  }
}

// Default names never collide and never overwrite: a run takes the sequence
// number after the highest in the folder (whatever the stamps say) and leaves
// the other files alone, damaged or not. Two runs in the same stamp, one after
// the other on the same disk, both succeed with their own files.
TEST(UpdateTool, DefaultBackupNamesNeverCollide) {
  UpdateRun run;
  run.io.prepareWorld = [&](sim::World& w) {
    w.SetHostFiles(false);
    w.AddFile(BackupPath(1), {1, 2, 3});
    w.AddFile(BackupPath(1, 2), {4, 5});
    // A later stamp (the clock was put back since) does not rank it higher.
    w.AddFile(test::RigBackupPath(kSimulatedFolder, u"20301210-120000", 7), {6});
  };
  run.Run({u"--simulate"});
  EXPECT_EQ(run.status, kUpdateOk);
  EXPECT_TRUE(Contains(run.out, u"settings saved to " + BackupPath(8))) << sim::ToUtf8(run.out[2]);
  EXPECT_EQ(run.world.FileBytes(BackupPath(1)), (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(run.world.FileBytes(BackupPath(1, 2)), (std::vector<std::uint8_t>{4, 5}));
  ASSERT_TRUE(run.world.FileBytes(BackupPath(8)).has_value());
  std::vector<std::uint8_t> data;
  EXPECT_EQ(DecodeBackup(*run.world.FileBytes(BackupPath(8)), data), BackupError::None);

  // Two whole runs, each on its own simulated PC, saving to one host folder in
  // the same stamp.
  const auto dir = std::filesystem::temp_directory_path() / ("kv27m-update-names-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::vector<std::u16string> saved;
  for (int i = 0; i < 2; ++i) {
    UpdateRun again;
    again.io.prepareWorld = nullptr;  // host files on
    again.io.backupFolder = [&] { return dir.u16string(); };
    again.Run({u"--simulate", Wide(KV_SOURCE_DIR "/res/KV27M_FW_UPGRADE.bimg")});
    EXPECT_EQ(again.status, kUpdateOk) << i;
    for (const auto& line : again.out)
      if (line.rfind(u"settings saved to ", 0) == 0) saved.push_back(line.substr(18));
  }
  ASSERT_EQ(saved.size(), 2u);
  EXPECT_NE(saved[0], saved[1]);
  for (const auto& path : saved) EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(path)));
  std::filesystem::remove_all(dir);
}

// A second mouse on the hub, plugged in after the rig's (port 2), on either
// side of it: the run upgrades the rig's mouse, whose command interface is
// listed first, and its backup is named after that mouse's port, as the rig
// plugged it, and holds its settings; the other mouse is asked nothing. (The
// dialog's test of two mice covers both orders.)
TEST(UpdateTool, TwoMiceTheBackupIsNamedAfterThePortOfTheMouseUpgraded) {
  for (const int otherPort : {1, 3}) {
    SCOPED_TRACE(otherPort);
    UpdateRun run;
    std::shared_ptr<sim::VirtualMouse> other;
    std::vector<std::uint8_t> pages;
    run.io.prepareWorld = [&](sim::World& w) {
      w.SetHostFiles(false);
      w.AddDirectory(kFolder);
      other = sim::VirtualMouse::Create(w, run.rig->hub().Port(otherPort), sim::VirtualMouse::FactoryFlash(1));
      other->Plug();
      w.Advance(w.HidArrivalDelay());
      pages = run.Pages();
    };
    run.Run({u"--simulate=no-bootloader"});
    EXPECT_EQ(run.status, UpdateExitCode(UpgradeStatus::BootloaderNotFound));
    EXPECT_EQ(other->RequestCount(), 0u);
    const std::u16string expected = test::RigBackupPathAt(kSimulatedFolder, u"20261210-120000", test::kRigMousePort);
    EXPECT_TRUE(Contains(run.out, u"settings saved to " + expected));
    const auto file = run.world.FileBytes(expected);
    ASSERT_TRUE(file.has_value());
    std::vector<std::uint8_t> data;
    ASSERT_EQ(DecodeBackup(*file, data), BackupError::None);
    EXPECT_TRUE(std::equal(pages.begin(), pages.end(), data.begin()));
    other->Unplug();
  }
}

// A backup named on the command line that the disk does not take: a folder
// that does not exist, a disk that is full. The world reports the host's
// error when the file is created or written, as Windows would, so the run
// stops with the backup error and sends the mouse nothing (never a false
// "settings saved").
TEST(UpdateTool, BackupTheHostRefusesStopsBeforeTheRequest) {
  struct Case {
    std::u16string backup;
    const char16_t* error;
  };
  std::vector<Case> cases = {{u"/no-such-dir/b.kv27ud", u"(error 3)"}};
#if !defined(_WIN32)
  if (std::filesystem::exists("/dev/full")) cases.push_back({u"/dev/full", u"(error 112)"});  // a full disk
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.backup.begin(), c.backup.end()));
    UpdateRun run;
    run.io.prepareWorld = nullptr;  // host files on
    run.Run({u"--simulate", u"--backup", c.backup, Wide(KV_SOURCE_DIR "/res/KV27M_FW_UPGRADE.bimg")});
    EXPECT_EQ(run.status, kUpdateBackupFailed);
    EXPECT_FALSE(Contains(run.out, u"settings saved"));
    EXPECT_TRUE(Contains(run.err, c.error));
    EXPECT_EQ(run.rig->mouse().RequestCount(), ReadOnlyRequests());
    EXPECT_EQ(std::find(run.stages.begin(), run.stages.end(), UpgradeStage::RequestBootloader), run.stages.end());
  }
  EXPECT_FALSE(std::filesystem::exists("/no-such-dir"));
}

// A mouse that left the bus half-way through the write comes back erased, in
// its bootloader; kv27m-isp with the backup brings it back with its own
// settings.
TEST(UpdateTool, BackupMergedByIspToolRestoresTheSettings) {
  UpdateRun run;
  std::vector<std::uint8_t> before;
  run.io.onStage = [&](UpgradeStage stage) {
    if (stage == UpgradeStage::CheckImage) before = run.Pages();
  };
  run.Run({u"--simulate=unplug-during-write"});
  ASSERT_EQ(run.status, UpdateExitCode(UpgradeStatus::WriteFailed));
  run.world.Advance(10'000);
  ASSERT_EQ(run.rig->mouse().CurrentMode(), sim::VirtualMouse::Mode::kBootloader);
  // The sample's plain firmware carries no settings of its own.
  ASSERT_NE(std::count(before.begin(), before.end(), 0xEE), static_cast<long>(before.size()));

  std::vector<std::u16string> out, err;
  IspToolIo io;
  io.out = [&](const std::u16string& line) { out.push_back(line); };
  io.err = [&](const std::u16string& line) { err.push_back(line); };
  io.world = &run.world;
  EXPECT_EQ(RunIspTool({u"--simulate", u"--user-data", BackupPath(), sim::kRigImagePath}, io), kIspToolOk);
  EXPECT_TRUE(err.empty());
  run.world.Advance(10'000);
  EXPECT_EQ(run.rig->mouse().CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  EXPECT_EQ(run.Pages(), before);
}

// kv27m-isp refuses a backup that fails its checks and flashes nothing.
TEST(UpdateTool, IspToolRefusesADamagedBackup) {
  std::vector<std::uint8_t> data(kUserDataSize);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  const std::vector<std::uint8_t> good = EncodeBackup(data.data());
  struct Case {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> damage;
  };
  const Case cases[] = {
      {"one data byte", [](std::vector<std::uint8_t>& f) { f[16 + 1000] ^= 0x01; }},
      {"the checksum", [](std::vector<std::uint8_t>& f) { f[12] ^= 0x80; }},
      {"cut short", [](std::vector<std::uint8_t>& f) { f.resize(f.size() - 1); }},
      {"the magic", [](std::vector<std::uint8_t>& f) { f[0] = 'X'; }},
      {"the length", [](std::vector<std::uint8_t>& f) { f[8] ^= 1; }},
      {"empty", [](std::vector<std::uint8_t>& f) { f.clear(); }},
  };
  std::vector<std::uint8_t> decoded;
  ASSERT_EQ(DecodeBackup(good, decoded), BackupError::None);
  EXPECT_EQ(decoded, data);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> file = good;
    c.damage(file);
    EXPECT_NE(DecodeBackup(file, decoded), BackupError::None);
    EXPECT_TRUE(decoded.empty());

    std::vector<std::u16string> out, err;
    IspToolIo io;
    io.out = [&](const std::u16string& line) { out.push_back(line); };
    io.err = [&](const std::u16string& line) { err.push_back(line); };
    io.prepareWorld = [&](sim::World& world) {
      world.SetHostFiles(false);
      world.AddFile(u"fw.bimg", SampleImageBytes());
      world.AddFile(u"backup.kv27ud", file);
    };
    EXPECT_EQ(RunIspTool({u"--simulate", u"--user-data", u"backup.kv27ud", u"fw.bimg"}, io), kIspToolBadBackup);
    ASSERT_EQ(err.size(), 1u);
    EXPECT_NE(err[0].find(u"refused"), std::u16string::npos);
    EXPECT_FALSE(Contains(out, u"%"));  // no wait, no flash
  }
}

TEST(UpdateTool, DryRunSummarisesTheSettingsAndChangesNothing) {
  UpdateRun run;
  run.Run({u"--simulate", u"--dry-run"});
  EXPECT_EQ(run.status, kUpdateOk);
  EXPECT_TRUE(run.err.empty());
  EXPECT_FALSE(run.world.FileBytes(BackupPath()).has_value());
  EXPECT_GT(run.rig->mouse().RequestCount(), 0u);
  run.world.Advance(5'000);
  EXPECT_EQ(run.rig->mouse().CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  std::vector<std::uint8_t> data = run.Pages();
  data.insert(data.end(), data.begin() + 6 * 256, data.begin() + 6 * 256 + 6);
  char crc[16];
  std::snprintf(crc, sizeof crc, "0x%08X", static_cast<unsigned>(Crc32(data.data(), data.size())));
  EXPECT_TRUE(Contains(run.out, u"CRC-32 " + Wide(crc)));
  for (int page = 0; page < 7; ++page) EXPECT_TRUE(Contains(run.out, u"page " + Wide(std::to_string(page))));
}

TEST(UpdateTool, VerboseLogsTheReportsAndBulkTransfersInHex) {
  UpdateRun run;
  run.Run({u"--simulate", u"--verbose"});
  EXPECT_EQ(run.status, kUpdateOk);
  std::size_t hidOut = 0, hidIn = 0, bulkOut = 0, bulkIn = 0;
  for (const auto& line : run.out) {
    if (line.find(u"] HID out") != std::u16string::npos) ++hidOut;
    if (line.find(u"] HID in") != std::u16string::npos) ++hidIn;
    if (line.find(u"] bulk out") != std::u16string::npos) ++bulkOut;
    if (line.find(u"] bulk in") != std::u16string::npos) ++bulkIn;
  }
  EXPECT_GE(hidOut, 7u);  // at least one request per settings page
  EXPECT_GE(hidIn, hidOut);
  EXPECT_GT(bulkOut, 256u);  // the erase, the write blocks, the read requests, ...
  EXPECT_GT(bulkIn, 0u);
  // The first request for page 0, with its time stamp.
  EXPECT_TRUE(Contains(run.out, u"HID out       8 bytes: B4 02 00"));
}

// Ctrl+C ends the run where it is safe: before the request nothing is sent;
// during the wait the run stops at once and says how to recover.
TEST(UpdateTool, CtrlCEndsTheRunCleanly) {
  struct Case {
    const char* scenario;
    UpgradeStage pressedAt;
    bool requestSent;
  };
  const Case cases[] = {
      {"ok", UpgradeStage::CheckImage, false},
      {"no-bootloader", UpgradeStage::WaitBootloader, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    UpdateRun run;
    bool pressed = false;
    run.io.onStage = [&](UpgradeStage stage) {
      run.stages.push_back(stage);
      pressed = pressed || stage == c.pressedAt;
    };
    run.io.interrupted = [&] { return pressed; };
    const std::uint64_t start = run.world.Now();
    run.Run({u"--simulate=" + Wide(c.scenario)});
    EXPECT_EQ(run.status, kUpdateCancelled);
    EXPECT_TRUE(Contains(run.err, u"Ctrl+C"));
    EXPECT_LT(run.world.Now() - start, 5'000u);
    EXPECT_EQ(std::count(run.stages.begin(), run.stages.end(), UpgradeStage::RequestBootloader), c.requestSent ? 1 : 0);
    EXPECT_EQ(Contains(run.err, u"kv27m-isp --user-data"), c.pressedAt == UpgradeStage::WaitBootloader);
  }
}

TEST(UpdateTool, NamedImageAndImageBesideTheProgram) {
  // A named host file: the source tree's sample.
  UpdateRun named;
  named.io.prepareWorld = nullptr;  // host files on
  named.Run({u"--simulate", u"--dry-run", Wide(KV_SOURCE_DIR "/res/KV27M_FW_UPGRADE.bimg")});
  EXPECT_EQ(named.status, kUpdateOk);

  // A damaged image beside the real program stands in for the rig's.
  const auto dir = std::filesystem::temp_directory_path() / ("kv27m-update-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::vector<std::uint8_t> image = SampleImageBytes();
  image[32 + 0x1000] ^= 1;
  std::ofstream(dir / "KV27M_FW_UPGRADE.bimg", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  UpdateRun beside;
  beside.io.programPath = Wide((dir / "kv27m-update").string());
  beside.Run({u"--simulate"});
  EXPECT_EQ(beside.status, UpdateExitCode(UpgradeStatus::DecodeVerifyFailed));
  std::filesystem::remove_all(dir);
}

// --timing runs on the bus timing model with the clock held to the real one.
// The test lets the clock run free again (the pacing itself is the world's,
// tested there) and checks the run took at least the bus's own time.
TEST(UpdateTool, TimingRunsOnTheBusModel) {
  UpdateRun run;
  std::uint64_t start = 0;
  bool modelOn = false;
  run.io.prepareWorld = [&](sim::World& w) {
    w.SetHostFiles(false);
    w.AddDirectory(kFolder);
    modelOn = w.GetUsbTiming().has_value();
    w.SetRealTime(false);
    start = w.NowUs();
  };
  run.Run({u"--simulate", u"--timing"});
  EXPECT_EQ(run.status, kUpdateOk);
  EXPECT_TRUE(modelOn);
  while (run.rig->mouse().CurrentMode() != sim::VirtualMouse::Mode::kNormal) run.world.Advance(1);
  EXPECT_GE(run.world.NowUs() - start, sim::ComputeUpgradeFloor(sim::UsbTiming{}).TotalUs());
  EXPECT_TRUE(std::any_of(run.out.begin(), run.out.end(), [](const std::u16string& line) {
    return line.find(u"USB timing in real time") != std::u16string::npos;
  }));
}

TEST(UpdateTool, CommandLine) {
  UpdateRun help;
  help.Run({u"--help"});
  EXPECT_EQ(help.status, kUpdateOk);
  EXPECT_TRUE(help.err.empty());
  ASSERT_EQ(help.out.size(), 1u);
  for (const auto& s : Scenarios()) EXPECT_NE(help.out[0].find(Wide(s.name)), std::u16string::npos) << s.name;
  EXPECT_NE(help.out[0].find(u"  33  leaving ISP mode failed"), std::u16string::npos);

  const std::vector<std::vector<std::u16string>> usage = {{u"--simulate=nope"},   {u"--bogus"},
                                                          {u"a.bimg", u"b.bimg"}, {u"--backup"},
                                                          {u"--timing"},          {u"--list", u"--simulate"}};
  for (const auto& args : usage) {
    UpdateRun run;
    run.Run(args);
    EXPECT_EQ(run.status, kUpdateUsage);
    EXPECT_TRUE(run.out.empty());
    EXPECT_FALSE(run.err.empty());
  }
#if !defined(_WIN32)
  UpdateRun real;
  real.Run({});
  EXPECT_EQ(real.status, kUpdateNoHardware);
  ASSERT_EQ(real.err.size(), 1u);
  EXPECT_NE(real.err[0].find(u"Windows"), std::u16string::npos);
#endif
}

// A scratch folder on the host disk, removed with the object.
struct HostFolder {
  explicit HostFolder(const std::string& name)
      : path(std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
  }
  ~HostFolder() { std::filesystem::remove_all(path); }
  std::u16string operator/(const char* file) const { return (path / file).u16string(); }
  std::filesystem::path path;
};

std::string HostBytes(const std::u16string& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void PutHostBytes(const std::u16string& path, const std::string& bytes) {
  std::ofstream(std::filesystem::path(path), std::ios::binary) << bytes;
}

// --capture writes only a new file, or an existing one with
// --capture-overwrite; the image, the replayed capture and the backup are
// never written, under any of their names (the check asks the file system
// which file a name is). A refused capture sends nothing to the mouse and
// ends with the capture's status, the file as it was.
TEST(UpdateTool, CaptureNeverReplacesAFileItWasNotAllowedTo) {
  HostFolder dir("kv27m-capture-names");
  const std::u16string image = dir / "fw.bimg", mine = dir / "mine.pcapng", backup = dir / "b.kv27ud";
  const std::string imageBytes = HostBytes(Wide(KV_SOURCE_DIR "/res/KV27M_FW_UPGRADE.bimg"));
  ASSERT_FALSE(imageBytes.empty());
  std::error_code ec;
  std::filesystem::create_symlink(dir.path / "fw.bimg", dir.path / "link.bimg", ec);
  const bool links = !ec;
  struct Case {
    const char* what;
    std::vector<std::u16string> args;  // before IMAGE
    int status;
    const char16_t* says;  // in the errors (refused) or the output
  };
  std::vector<Case> cases = {
      {"an existing file", {u"--capture", mine}, kUpdateCaptureFailed, u"exists already"},
      {"the image", {u"--capture", image}, kUpdateCaptureFailed, u"is the image"},
      {"the image, allowed to overwrite",
       {u"--capture-overwrite", u"--capture", image},
       kUpdateCaptureFailed,
       u"is the image"},
      {"the image by another name",
       {u"--capture-overwrite", u"--capture", dir / "./fw.bimg"},
       kUpdateCaptureFailed,
       u"is the image"},
      {"the backup",
       {u"--capture-overwrite", u"--backup", backup, u"--capture", backup},
       kUpdateCaptureFailed,
       u"is the settings backup"},
      {"an existing file, allowed to overwrite",
       {u"--capture-overwrite", u"--capture", mine},
       kUpdateOk,
       u"capture written to"},
  };
  if (links)
    cases.push_back({"the image through a link",
                     {u"--capture-overwrite", u"--capture", dir / "link.bimg"},
                     kUpdateCaptureFailed,
                     u"is the image"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PutHostBytes(image, imageBytes);
    PutHostBytes(mine, "mine");
    PutHostBytes(backup, "backup");
    UpdateRun run;
    run.io.prepareWorld = nullptr;  // host files on
    run.io.backupFolder = [&] { return dir.path.u16string(); };
    std::vector<std::u16string> args = {u"--simulate"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(image);
    run.Run(args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_TRUE(Contains(c.status == kUpdateOk ? run.out : run.err, c.says));
    if (c.status != kUpdateOk) {
      EXPECT_EQ(run.rig->mouse().RequestCount(), 0u);
      EXPECT_TRUE(Contains(run.err, u"nothing was sent to the mouse"));
      EXPECT_EQ(HostBytes(mine), "mine");
      EXPECT_EQ(HostBytes(backup), "backup");
    } else {
      EXPECT_EQ(HostBytes(mine).substr(0, 4), std::string("\x0A\x0D\x0D\x0A", 4));  // a pcapng file now
    }
    EXPECT_EQ(HostBytes(image), imageBytes);
  }

  // A replay never writes the capture it replays, whatever its name.
  PutHostBytes(mine, "");
  {
    UpdateRun made;
    made.io.prepareWorld = nullptr;
    made.io.backupFolder = [&] { return dir.path.u16string(); };
    std::filesystem::remove(dir.path / "mine.pcapng");
    made.Run({u"--simulate", u"--capture", mine, image});
    ASSERT_EQ(made.status, kUpdateOk);
  }
  const std::string captured = HostBytes(mine);
  for (const std::u16string& again : {mine, dir / "./mine.pcapng"}) {
    UpdateRun replay;
    replay.io.prepareWorld = nullptr;
    replay.Run({u"--replay", mine, u"--capture-overwrite", u"--capture", again, image});
    EXPECT_EQ(replay.status, kUpdateCaptureFailed);
    EXPECT_TRUE(Contains(replay.err, u"is the capture being replayed"));
    EXPECT_EQ(HostBytes(mine), captured);
  }
}

// A capture that cannot be written completely (a full disk) fails the run
// with the capture's status when the upgrade succeeded; when the upgrade
// failed too, both are told and the upgrade's own status stays. kv27m-isp
// likewise, with its own code.
TEST(UpdateTool, CaptureThatCannotBeWrittenIsAFailure) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs /dev/full";
#else
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  struct Case {
    const char16_t* scenario;
    int status;
    const char16_t* says;
  };
  const Case cases[] = {
      {u"--simulate=ok", kUpdateCaptureFailed, u"could not be written completely (exit status 7)"},
      {u"--simulate=erase-fails", UpdateExitCode(UpgradeStatus::EraseFailed),
       u"could not be written completely; the exit status is the upgrade's own (27)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(sim::ToUtf8(c.scenario));
    UpdateRun run;
    run.io.prepareWorld = nullptr;  // host files on
    HostFolder dir("kv27m-capture-full");
    run.io.backupFolder = [&] { return dir.path.u16string(); };
    run.Run({c.scenario, u"--capture-overwrite", u"--capture", u"/dev/full",
             Wide(KV_SOURCE_DIR "/res/KV27M_FW_UPGRADE.bimg")});
    EXPECT_EQ(run.status, c.status);
    EXPECT_TRUE(Contains(run.err, c.says));
    if (c.status != kUpdateCaptureFailed) {
      EXPECT_TRUE(Contains(run.err, UpgradeGloss(UpgradeStatus::EraseFailed)));
    }
  }
  // Without --capture-overwrite /dev/full is a file that exists.
  UpdateRun refused;
  refused.io.prepareWorld = nullptr;
  refused.Run({u"--simulate", u"--capture", u"/dev/full", Wide(KV_SOURCE_DIR "/res/KV27M_FW_UPGRADE.bimg")});
  EXPECT_EQ(refused.status, kUpdateCaptureFailed);
  EXPECT_TRUE(Contains(refused.err, u"exists already"));

  std::vector<std::u16string> out, err;
  IspToolIo io;
  io.out = [&](const std::u16string& line) { out.push_back(line); };
  io.err = [&](const std::u16string& line) { err.push_back(line); };
  const std::u16string image = Wide(KV_SOURCE_DIR "/res/KV27M_FW_UPGRADE.bimg");
  EXPECT_EQ(RunIspTool({u"--simulate", u"--capture-overwrite", u"--capture", u"/dev/full", image}, io),
            kIspToolCaptureFailed);
  EXPECT_TRUE(Contains(err, u"could not be written completely (exit status 6)"));
  err.clear();
  EXPECT_EQ(RunIspTool({u"--simulate", u"--capture-overwrite", u"--capture", image, image}, io), kIspToolCaptureFailed);
  EXPECT_TRUE(Contains(err, u"is the image"));
#endif
}

// README.md lists each console program's exit statuses in a table between
// "<!-- exit-codes PROGRAM -->" and "<!-- /exit-codes -->": it must be the
// code's own table, so that neither can change without the other. A failure
// prints the table to put there.
TEST(ConsolePrograms, ReadmeExitCodeTablesAreTheCodes) {
  std::ifstream in(KV_SOURCE_DIR "/README.md", std::ios::binary);
  ASSERT_TRUE(in) << "README.md";
  const std::string readme((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::pair<const char*, const std::vector<console::ExitCodeRow>*> programs[] = {
      {"kv27m-update", &UpdateExitCodes()}, {"kv27m-isp", &IspExitCodes()}, {"bimgtool", &BimgExitCodes()}};
  for (const auto& [program, rows] : programs) {
    SCOPED_TRACE(program);
    const std::string open = std::string("<!-- exit-codes ") + program + " -->\n";
    const std::size_t start = readme.find(open);
    ASSERT_NE(start, std::string::npos) << "README.md has no " << open;
    const std::size_t end = readme.find("<!-- /exit-codes -->", start);
    ASSERT_NE(end, std::string::npos);
    const std::string table = readme.substr(start + open.size(), end - start - open.size());
    EXPECT_EQ(table, console::ExitCodeMarkdown(*rows))
        << "put this in README.md:\n"
        << open << console::ExitCodeMarkdown(*rows) << "<!-- /exit-codes -->";
    // The usage lists the same codes.
    std::vector<int> codes;
    for (const auto& row : *rows) codes.push_back(row.code);
    EXPECT_TRUE(std::is_sorted(codes.begin(), codes.end()));
    EXPECT_EQ(std::adjacent_find(codes.begin(), codes.end()), codes.end());
  }
  // Every status the programs define has its row.
  for (const int code : {kUpdateOk, kUpdateUsage, kUpdateBackupFailed, kUpdateCancelled, kUpdateNoHardware,
                         kUpdateReplayDiverged, kUpdateCaptureFailed, kUpdateNoPermission})
    EXPECT_TRUE(std::any_of(UpdateExitCodes().begin(), UpdateExitCodes().end(),
                            [code](const console::ExitCodeRow& row) { return row.code == code; }))
        << code;
  for (const int code : {kIspToolOk, kIspToolFailed, kIspToolUsage, kIspToolBadBackup, kIspToolCancelled,
                         kIspToolReplayDiverged, kIspToolCaptureFailed, kIspToolNoPermission})
    EXPECT_TRUE(std::any_of(IspExitCodes().begin(), IspExitCodes().end(), [code](const console::ExitCodeRow& row) {
      return row.code == code;
    })) << code;
}

// --help of every console program: the usage on standard output, status 0.
TEST(ConsolePrograms, HelpGoesToStandardOutput) {
  std::vector<std::u16string> out, err;
  IspToolIo io;
  io.out = [&](const std::u16string& line) { out.push_back(line); };
  io.err = [&](const std::u16string& line) { err.push_back(line); };
  EXPECT_EQ(RunIspTool({u"--help"}, io), kIspToolOk);
  EXPECT_TRUE(err.empty());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_NE(out[0].find(u"--user-data"), std::u16string::npos);

  sim::World world;
  std::ostringstream bout, berr;
  EXPECT_EQ(RunBimgTool(world, {"--help"}, bout, berr), kBimgOk);
  EXPECT_TRUE(berr.str().empty());
  EXPECT_NE(bout.str().find("usage"), std::string::npos);
}

}  // namespace
}  // namespace kv27
