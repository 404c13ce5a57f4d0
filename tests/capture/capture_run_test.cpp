// --capture on the console programs over the simulated PC: the file a run
// leaves, read back frame by frame, shows the upgrade as the bus carries it,
// with the failures the scenarios cause, and capturing changes no outcome.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/mouse_search.h"
#include "app/simulation.h"
#include "capture/capture_log.h"
#include "capture/capture_os_api.h"
#include "capture/usb_descriptors.h"
#include "protocol/kv27_usb_comm.h"
#include "protocol/kv8b05_comm.h"
#include "sim/bootloader.h"
#include "sim/usb_timing.h"
#include "tests/capture/capture_checks.h"
#include "tools/kv27m-isp/isp_tool.h"
#include "tools/kv27m-update/update_tool.h"

namespace kv27::capture {
namespace {

constexpr char16_t kCapturePath[] = u"C:\\captures\\run.pcapng";

TEST(CaptureRun, WholeUpgradeAsTheBusWouldShowIt) {
  CapturedUpdate run("ok");
  ASSERT_EQ(run.status, kUpdateOk);
  ASSERT_TRUE(run.log) << run.error;
  const CaptureLog& log = *run.log;

  // The program's records: the run, the mouse there from the start and opened
  // twice (the link and its reader), its removal when it restarts, the
  // bootloader's arrival and open, the end.
  std::vector<std::string> kinds;
  for (const auto* note : log.Notes()) kinds.push_back(note->kind);
  EXPECT_EQ(kinds, (std::vector<std::string>{"run", "present", "open", "open", "removal", "arrival", "open", "end"}));
  const auto mouse = log.Notes("present").at(0);
  EXPECT_EQ(mouse->Field("kind"), "hid");
  EXPECT_EQ(mouse->Field("vid"), "4E5B");
  EXPECT_EQ(mouse->Field("pid"), "002A");
  EXPECT_EQ(mouse->Field("port"), "2");
  EXPECT_EQ(mouse->Field("address-from"), "hub connection record");
  const auto boot = log.Notes("arrival").at(0);
  EXPECT_EQ(boot->Field("kind"), "winusb");
  EXPECT_EQ(boot->Field("pid"), "7B05");
  EXPECT_EQ(boot->Field("class"), GuidText(sim::kBootloaderInterfaceClass));
  const auto end = log.Notes("end").at(0);
  EXPECT_EQ(end->Field("exit"), "0");
  EXPECT_EQ(end->Field("message"), Utf8(UpgradeMessage(UpgradeStatus::Success)));

  const Traffic traffic = Summarise(log);
  EXPECT_EQ(traffic.unpaired, "");
  // The mouse's descriptors come before its first transfer, as the program
  // read them: the command collection with its report id, on interface 1's
  // interrupt endpoints.
  const auto& mouseDevice = traffic.devices.at(static_cast<std::uint16_t>(std::stoi(mouse->Field("address"))));
  ASSERT_TRUE(mouseDevice.describedBeforeTraffic);
  EXPECT_EQ(mouseDevice.device.idVendor, 0x4E5B);
  ASSERT_EQ(mouseDevice.interfaces.size(), 1u);
  EXPECT_EQ(mouseDevice.interfaces[0].number, 1);
  ASSERT_EQ(mouseDevice.reports.count(1), 1u);
  ASSERT_EQ(mouseDevice.reports.at(1).size(), 1u);
  EXPECT_EQ(mouseDevice.reports.at(1)[0].usagePage, 0xFFB4);
  EXPECT_EQ(mouseDevice.reports.at(1)[0].reportId, std::optional<std::uint8_t>(0xB4));
  EXPECT_EQ(mouseDevice.reports.at(1)[0].outputLength, 8);

  // 448 requests and their replies, page by page, offset by offset.
  ASSERT_EQ(mouseDevice.interruptOut.size(), 448u);
  ASSERT_EQ(mouseDevice.interruptIn.size(), 448u);
  for (std::size_t i = 0; i < 448; ++i) {
    const std::vector<std::uint8_t> request = {
        0xB4, 0x02, static_cast<std::uint8_t>((i % 64) * 4), 4, static_cast<std::uint8_t>(i / 64), 0, 0, 0};
    ASSERT_EQ(Hex(mouseDevice.interruptOut[i]), Hex(request)) << i;
    ASSERT_EQ(mouseDevice.interruptIn[i].size(), 8u);
    EXPECT_EQ(mouseDevice.interruptIn[i][2], request[2]) << i;
  }
  // The bootloader request once, through the hub to the mouse.
  ASSERT_EQ(mouseDevice.controlSetups.size(), 1u);
  EXPECT_EQ(Hex(mouseDevice.controlSetups[0]), "80 06 C3 03 1A 5D FF 00");
  EXPECT_EQ(mouseDevice.controlReplies.at(0).at(1), kDescriptorString);

  // The bootloader: the bulk transfers of the timing model's upgrade.
  const auto& bootDevice = traffic.devices.at(static_cast<std::uint16_t>(std::stoi(boot->Field("address"))));
  EXPECT_TRUE(bootDevice.describedBeforeTraffic);
  EXPECT_EQ(bootDevice.bulkTransfers, sim::ComputeUpgradeFloor(sim::UsbTiming{}).bulkTransfers);
  ASSERT_FALSE(bootDevice.bulkOut.empty());
  EXPECT_EQ(Hex(bootDevice.bulkOut.front()), "25 00 00 00 00 00 00 00 FF 00");
  EXPECT_EQ(Hex(bootDevice.bulkOut.back()), "20 00 00 00 00 00 00 00 40 00");
  // The bootloader restarts the mouse's re-enumeration time after the request.
  EXPECT_GE(std::stoull(boot->Field("seen")) - traffic.stringRequestUs, 1500u * 1000);
}

// Failures, time-outs and short transfers keep their status, their Win32
// error and their counts.
TEST(CaptureRun, FailuresShowWithTheirStatus) {
  struct Case {
    const char* scenario;
    std::function<bool(const CaptureFrame&)> shows;
    const char* what;
  };
  const Case cases[] = {
      {"unplug-during-read",
       [](const CaptureFrame& f) {
         return f.header.completion() && f.header.transfer == kTransferInterrupt && !f.header.in() &&
                f.header.status == kUsbdDeviceGone && f.comment == "error 1167 ERROR_DEVICE_NOT_CONNECTED";
       },
       "a request that failed because the mouse left"},
      {"no-bootloader",
       [](const CaptureFrame& f) {
         return f.header.completion() && f.header.transfer == kTransferInterrupt && f.header.in() &&
                f.header.status == kUsbdCanceled && f.Error() == w32::ERROR_OPERATION_ABORTED;
       },
       "a read the reader gave up on after its time-out, while the mouse stays"},
      {"erase-fails",
       [](const CaptureFrame& f) {
         return f.header.completion() && f.header.transfer == kTransferBulk && f.header.in() && Hex(f.data) == "01";
       },
       "the erase's failed status byte"},
      {"verify-fails",
       [](const CaptureFrame& f) {
         return f.header.completion() && f.header.transfer == kTransferBulk && !f.header.in() &&
                f.Moved() == std::optional<std::uint32_t>(9) && f.comment == "moved 9 of 10 bytes";
       },
       "a command packet the bootloader took short"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    CapturedUpdate run(c.scenario);
    ASSERT_TRUE(run.log) << run.error;
    bool found = false;
    for (const auto* frame : run.log->Frames()) found = found || c.shows(*frame);
    EXPECT_TRUE(found) << c.what;
    EXPECT_EQ(run.log->Notes("end").at(0)->Field("exit"), std::to_string(run.status));
    EXPECT_EQ(Summarise(*run.log).unpaired, "");
  }
  // A device that left shows its removal before the failure that told of it.
  CapturedUpdate unplug("unplug-during-read");
  ASSERT_TRUE(unplug.log);
  std::uint32_t removal = 0, failure = 0;
  for (const auto& r : unplug.log->records) {
    if (r.note && r.record.kind == "removal" && removal == 0) removal = r.record.number;
    if (!r.note && r.frame.header.status == kUsbdDeviceGone && failure == 0) failure = r.frame.number;
  }
  EXPECT_NE(removal, 0u);
  EXPECT_LT(removal, failure);
}

// The capture observes and changes nothing: every scenario ends as it does
// without it, and the capture's end record says so.
TEST(CaptureRun, EveryScenarioEndsAsWithoutCapture) {
  for (const auto& scenario : Scenarios()) {
    SCOPED_TRACE(scenario.name);
    CapturedUpdate run(scenario.name);
    EXPECT_EQ(run.status, UpdateExitCode(scenario.expected));
    ASSERT_TRUE(run.log) << run.error;
    EXPECT_EQ(run.log->Notes("end").at(0)->Field("exit"), std::to_string(run.status));
    EXPECT_EQ(run.world.LeakReport(), "");
  }
}

TEST(CaptureRun, FileThatCannotBeWrittenStopsBeforeAnythingIsSent) {
  CapturedUpdate run("ok", {}, [](sim::World& world) {
    world.InjectFault({"CreateFileW", w32::ERROR_ACCESS_DENIED, 1, 1, u"run.pcapng"});
  });
  EXPECT_EQ(run.status, kUpdateCaptureFailed);
  EXPECT_EQ(run.rig->mouse().RequestCount(), 0u);
  ASSERT_FALSE(run.err.empty());
  EXPECT_NE(run.err[0].find(u"cannot write the capture C:\\captures\\run.pcapng (error 5)"), std::u16string::npos);
}

TEST(CaptureRun, IspToolCapturesTheFlash) {
  sim::World world;
  auto bootloader = std::make_shared<sim::VirtualBootloader>();
  bootloader->Plug(world);
  world.SetHostFiles(false);
  world.AddDirectory(u"C:\\captures");
  world.AddFile(u"fw.bimg", SampleImageBytes());
  IspToolIo io;
  std::vector<std::u16string> out;
  io.out = [&out](const std::u16string& line) { out.push_back(line); };
  io.err = [&out](const std::u16string& line) { out.push_back(line); };
  io.world = &world;
  ASSERT_EQ(RunIspTool({u"--simulate", u"--capture", kCapturePath, u"fw.bimg"}, io), kIspToolOk);
  const auto bytes = world.FileBytes(kCapturePath);
  ASSERT_TRUE(bytes);
  std::string error;
  auto log = ParseCapture(bytes->data(), bytes->size(), &error);
  ASSERT_TRUE(log) << error;
  ASSERT_EQ(log->Notes("present").size(), 1u);
  EXPECT_EQ(log->Notes("present")[0]->Field("kind"), "winusb");
  EXPECT_EQ(log->Notes("run")[0]->Field("program"), "kv27m-isp");
  const Traffic traffic = Summarise(*log);
  EXPECT_EQ(traffic.unpaired, "");
  ASSERT_EQ(traffic.devices.size(), 1u);
  EXPECT_EQ(traffic.devices.begin()->second.bulkTransfers, sim::ComputeUpgradeFloor(sim::UsbTiming{}).bulkTransfers);
  EXPECT_EQ(log->Notes("end")[0]->Field("exit"), "0");
  EXPECT_EQ(world.LeakReport(), "");
}

// What every transfer call left for its caller: its result and its last
// error. The last error is set to a mark before each call, so that a call
// that succeeds without setting it would show as leaving the mark.
class LastErrorProbe : public w32::ForwardingOsApi {
 public:
  using ForwardingOsApi::ForwardingOsApi;
  static constexpr DWORD kMark = 0xBEEF;
  std::vector<std::string> seen;

  BOOL ReadFile(HANDLE f, LPVOID b, DWORD n, LPDWORD done, OVERLAPPED* o) override {
    return Note("ReadFile", (Mark(), inner_.ReadFile(f, b, n, done, o)));
  }
  BOOL WriteFile(HANDLE f, LPCVOID b, DWORD n, LPDWORD done, OVERLAPPED* o) override {
    return Note("WriteFile", (Mark(), inner_.WriteFile(f, b, n, done, o)));
  }
  BOOL GetOverlappedResult(HANDLE f, OVERLAPPED* o, LPDWORD done, BOOL wait) override {
    return Note("GetOverlappedResult", (Mark(), inner_.GetOverlappedResult(f, o, done, wait)));
  }
  BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe, PUCHAR b, ULONG n, PULONG done, OVERLAPPED* o) override {
    return Note("WinUsb_WritePipe", (Mark(), inner_.WinUsb_WritePipe(h, pipe, b, n, done, o)));
  }
  BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe, PUCHAR b, ULONG n, PULONG done, OVERLAPPED* o) override {
    return Note("WinUsb_ReadPipe", (Mark(), inner_.WinUsb_ReadPipe(h, pipe, b, n, done, o)));
  }

