// The whole upgrade through the same sequence unit (RunUpgrade) the dialog and
// the console upgrader run, on the simulated PC of the "ok" scenario.
//
//   BM_UpgradeZeroLatency   devices that answer at once: real time and
//                           process CPU time (every thread) of one whole
//                           upgrade; hid_median_us and bulk_median_us are the
//                           medians of the real time from one HID request
//                           (WriteFile) to the next and from one bulk
//                           transfer to the next, over every run.
//   BM_UpgradeOnTheBus      the USB timing model on: duration_ms is the
//                           upgrade's length in the world's time, from the
//                           start until the mouse is back; floor_ms the least
//                           time the protocol needs (sim::ComputeUpgradeFloor);
//                           waits_ms the pauses the sequence makes by design
//                           (one search pause, one open pause); over_pct how
//                           far the duration lies above floor + waits;
//                           software_pct the process CPU time spent divided by
//                           the duration.
//   BM_UpgradeZeroLatencyCaptured, BM_UpgradeOnTheBusCaptured  the same two
//                           with the run captured as --capture captures it
//                           (every call through the capture boundary, the
//                           pcapng file written to the temporary folder
//                           with the host's own file calls, as the program
//                           writes it on a real PC): capture_kib the
//                           file's size; the summary sets their CPU time
//                           against the uncaptured runs'.
//   BM_ReplayWholeUpgrade   `kv27m-update --replay` (in-process) of the
//                           capture of a whole upgrade on the bus model:
//                           the real time of the replay, start to end.
//   BM_IdleMouseLink        the mouse link started with an owner window, in a
//                           world whose clock runs in real time, left alone
//                           for KV_IDLE_SECONDS (default 10) of real time:
//                           cpu_pct the process CPU time over that time,
//                           wakeups the reads the reader thread started.
//   BM_IdleDialog           the main dialog run as the program runs it, with
//                           the mouse connected, in real time: cpu_pct and
//                           wakeups as above, over KV_IDLE_SECONDS from one
//                           second after it opened.
//   BM_ConsoleUpgraderPeakRss  runs `$KV_UPDATE_TOOL --simulate` (default
//                           build/linux/bin/kv27m-update) as a child and
//                           reports its own peak resident memory as the
//                           kernel accounts it (wait4 ru_maxrss), in KiB.
//                           The child is forked from a small launcher (this
//                           program run afresh with kPeakRssLauncher), not
//                           spawned from the benchmark: a child spawned here
//                           starts on the benchmark's memory (posix_spawn
//                           shares it until exec) and the kernel keeps that
//                           high-water mark across exec, so the figure would
//                           be the benchmark's size, not the upgrader's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/firmware_update_app.h"
#include "app/mouse_search.h"
#include "app/simulation.h"
#include "app/upgrade_sequence.h"
#include "capture/capture_os_api.h"
#include "protocol/isp_flash.h"
#include "protocol/kv27_usb_comm.h"
#include "protocol/kv8b05_comm.h"
#include "res/compiled_resources.h"
#include "sim/resources.h"
#include "sim/usb_timing.h"
#include "tools/console/traffic_capture.h"
#include "tools/kv27m-update/update_tool.h"
#include "usbmon/usb_device_monitor.h"

extern char** environ;

// The program's one application object: this benchmark plays the program for
// the idle measurement of the main dialog.
kv27::CKV27MFirmwareUpdateApp theApp;

