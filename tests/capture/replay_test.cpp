// --replay: captures made by the programs (the fixtures beside this file, and
// fresh captures of every scenario) replayed against the current code. A run
// that makes the captured requests ends as the captured run did; a capture
// with one byte changed shows the divergence, with its frame and both sides.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/simulation.h"
#include "capture/capture_log.h"
#include "capture/pcapng.h"
#include "sim/bootloader.h"
#include "sim/usb_timing.h"
#include "tests/capture/capture_checks.h"
#include "tools/kv27m-isp/isp_tool.h"
#include "tools/kv27m-update/update_tool.h"

namespace kv27::capture {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr char16_t kReplayPath[] = u"C:\\captures\\replay.pcapng";

Bytes Fixture(const std::string& name) {
  std::ifstream in(std::string(KV_SOURCE_DIR) + "/tests/capture/fixtures/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Replayed {
  sim::World world;
  std::vector<std::u16string> out, err;
  int status = -1;
  std::u16string Err() const {
    std::u16string all;
    for (const auto& line : err) all += line + u"\n";
    return all;
  }
};

// kv27m-update --replay on a world whose only files are in memory.
void ReplayUpdate(Replayed& run, const Bytes& capture, std::vector<std::u16string> extra = {}) {
  UpdateToolIo io;
  io.out = [&run](const std::u16string& line) { run.out.push_back(line); };
  io.err = [&run](const std::u16string& line) { run.err.push_back(line); };
  io.backupFolder = [] { return std::u16string(u"C:\\backups"); };
  io.timeStamp = [] { return std::u16string(u"1"); };
  io.world = &run.world;
  io.prepareWorld = [&capture](sim::World& w) {
    w.SetHostFiles(false);
    w.AddFile(kReplayPath, capture);
  };
  std::vector<std::u16string> args = {u"--replay", kReplayPath};
  args.insert(args.end(), extra.begin(), extra.end());
  run.status = RunUpdateTool(args, io);
}

// The frames of a capture file, with where each frame's data starts.
struct FrameAt {
  std::size_t dataOffset;  // of the frame's data after the USBPcap header
  UsbPcapHeader header;
  std::uint32_t number;
};
std::vector<FrameAt> FramesOf(const Bytes& file) {
  std::vector<FrameAt> frames;
  std::uint32_t number = 0;
  for (std::size_t at = 0; at + 12 <= file.size();) {
    const std::uint32_t type = file[at] | file[at + 1] << 8 | file[at + 2] << 16 | file[at + 3] << 24;
    const std::uint32_t length = file[at + 4] | file[at + 5] << 8 | file[at + 6] << 16 | file[at + 7] << 24;
    if (type == kBlockEnhancedPacket || type == kBlockCustom) ++number;
    if (type == kBlockEnhancedPacket) {
      std::size_t headerSize = 0;
      auto header = ParseUsbPcapHeader(file.data() + at + 28, length - 32, &headerSize);
      if (header) frames.push_back({at + 28 + headerSize, *header, number});
    }
    at += length;
  }
  return frames;
}

struct FixtureCase {
  const char* file;
  UpgradeStatus status;
};

TEST(Replay, FixturesEndAsTheirCapturedRuns) {
  const FixtureCase cases[] = {
      {"ok.pcapng", UpgradeStatus::Success},
      {"erase-fails.pcapng", UpgradeStatus::EraseFailed},
      {"unplug-during-read.pcapng", UpgradeStatus::UserDataFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const Bytes capture = Fixture(c.file);
    ASSERT_FALSE(capture.empty()) << "missing fixture";
    Replayed run;
    ReplayUpdate(run, capture);
    EXPECT_EQ(run.status, UpdateExitCode(c.status)) << sim::ToUtf8(run.Err());
    const std::u16string message = std::u16string(UpgradeMessage(c.status)) + u"  (" + UpgradeGloss(c.status) + u")";
    const auto& lines = c.status == UpgradeStatus::Success ? run.out : run.err;
    EXPECT_NE(std::find(lines.begin(), lines.end(), message), lines.end());
    ASSERT_FALSE(run.out.empty());
    EXPECT_NE(run.out.back().find(u"requests matched the capture; the run ended as the captured one did"),
              std::u16string::npos)
        << sim::ToUtf8(run.out.back());
    EXPECT_EQ(run.world.LeakReport(), "");
  }
}

// A capture with one byte changed: the run stops at the first request that no
// longer matches, and the report names its frame and shows both sides.
TEST(Replay, OneChangedByteShowsTheDivergence) {
  const Bytes ok = Fixture("ok.pcapng");
  ASSERT_FALSE(ok.empty());
  const auto frames = FramesOf(ok);
  std::vector<const FrameAt*> hidOut, hidIn, bulkOut, bulkInDone;
  for (const auto& f : frames) {
    const auto& h = f.header;
    if (h.transfer == kTransferInterrupt && !h.in() && !h.completion()) hidOut.push_back(&f);
    if (h.transfer == kTransferInterrupt && h.in() && h.completion() && h.dataLength == 8) hidIn.push_back(&f);
    if (h.transfer == kTransferBulk && !h.in() && !h.completion()) bulkOut.push_back(&f);
    if (h.transfer == kTransferBulk && h.in() && h.completion()) bulkInDone.push_back(&f);
  }
  ASSERT_EQ(hidOut.size(), 448u);
  ASSERT_EQ(hidIn.size(), 448u);

  // A settings byte of a reply (page 1, offset 0x24): the program asks as
  // before but flashes another byte at 0x3924, in the block at 0x3900 (the
  // write command and data of block 228).
  {
    Bytes capture = ok;
    capture[hidIn[64 + 9]->dataOffset + 4] ^= 0xFF;
    Replayed run;
    ReplayUpdate(run, capture);
    EXPECT_EQ(run.status, kUpdateReplayDiverged);
    const std::string err = sim::ToUtf8(run.Err());
    const std::uint32_t frame = bulkOut[1 + 2 * 228 + 1]->number;
    EXPECT_NE(err.find("replay diverged: bulk OUT transfer on endpoint 0x02"), std::string::npos) << err;
    EXPECT_NE(err.find("capture frame " + std::to_string(frame) + ": "), std::string::npos) << err;
    EXPECT_NE(err.find("first difference at byte 36"), std::string::npos) << err;
  }
  // A request of the capture: the program's own request no longer matches it.
  {
    Bytes capture = ok;
    capture[hidOut[5]->dataOffset + 2] ^= 0x01;
    Replayed run;
    ReplayUpdate(run, capture);
    EXPECT_EQ(run.status, kUpdateReplayDiverged);
    const std::string err = sim::ToUtf8(run.Err());
    EXPECT_NE(err.find("HID output report on endpoint 0x02 of device"), std::string::npos) << err;
    EXPECT_NE(err.find("capture frame " + std::to_string(hidOut[5]->number) + ": B4 02 15 04 00 00 00 00"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("program: B4 02 14 04 00 00 00 00"), std::string::npos) << err;
  }
  // The erase's status byte: the program stops there and never makes the
  // requests the capture goes on with.
  {
    Bytes capture = ok;
    capture[bulkInDone[0]->dataOffset] = 0x01;
    Replayed run;
    ReplayUpdate(run, capture);
    EXPECT_EQ(run.status, kUpdateReplayDiverged);
    const std::string err = sim::ToUtf8(run.Err());
    EXPECT_NE(err.find("capture frame " + std::to_string(bulkOut[1]->number) + ": 28 00 00 00 00 00 00 00 40 00"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("program: nothing: the run ended before it"), std::string::npos) << err;
  }
}

// Every scenario, captured now and replayed at once, ends as it did.
TEST(Replay, EveryScenarioReplaysItsOwnCapture) {
  for (const auto& scenario : Scenarios()) {
    SCOPED_TRACE(scenario.name);
    CapturedUpdate captured(scenario.name);
    ASSERT_TRUE(captured.log) << captured.error;
    Replayed run;
    ReplayUpdate(run, captured.bytes);
    EXPECT_EQ(run.status, captured.status) << sim::ToUtf8(run.Err());
    EXPECT_EQ(run.world.LeakReport(), "");
  }
}

// A capture taken on the bus model carries the bus's times; the replay
// answers after them, so that the replayed run takes as long in virtual time.
TEST(Replay, TimesOfACaptureOnTheBusModelAreKept) {
  CapturedUpdate captured("ok", {}, [](sim::World& world) { world.SetUsbTiming(sim::UsbTiming{}); });
  ASSERT_EQ(captured.status, kUpdateOk);
  ASSERT_TRUE(captured.log) << captured.error;
  const std::uint64_t capturedUs =
      captured.log->Notes("end").at(0)->TimeUs() - captured.log->Notes("run").at(0)->TimeUs();
  EXPECT_GT(capturedUs, 1500u * 1000);  // the re-enumeration, the erase, 1541 bulk transfers, 448 exchanges

  Replayed run;
  ReplayUpdate(run, captured.bytes, {u"--capture", u"C:\\captures\\again.pcapng"});
  ASSERT_EQ(run.status, kUpdateOk) << sim::ToUtf8(run.Err());
  const auto again = run.world.FileBytes(u"C:\\captures\\again.pcapng");
  ASSERT_TRUE(again);
  auto log = ParseCapture(again->data(), again->size(), nullptr);
  ASSERT_TRUE(log);
  const std::uint64_t replayedUs = log->Notes("end").at(0)->TimeUs() - log->Notes("run").at(0)->TimeUs();
  // Within 2 % (the replay delivers on whole milliseconds).
  EXPECT_NEAR(static_cast<double>(replayedUs), static_cast<double>(capturedUs), capturedUs * 0.02);
}

TEST(Replay, IspToolReplaysItsCapture) {
  sim::World world;
  auto bootloader = std::make_shared<sim::VirtualBootloader>();
  bootloader->Plug(world);
  world.SetHostFiles(false);
  world.AddDirectory(u"C:\\captures");
  world.AddFile(u"fw.bimg", SampleImageBytes());
  std::vector<std::u16string> lines;
  IspToolIo io;
  io.out = [&lines](const std::u16string& line) { lines.push_back(line); };
  io.err = [&lines](const std::u16string& line) { lines.push_back(line); };
  io.world = &world;
  ASSERT_EQ(RunIspTool({u"--simulate", u"--capture", kReplayPath, u"fw.bimg"}, io), kIspToolOk);
  const auto bytes = world.FileBytes(kReplayPath);
  ASSERT_TRUE(bytes);

  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "a changed status byte" : "as captured");
    Bytes capture = *bytes;
    if (damaged) {
      for (const auto& f : FramesOf(capture)) {
        if (f.header.transfer == kTransferBulk && f.header.in() && f.header.completion() && f.header.dataLength == 1) {
          capture[f.dataOffset] = 0x01;  // the erase's status
          break;
        }
      }
    }
    sim::World replayWorld;
    replayWorld.SetHostFiles(false);
    replayWorld.AddFile(kReplayPath, capture);
    replayWorld.AddFile(u"fw.bimg", SampleImageBytes());
    lines.clear();
    io.world = &replayWorld;
    EXPECT_EQ(RunIspTool({u"--replay", kReplayPath, u"fw.bimg"}, io), damaged ? kIspToolReplayDiverged : kIspToolOk);
    EXPECT_EQ(replayWorld.LeakReport(), "");
  }
}

TEST(Replay, UnreadableCapturesAreRefused) {
  Replayed missing;
  UpdateToolIo io;
  io.err = [&missing](const std::u16string& line) { missing.err.push_back(line); };
  io.out = [](const std::u16string&) {};
  io.world = &missing.world;
  io.prepareWorld = [](sim::World& w) { w.SetHostFiles(false); };
  EXPECT_EQ(RunUpdateTool({u"--replay", u"C:\\none.pcapng"}, io), kUpdateCaptureFailed);
  EXPECT_NE(missing.Err().find(u"cannot read the capture C:\\none.pcapng (error 2)"), std::u16string::npos);

  Replayed garbage;
  ReplayUpdate(garbage, Bytes(100, 0x55));
  EXPECT_EQ(garbage.status, kUpdateCaptureFailed);
  EXPECT_NE(garbage.Err().find(u"is not a capture that can be replayed"), std::u16string::npos);

  Replayed both;
  ReplayUpdate(both, Fixture("ok.pcapng"), {u"--simulate"});
  EXPECT_EQ(both.status, kUpdateUsage);
}

}  // namespace
}  // namespace kv27::capture