 private:
  void Mark() { inner_.SetLastError(kMark); }
  BOOL Note(const char* call, BOOL ok) {
    const DWORD error = inner_.GetLastError();
    seen.push_back(std::string(call) + (ok ? " ok " : " failed ") + std::to_string(error));
    return ok;
  }
};

// A capture file whose writes set a last error of their own, as a disk that
// is full would; every frame is written at once.
class ErrorSettingSink : public MemoryCaptureSink {
 public:
  explicit ErrorSettingSink(OsApi& os) : os_(os) {}
  bool Write(const std::uint8_t* data, std::size_t size) override {
    os_.SetLastError(ERROR_DISK_FULL);
    return MemoryCaptureSink::Write(data, size);
  }

 private:
  OsApi& os_;
};

// Capturing changes no call's last error: not on success (the capture reads
// and puts back nothing then), not on failure or while a transfer is pending,
// and not when the capture's own file write sets one.
TEST(CaptureRun, EveryTransferLeavesTheLastErrorItsDeviceLeft) {
  const auto calls = [](bool captured) {
    sim::World world;
    auto rig = BuildScenario(world, *FindScenario("ok"));
    auto bootloader = std::make_shared<sim::VirtualBootloader>();
    bootloader->Plug(world);
    ErrorSettingSink sink(world);
    CaptureOptions options;
    options.clockUs = [&world] { return world.NowUs(); };
    options.flushBytes = 1;
    std::optional<CaptureOsApi> capture;
    if (captured) capture.emplace(world, sink, options);
    LastErrorProbe probe(captured ? static_cast<OsApi&>(*capture) : world);

    // The mouse: a request written and its answer read, overlapped; then a
    // read nobody answers, looked at, cancelled and completed.
    WCHAR path[kHidMaxPath] = {};
    EXPECT_TRUE(FindMouseInterface(probe, path));
    HANDLE mouse = probe.CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(mouse, INVALID_HANDLE_VALUE);
    BYTE request[kMouseReportLength] = {kMouseReportId, kMouseFlashRead, 0x00, 0x04};
    BYTE answer[kMouseReportLength] = {};
    DWORD moved = 0;
    OVERLAPPED io{};
    io.hEvent = probe.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    probe.WriteFile(mouse, request, sizeof request, nullptr, &io);
    probe.GetOverlappedResult(mouse, &io, &moved, TRUE);
    for (int read = 0; read < 2; ++read) {
      probe.ResetEvent(io.hEvent);
      if (!probe.ReadFile(mouse, answer, sizeof answer, nullptr, &io)) {
        if (read == 1 && !probe.GetOverlappedResult(mouse, &io, &moved, FALSE)) probe.CancelIo(mouse);
        probe.GetOverlappedResult(mouse, &io, &moved, TRUE);
      }
    }
    probe.CloseHandle(io.hEvent);
    probe.CloseHandle(mouse);

    // The bootloader: an erase and a verify, then a command to a bootloader
    // that has left the bus.
    std::u16string boot;
    EXPECT_TRUE(FindIspDevice(probe, boot));
    CKV8B05Comm link(probe);
    EXPECT_EQ(link.Open(boot.c_str()), 0u);
    EXPECT_TRUE(link.EraseFlash());
    EXPECT_TRUE(link.VerifyFlash());
    world.Detach(sim::kDefaultBootloaderPath);
    EXPECT_FALSE(link.ExitIsp());
    link.Close();
    if (captured) {
      EXPECT_TRUE(capture->Finish());
      EXPECT_GT(sink.bytes.size(), 0u);
    }
    return probe.seen;
  };
  const auto plain = calls(false);
  const auto captured = calls(true);
  EXPECT_EQ(captured, plain);
  const auto has = [&plain](const std::string& what) {
    return std::find(plain.begin(), plain.end(), what) != plain.end();
  };
  // The cases the comparison covers.
  EXPECT_TRUE(has("WinUsb_WritePipe ok 0"));
  EXPECT_TRUE(has("GetOverlappedResult ok 0"));
  EXPECT_TRUE(has("ReadFile failed " + std::to_string(ERROR_IO_PENDING)));
  EXPECT_TRUE(has("GetOverlappedResult failed " + std::to_string(ERROR_IO_INCOMPLETE)));
  EXPECT_TRUE(has("GetOverlappedResult failed " + std::to_string(ERROR_OPERATION_ABORTED)));
  EXPECT_TRUE(has("WinUsb_WritePipe failed " + std::to_string(ERROR_DEVICE_NOT_CONNECTED)));
}

// The file is written in large pieces, yet a run that dies (killed, crashed:
// its end never written) leaves in it its device events at once, a failed
// transfer at once, and the rest of its traffic but its last second.
TEST(CaptureRun, RunThatDiesLeavesWhatCameBeforeInTheFile) {
  sim::World world;
  world.SetUsbTiming(sim::UsbTiming{});
  auto bootloader = std::make_shared<sim::VirtualBootloader>();
  bootloader->Plug(world);
  MemoryCaptureSink sink;
  CaptureOptions options;
  options.clockUs = [&world] { return world.NowUs(); };
  CaptureOsApi capture(world, sink, options);
  struct Held {
    std::size_t notes = 0, opens = 0, removals = 0, frames = 0, failures = 0;
  };
  auto held = [&sink] {
    std::string error;
    const auto log = ParseCapture(sink.bytes.data(), sink.bytes.size(), &error);
    EXPECT_TRUE(log) << error;
    Held h;
    if (!log) return h;
    h.notes = log->Notes().size();
    h.opens = log->Notes("open").size();
    h.removals = log->Notes("removal").size();
    for (const auto* frame : log->Frames()) {
      ++h.frames;
      if (frame->header.status != kUsbdSuccess) ++h.failures;
    }
    return h;
  };

  std::u16string path;
  ASSERT_TRUE(FindIspDevice(capture, path));
  CKV8B05Comm link(capture);
  ASSERT_EQ(link.Open(path.c_str()), 0u);
  EXPECT_EQ(held().opens, 1u);
  EXPECT_EQ(held().notes, capture.Records());

  ASSERT_TRUE(link.EraseFlash());
  const std::uint32_t erased = capture.Records();
  EXPECT_EQ(held().frames, 0u) << "less than a second and 64 KiB of traffic waits";
  world.Advance(1000);
  ASSERT_TRUE(link.VerifyFlash());
  const Held later = held();
  EXPECT_GT(later.frames, 0u);
  EXPECT_EQ(later.notes + later.frames, erased) << "the erase's frames are written with the next transfer";

  world.Detach(sim::kDefaultBootloaderPath);
  EXPECT_FALSE(link.ExitIsp());
  const Held gone = held();
  EXPECT_EQ(gone.removals, 1u);
  EXPECT_EQ(gone.failures, 1u);
  EXPECT_EQ(gone.notes + gone.frames, capture.Records()) << "everything, up to the failure";
  ASSERT_TRUE(capture.Finish());
}

// The file is written outside the capture's lock: records made while another
// thread writes wait for nothing, and follow that write in the order they were
// made.
TEST(CaptureRun, RecordsMadeWhileTheFileIsWrittenFollowInOrder) {
  struct GatedSink : MemoryCaptureSink {
    bool Write(const std::uint8_t* data, std::size_t size) override {
      std::unique_lock<std::mutex> lock(mutex);
      ++writes;
      writing = true;
      changed.notify_all();
      changed.wait(lock, [this] { return open; });
      writing = false;
      return MemoryCaptureSink::Write(data, size);
    }
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    bool writing = false;
    int writes = 0;
  };
  sim::World world;
  GatedSink sink;
  CaptureOptions options;
  options.clockUs = [] { return std::uint64_t{0}; };
  CaptureOsApi capture(world, sink, options);

  std::thread first([&capture] { capture.Note("first", {}); });  // held in its write
  {
    std::unique_lock<std::mutex> lock(sink.mutex);
    EXPECT_TRUE(sink.changed.wait_for(lock, std::chrono::seconds(30), [&sink] { return sink.writing; }));
  }
  auto later = std::async(std::launch::async, [&capture] {
    capture.Note("second", {});
    capture.Note("third", {});
  });
  EXPECT_EQ(later.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "a record waited for the file";
  {
    std::lock_guard<std::mutex> lock(sink.mutex);
    sink.open = true;
    sink.changed.notify_all();
  }
  first.join();
  later.get();

  // Written before the capture ends: the first write, then the two records
  // that came during it.
  EXPECT_EQ(sink.writes, 2);
  std::string error;
  const auto log = ParseCapture(sink.bytes.data(), sink.bytes.size(), &error);
  ASSERT_TRUE(log) << error;
  std::vector<std::string> kinds;
  for (const auto* note : log->Notes()) kinds.push_back(note->kind);
  EXPECT_EQ(kinds, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_TRUE(capture.Finish());
}

}  // namespace
}  // namespace kv27::capture