namespace {

// The figures each benchmark leaves for the summary table (negative: not
// measured).
struct Figures {
  double wallMs = -1, cpuMs = -1, hidUs = -1, bulkUs = -1;
  double durationMs = -1, floorMs = -1, waitsMs = -1, softwarePct = -1;
  double idlePct = -1, idleWakeups = -1, idleSeconds = -1;
  double dialogIdlePct = -1, dialogWakeups = -1, dialogSeconds = -1;
  double peakRssKiB = -1;
  double capturedWallMs = -1, capturedCpuMs = -1, captureKiB = -1, capturedSoftwarePct = -1;
  double replayMs = -1;
} g_figures;

using namespace kv27;
using Clock = std::chrono::steady_clock;

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

// The world notes when each HID request and each bulk transfer starts.
class StampingWorld : public sim::World {
 public:
  BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped) override {
    if (stamping) hid.push_back(Clock::now());
    return World::WriteFile(file, buffer, toWrite, written, overlapped);
  }
  BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe, PUCHAR b, ULONG n, PULONG t, OVERLAPPED* o) override {
    if (stamping) bulk.push_back(Clock::now());
    return World::WinUsb_WritePipe(h, pipe, b, n, t, o);
  }
  BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe, PUCHAR b, ULONG n, PULONG t, OVERLAPPED* o) override {
    if (stamping) bulk.push_back(Clock::now());
    return World::WinUsb_ReadPipe(h, pipe, b, n, t, o);
  }
  bool stamping = false;
  std::vector<Clock::time_point> hid;
  std::vector<Clock::time_point> bulk;
};

struct QuietFace : UpgradeFace {
  void SetProgress(int) override {}
  void ShowMessage(UpgradeStatus, const char16_t*) override {}
};

// The capture file of a captured run, written with the host's file calls (the
// simulated world's own files are slower than a real disk by far).
std::string CapturePath() {
  return (std::filesystem::temp_directory_path() / ("kv27m-bench-" + std::to_string(getpid()) + ".pcapng")).string();
}
class HostFileSink : public capture::CaptureSink {
 public:
  explicit HostFileSink(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {}
  ~HostFileSink() override { Close(); }
  bool ok() const { return file_ != nullptr; }
  bool Write(const std::uint8_t* data, std::size_t size) override {
    return file_ != nullptr && std::fwrite(data, 1, size, file_) == size;
  }
  bool Close() override {
    const bool closed = file_ == nullptr || std::fclose(file_) == 0;
    file_ = nullptr;
    return closed;
  }

 private:
  std::FILE* file_;
};

// The dialog's devices on the "ok" rig, as the upgrade sequence test builds
// them: the monitor refreshed, the mouse link started with an owner window
// that passes device changes on, a closed bootloader link. `captured`: all of
// it on a capture of the world's boundary, as --capture runs the program.
class Pc {
 public:
  explicit Pc(std::optional<sim::UsbTiming> timing = std::nullopt, bool realTime = false, bool captured = false) {
    world.SetUsbTiming(timing);
    rig = BuildScenario(world, *FindScenario("ok"));
    rig->mouse().Collection(sim::kMouseCommandCollection)->SetOutputLogEnabled(false);
    rig->mouse().Bootloader()->SetWireLogEnabled(false);
    owner = world.CreateHeadlessWindow([this](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
      if (message == WM_DEVICECHANGE && mouseLink) mouseLink->OnDeviceChange(wParam, lParam);
      return 0;
    });
    if (realTime) world.SetRealTime(true);
    if (captured) {
      capture::CaptureOptions options;
      options.application = "upgrade_bench";
      options.clockUs = [this] { return world.NowUs(); };
      options.startUs = console::kSimulatedCaptureStartUs;
      options.reportIds[{kMouseUsagePage, kMouseUsage}] = kMouseReportId;
      sink = std::make_unique<HostFileSink>(CapturePath());
      if (!sink->ok()) std::abort();
      capture = std::make_unique<capture::CaptureOsApi>(world, *sink, std::move(options));
    }
    w32::OsApi& os = Os();
    monitor = std::make_unique<CUSBDeviceMonitor>(os);
    bootLink = std::make_unique<CKV8B05Comm>(os);
    mouseLink = std::make_unique<CKV27USBComm>(os);
    monitor->ownerWindow = owner;
    monitor->Refresh();
    WCHAR path[kHidMaxPath] = {};
    if (!FindMouseInterface(os, path) || mouseLink->Start(path, owner) != 0) std::abort();
  }
  ~Pc() {
    mouseLink.reset();
    bootLink.reset();
    monitor.reset();
    capture.reset();
    if (sink) {
      sink.reset();
      std::filesystem::remove(CapturePath());
    }
    rig.reset();
    world.DestroyHeadlessWindow(owner);
  }
  UpgradeStatus Run() {
    QuietFace face;
    const UpgradeStatus status =
        RunUpgrade(Os(), UpgradeDevices{*mouseLink, *bootLink, *monitor}, sim::kRigImagePath, face);
    if (capture) {
      capture->Finish();  // the file complete, as the program's end writes it
      captureBytes = static_cast<std::size_t>(std::filesystem::file_size(CapturePath()));
    }
    return status;
  }
  w32::OsApi& Os() { return capture ? static_cast<w32::OsApi&>(*capture) : world; }

  StampingWorld world;
  std::unique_ptr<HostFileSink> sink;
  std::unique_ptr<capture::CaptureOsApi> capture;
  std::size_t captureBytes = 0;
  std::unique_ptr<sim::MouseRig> rig;
  std::unique_ptr<CUSBDeviceMonitor> monitor;
  std::unique_ptr<CKV8B05Comm> bootLink;
  std::unique_ptr<CKV27USBComm> mouseLink;
  HWND owner = nullptr;
};

void Intervals(const std::vector<Clock::time_point>& stamps, std::vector<double>& out) {
  for (std::size_t i = 1; i < stamps.size(); ++i)
    out.push_back(std::chrono::duration<double, std::micro>(stamps[i] - stamps[i - 1]).count());
}

void ZeroLatency(benchmark::State& state, bool captured) {
  std::vector<double> hid;
  std::vector<double> bulk;
  std::vector<double> wall;
  std::vector<double> cpu;
  for (auto _ : state) {
    state.PauseTiming();
    auto pc = std::make_unique<Pc>(std::nullopt, false, captured);
    pc->world.hid.reserve(1024);
    pc->world.bulk.reserve(4096);
    pc->world.stamping = true;
    state.ResumeTiming();
    const auto wall0 = Clock::now();
    const double cpu0 = ProcessCpuSeconds();
    const UpgradeStatus status = pc->Run();
    cpu.push_back((ProcessCpuSeconds() - cpu0) * 1000);
    wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - wall0).count());
    state.PauseTiming();
    if (status != UpgradeStatus::Success) state.SkipWithError("the upgrade failed");
    Intervals(pc->world.hid, hid);
    Intervals(pc->world.bulk, bulk);
    if (captured) g_figures.captureKiB = static_cast<double>(pc->captureBytes) / 1024;
    pc.reset();
    state.ResumeTiming();
  }
  if (captured) {
    g_figures.capturedWallMs = Median(wall);
    g_figures.capturedCpuMs = Median(cpu);
    state.counters["capture_kib"] = g_figures.captureKiB;
  } else {
    g_figures.wallMs = Median(wall);
    g_figures.cpuMs = Median(cpu);
    g_figures.hidUs = Median(hid);
    g_figures.bulkUs = Median(bulk);
  }
  state.counters["hid_median_us"] = Median(hid);
  state.counters["bulk_median_us"] = Median(bulk);
  state.counters["hid_exchanges"] = static_cast<double>(hid.size() / state.iterations() + 1);
  state.counters["bulk_transfers"] = static_cast<double>(bulk.size() / state.iterations() + 1);
}
void BM_UpgradeZeroLatency(benchmark::State& state) { ZeroLatency(state, false); }
BENCHMARK(BM_UpgradeZeroLatency)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(20);
void BM_UpgradeZeroLatencyCaptured(benchmark::State& state) { ZeroLatency(state, true); }
BENCHMARK(BM_UpgradeZeroLatencyCaptured)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(20);

void OnTheBus(benchmark::State& state, bool captured) {
  const sim::UsbTiming timing;
  double durationUs = 0;
  double cpuSeconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto pc = std::make_unique<Pc>(timing, false, captured);
    state.ResumeTiming();
    const double cpu0 = ProcessCpuSeconds();
    const std::uint64_t start = pc->world.NowUs();
    const UpgradeStatus status = pc->Run();
    cpuSeconds += ProcessCpuSeconds() - cpu0;
    state.PauseTiming();
    if (status != UpgradeStatus::Success) state.SkipWithError("the upgrade failed");
    // The upgrade is over when the mouse is back.
    while (pc->rig->mouse().CurrentMode() != sim::VirtualMouse::Mode::kNormal) pc->world.Advance(1);
    durationUs += static_cast<double>(pc->world.NowUs() - start);
    pc.reset();
    state.ResumeTiming();
  }
  const double n = static_cast<double>(state.iterations());
  const double floorMs = static_cast<double>(sim::ComputeUpgradeFloor(timing).TotalUs()) / 1000;
  const double waitsMs = kIspSearchPauseMs + kIspOpenPauseMs;
  const double durationMs = durationUs / n / 1000;
  if (captured) {
    g_figures.capturedSoftwarePct = cpuSeconds / n / (durationMs / 1000) * 100;
    state.counters["software_pct"] = g_figures.capturedSoftwarePct;
    return;
  }
  g_figures.durationMs = durationMs;
  g_figures.floorMs = floorMs;
  g_figures.waitsMs = waitsMs;
  g_figures.softwarePct = cpuSeconds / n / (durationMs / 1000) * 100;
  state.counters["duration_ms"] = durationMs;
  state.counters["floor_ms"] = floorMs;
  state.counters["waits_ms"] = waitsMs;
  state.counters["over_pct"] = (durationMs - (floorMs + waitsMs)) / (floorMs + waitsMs) * 100;
  state.counters["software_pct"] = cpuSeconds / n / (durationMs / 1000) * 100;
}
void BM_UpgradeOnTheBus(benchmark::State& state) { OnTheBus(state, false); }
BENCHMARK(BM_UpgradeOnTheBus)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(5);
void BM_UpgradeOnTheBusCaptured(benchmark::State& state) { OnTheBus(state, true); }
BENCHMARK(BM_UpgradeOnTheBusCaptured)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(5);

// The capture of a whole upgrade on the bus model, made once by the console
// upgrader (in-process, files in memory), then replayed by it each run.
void BM_ReplayWholeUpgrade(benchmark::State& state) {
  constexpr char16_t kCapture[] = u"C:\\captures\\run.pcapng";
  auto quiet = [](UpdateToolIo& io, sim::World& world) {
    io.out = [](const std::u16string&) {};
    io.err = [](const std::u16string&) {};
    io.backupFolder = [] { return std::u16string(u"C:\\backups"); };
    io.timeStamp = [] { return std::u16string(u"1"); };
    io.world = &world;
  };
  std::vector<std::uint8_t> bytes;
  {
    sim::World world;
    UpdateToolIo io;
    quiet(io, world);
    io.prepareWorld = [](sim::World& w) {
      w.SetHostFiles(false);
      w.AddDirectory(u"C:\\captures");
      w.AddDirectory(u"C:\\backups");
      w.SetUsbTiming(sim::UsbTiming{});
    };
    if (RunUpdateTool({u"--simulate", u"--capture", kCapture}, io) != kUpdateOk) {
      state.SkipWithError("the captured upgrade failed");
      for (auto _ : state) {
      }
      return;
    }
    bytes = *world.FileBytes(kCapture);
  }
  std::vector<double> wall;
  for (auto _ : state) {
    sim::World world;
    UpdateToolIo io;
    quiet(io, world);
    io.prepareWorld = [&bytes, &kCapture](sim::World& w) {
      w.SetHostFiles(false);
      w.AddFile(kCapture, bytes);
    };
    const auto wall0 = Clock::now();
    const int code = RunUpdateTool({u"--replay", kCapture}, io);
    wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - wall0).count());
    if (code != kUpdateOk) state.SkipWithError("the replay diverged");
  }
  g_figures.replayMs = Median(wall);
  state.counters["capture_kib"] = static_cast<double>(bytes.size()) / 1024;
}
BENCHMARK(BM_ReplayWholeUpgrade)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(10);

void BM_IdleMouseLink(benchmark::State& state) {
  const char* env = std::getenv("KV_IDLE_SECONDS");
  const int seconds = env ? std::max(1, std::atoi(env)) : 10;
  for (auto _ : state) {
    state.PauseTiming();
    auto pc = std::make_unique<Pc>(std::nullopt, true);
    const std::uint64_t reads0 = pc->world.CallCount("ReadFile");
    state.ResumeTiming();
    const double cpu0 = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = ProcessCpuSeconds() - cpu0;
    state.PauseTiming();
    g_figures.idlePct = cpu / seconds * 100;
    g_figures.idleWakeups = static_cast<double>(pc->world.CallCount("ReadFile") - reads0);
    g_figures.idleSeconds = seconds;
    state.counters["cpu_pct"] = cpu / seconds * 100;
    state.counters["wakeups"] = static_cast<double>(pc->world.CallCount("ReadFile") - reads0);
    pc.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_IdleMouseLink)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(1);

// The main dialog open with the mouse connected, as the program runs it
// (AppMain), in a world whose clock runs in real time. The program lies in a
// folder without the default image, so no upgrade starts by itself. The CPU
// time is taken from one second after the dialog opened until the user closes
// it KV_IDLE_SECONDS later.
void BM_IdleDialog(benchmark::State& state) {
  const char* env = std::getenv("KV_IDLE_SECONDS");
  const int seconds = env ? std::max(1, std::atoi(env)) : 10;
  for (auto _ : state) {
    state.PauseTiming();
    StampingWorld world;
    auto [data, size] = res::CompiledResources();
    auto resources = sim::ResourceSet::Parse(data, size);
    if (!resources) std::abort();
    world.SetResources(*resources);
    auto rig = BuildScenario(world, *FindScenario("ok"));
    world.SetModulePath(u"C:\\Tools\\KV27MFirmwareUpdate.exe");
    world.SetRealTime(true);
    const std::uint64_t t0 = world.Now();
    const std::uint64_t from = t0 + 1000;
    const std::uint64_t until = from + static_cast<std::uint64_t>(seconds) * 1000;
    double cpu0 = 0, cpu1 = 0;
    std::uint64_t reads0 = 0, reads1 = 0;
    bool present = false;
    world.User().DoAt(from, [&] {
      cpu0 = ProcessCpuSeconds();
      reads0 = world.CallCount("ReadFile");
      present = static_cast<CKV27MFirmwareUpdateDlg*>(theApp.m_pMainWnd)->MousePresent();
    });
    world.User().DoAt(until, [&] {
      cpu1 = ProcessCpuSeconds();
      reads1 = world.CallCount("ReadFile");
    });
    world.User().CloseAt(until + 1);
    state.ResumeTiming();
    theApp.m_pszAppName.clear();
    AppMain(world);
    state.PauseTiming();
    if (!present) state.SkipWithError("the mouse was not connected");
    g_figures.dialogIdlePct = (cpu1 - cpu0) / seconds * 100;
    g_figures.dialogWakeups = static_cast<double>(reads1 - reads0);
    g_figures.dialogSeconds = seconds;
    state.counters["cpu_pct"] = g_figures.dialogIdlePct;
    state.counters["wakeups"] = g_figures.dialogWakeups;
    rig.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_IdleDialog)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(1);

// The launcher's first argument: forks, runs the rest of its arguments as a
// program (output to /dev/null), and prints the child's ru_maxrss in KiB and
// its exit status.
constexpr char kPeakRssLauncher[] = "--kv-peak-rss-of";

int RunPeakRssLauncher(char** argv) {
  const pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execv(argv[0], argv);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return 1;
  std::printf("%ld %d\n", usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return 0;
}

void BM_ConsoleUpgraderPeakRss(benchmark::State& state) {
  const char* env = std::getenv("KV_UPDATE_TOOL");
  std::string tool = env ? env : "build/linux/bin/kv27m-update";
  if (access(tool.c_str(), X_OK) != 0) {
    state.SkipWithError(("no console upgrader at " + tool + " (set KV_UPDATE_TOOL)").c_str());
    for (auto _ : state) {
    }
    return;
  }
  long peakKiB = 0;
  int run = 0;
  for (auto _ : state) {
    // Each run saves its settings backup to a file of its own, removed after.
    std::string backup = "/tmp/kv27m-bench-" + std::to_string(getpid()) + "-" + std::to_string(++run) + ".kv27ud";
    std::string self = "/proc/self/exe", launcher = kPeakRssLauncher, arg = "--simulate";
    std::string backupArg = "--backup=" + backup;
    char* argv[] = {self.data(), launcher.data(), tool.data(), arg.data(), backupArg.data(), nullptr};
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
      state.SkipWithError("pipe failed");
      break;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
      close(pipeFds[0]);
      state.SkipWithError("spawn failed");
      break;
    }
    std::string report;
    char buffer[64];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
      report.append(buffer, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    std::remove(backup.c_str());
    long childKiB = 0;
    int childStatus = -1;
    if (std::sscanf(report.c_str(), "%ld %d", &childKiB, &childStatus) != 2 || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0 || childStatus != 0)
      state.SkipWithError("the console upgrader failed");
    peakKiB = std::max(peakKiB, childKiB);
  }
  g_figures.peakRssKiB = static_cast<double>(peakKiB);
  state.counters["peak_rss_kib"] = static_cast<double>(peakKiB);
}
BENCHMARK(BM_ConsoleUpgraderPeakRss)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// A change in percent, which may be negative (a missing figure: "not measured").
void ChangeRow(const char* what, double before, double after, const char* goal) {
  if (before <= 0 || after < 0)
    std::printf("| %-44s | %14s | %-26s |\n", what, "not measured", goal);
  else
    std::printf("| %-44s | %+10.3f %-3s | %-26s |\n", what, (after - before) / before * 100, "%", goal);
}

void Row(const char* what, double value, const char* unit, const char* goal) {
  if (value < 0)
    std::printf("| %-44s | %14s | %-26s |\n", what, "not measured", goal);
  else
    std::printf("| %-44s | %10.3f %-3s | %-26s |\n", what, value, unit, goal);
}

void PrintSummary() {
  const Figures& f = g_figures;
  std::printf("\nSummary (medians over the runs; see bench/README.md)\n");
  std::printf("| %-44s | %14s | %-26s |\n", "figure", "measured", "goal");
  std::printf("|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(16, '-').c_str(), std::string(28, '-').c_str());
  Row("zero latency: wall time of one upgrade", f.wallMs, "ms", "");
  Row("zero latency: CPU time of one upgrade", f.cpuMs, "ms", "<= 50 ms");
  Row("zero latency: per HID exchange", f.hidUs, "us", "<= 50 us");
  Row("zero latency: per bulk transfer", f.bulkUs, "us", "");
  Row("bus model: duration (world time)", f.durationMs, "ms", "<= (floor + waits) * 1.01");
  Row("bus model: floor", f.floorMs, "ms", "");
  Row("bus model: designed waits", f.waitsMs, "ms", "");
  Row("bus model: (floor + waits) * 1.01", f.floorMs < 0 ? -1 : (f.floorMs + f.waitsMs) * 1.01, "ms", "");
  Row("bus model: software share (CPU / duration)", f.softwarePct, "%", "<= 1 %");
  Row("captured, zero latency: CPU time of one upgrade", f.capturedCpuMs, "ms", "");
  ChangeRow("capture: CPU added (zero latency)", f.cpuMs, f.capturedCpuMs, "<= 5 %");
  Row("captured, bus model: software share", f.capturedSoftwarePct, "%", "");
  ChangeRow("capture: CPU added (bus model)", f.softwarePct, f.capturedSoftwarePct, "<= 5 %");
  Row("capture file of one upgrade", f.captureKiB, "KiB", "");
  Row("replay of a whole upgrade (wall time)", f.replayMs, "ms", "< 1000 ms");
  Row("idle main dialog, mouse connected: CPU", f.dialogIdlePct, "%", "<= 0.1 %");
  Row("idle main dialog: reader wake-ups per second", f.dialogSeconds > 0 ? f.dialogWakeups / f.dialogSeconds : -1,
      "/s", "<= 1 /s");
  Row("idle mouse link: CPU", f.idlePct, "%", "<= 0.1 %");
  Row("idle mouse link: reader wake-ups per second", f.idleSeconds > 0 ? f.idleWakeups / f.idleSeconds : -1, "/s",
      "<= 1 /s");
  Row("console upgrader --simulate: peak RSS", f.peakRssKiB < 0 ? -1 : f.peakRssKiB / 1024, "MiB", "<= 8 MiB");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], kPeakRssLauncher) == 0) return RunPeakRssLauncher(argv + 2);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintSummary();
  return 0;
}
