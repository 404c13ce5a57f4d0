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

// A capture made by hand: the section, the interface, and the program's
// records as the capture writes them ("KV27 <kind>", then key=value lines).
struct HandMade {
  Bytes bytes;
  PcapngWriter writer{bytes};
  HandMade() {
    writer.SectionHeader("kv27m-update");
    writer.InterfaceDescription(kLinkTypeUsbPcap, 65535, 6);
  }
  HandMade& Note(const std::string& kind, const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string text = kCustomMagic + kind + "\n";
    for (const auto& [key, value] : fields) text += key + "=" + value + "\n";
    writer.CustomBlock(kCustomBlockPen, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return *this;
  }
};

// A fixture without its last block (the end record): a run killed at its end.
Bytes WithoutEnd(Bytes capture) {
  std::size_t last = 0;
  for (std::size_t at = 0; at + 12 <= capture.size();) {
    last = at;
    at += capture[at + 4] | capture[at + 5] << 8 | capture[at + 6] << 16 | capture[at + 7] << 24;
  }
  capture.resize(last);
  return capture;
}

// The ok fixture cut just after the write of flash block 100 (the run killed
// during the flash; its end record lost with the rest).
Bytes KilledDuringTheFlash() {
  const Bytes ok = Fixture("ok.pcapng");
  int bulkOut = 0;
  for (const auto& f : FramesOf(ok)) {
    if (f.header.transfer == kTransferBulk && !f.header.in() && !f.header.completion() && ++bulkOut == 1 + 2 * 100)
      return Bytes(ok.begin(),
                   ok.begin() + static_cast<std::ptrdiff_t>(f.dataOffset - (f.header.stage ? 28 : 27) - 28));
  }
  return {};
}

// Frame `index` of the ok fixture's HID output report completions, its time
// moved 2^56 microseconds (over two thousand years) into the future.
Bytes FarFutureAnswer(std::size_t index) {
  Bytes ok = Fixture("ok.pcapng");
  std::size_t seen = 0;
  for (const auto& f : FramesOf(ok)) {
    if (f.header.transfer == kTransferInterrupt && !f.header.in() && f.header.completion() && seen++ == index) {
      const std::size_t block = f.dataOffset - (f.header.stage ? 28 : 27) - 28;
      ok[block + 15] = 0x01;  // the top byte of the timestamp's high word
      break;
    }
  }
  return ok;
}

Bytes ManyPlaces(int places) {
  HandMade capture;
  capture.Note("run", {{"program", "kv27m-update"}, {"image", "fw.bimg"}, {"simulated", "no"}, {"time", "1"}});
  for (int port = 1; port <= places; ++port)
    capture.Note("arrival", {{"life", std::to_string(port)},
                             {"kind", "hid"},
                             {"address", std::to_string(port)},
                             {"hub", "\\\\?\\usb#root_hub#1"},
                             {"port", std::to_string(port)},
                             {"time", std::to_string(port)}});
  return capture.bytes;
}

// Hand-made files a user may hand to --replay, one fault each: every one is
// answered with the exit status and the words that say what it is, at once.
TEST(Replay, HandMadeCapturesAreAnsweredHonestly) {
  struct Case {
    const char* name;
    Bytes capture;
    std::vector<std::u16string> extra;
    int status;
    const char16_t* says;
  };
  const Case cases[] = {
      {"more than 255 places on the bus",
       ManyPlaces(256),
       {},
       kUpdateCaptureFailed,
       u"is not a capture that can be replayed: the capture holds 256 places on the bus; a replay has 255"},
      {"255 places", ManyPlaces(255), {}, kUpdateReplayIncomplete, u"the outcome cannot be compared"},
      {"only the section and interface",
       HandMade().bytes,
       {},
       kUpdateReplayIncomplete,
       u"the capture has no end record (the captured run was stopped, or its file cut); this run ended with exit 11"},
      {"a whole run without its end record",
       WithoutEnd(Fixture("ok.pcapng")),
       {},
       kUpdateReplayIncomplete,
       u"replay: the 1990 requests the run made matched the capture, but the capture has no end record"},
      {"a run killed during the flash",
       KilledDuringTheFlash(),
       {},
       kUpdateReplayIncomplete,
       u"this run went on past its end with bulk OUT transfer on endpoint 0x02"},
      {"a classic pcap file",
       Bytes{0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 249, 0, 0, 0},
       {},
       kUpdateCaptureFailed,
       u"this is a classic pcap file, not pcapng; convert it with Wireshark's editcap"},
      {"an answer far in the future",
       FarFutureAnswer(300),
       {},
       kUpdateOk,
       u"the run ended as the captured one did (exit 0)"},
      {"--list with --replay",
       Fixture("ok.pcapng"),
       {u"--list"},
       kUpdateUsage,
       u"--list looks at the real USB bus, not at a capture; it takes no --replay"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.capture.empty());
    Replayed run;
    const std::uint64_t start = run.world.NowUs();
    ReplayUpdate(run, c.capture, c.extra);
    EXPECT_EQ(run.status, c.status) << sim::ToUtf8(run.Err());
    std::u16string all = run.Err();
    for (const auto& line : run.out) all += line + u"\n";
    EXPECT_NE(all.find(c.says), std::u16string::npos) << sim::ToUtf8(all);
    // No captured time costs more than its cap: a whole upgrade in minutes
    // of virtual time, however far the capture's times run.
    EXPECT_LT(run.world.NowUs() - start, 30ull * 60 * 1000 * 1000);
    EXPECT_EQ(run.world.LeakReport(), "");
  }

  // kv27m-isp answers the same files with its own statuses.
  struct IspCase {
    const char* name;
    Bytes capture;
    int status;
    const char16_t* says;
  };
  const IspCase ispCases[] = {
      {"more than 255 places on the bus", ManyPlaces(300), kIspToolCaptureFailed, u"300 places on the bus"},
      {"only the section and interface", HandMade().bytes, kIspToolReplayIncomplete, u"the outcome cannot be compared"},
      {"a classic pcap file", Bytes{0x4D, 0x3C, 0xB2, 0xA1, 2, 0, 4, 0}, kIspToolCaptureFailed,
       u"classic pcap file, not pcapng"},
  };
  for (const auto& c : ispCases) {
    SCOPED_TRACE(c.name);
    sim::World world;
    world.SetHostFiles(false);
    world.AddFile(kReplayPath, c.capture);
    world.AddFile(u"fw.bimg", SampleImageBytes());
    std::u16string all;
    IspToolIo io;
    io.out = [&all](const std::u16string& line) { all += line + u"\n"; };
    io.err = io.out;
    io.world = &world;
    EXPECT_EQ(RunIspTool({u"--replay", kReplayPath, u"fw.bimg"}, io), c.status) << sim::ToUtf8(all);
    EXPECT_NE(all.find(c.says), std::u16string::npos) << sim::ToUtf8(all);
    EXPECT_EQ(world.LeakReport(), "");
  }
}

// A dry run's capture says so, and replays as a dry run without being told.
TEST(Replay, ADryRunReplaysAsADryRun) {
  CapturedUpdate captured("ok", {u"--dry-run"});
  ASSERT_EQ(captured.status, kUpdateOk);
  ASSERT_TRUE(captured.log) << captured.error;
  ASSERT_FALSE(captured.log->Notes("run").empty());
  EXPECT_EQ(captured.log->Notes("run")[0]->Field("mode"), "dry-run");
  Replayed run;
  ReplayUpdate(run, captured.bytes);
  EXPECT_EQ(run.status, kUpdateOk) << sim::ToUtf8(run.Err());
  EXPECT_NE(std::find(run.out.begin(), run.out.end(), u"the captured run was a dry run (--dry-run): replayed as one"),
            run.out.end());
  EXPECT_EQ(run.world.LeakReport(), "");
}

// The capture file is read a piece at a time, and one over the limit is
// refused by its size.
TEST(Replay, CaptureFilesAreReadAsAStreamWithinTheirLimit) {
  sim::World world;
  world.SetHostFiles(false);
  const Bytes ok = Fixture("ok.pcapng");
  world.AddFile(kReplayPath, ok);
  std::string why;
  w32::DWORD error = 0;
  const auto log = ReadCaptureFile(world, kReplayPath, kCaptureFileLimit, &why, &error);
  ASSERT_TRUE(log) << why;
  const auto whole = ParseCapture(ok.data(), ok.size(), nullptr);
  ASSERT_TRUE(whole);
  EXPECT_EQ(log->records.size(), whole->records.size());
  EXPECT_EQ(log->records.size(), 4898u);  // every block but the section header and the interface
  EXPECT_FALSE(ReadCaptureFile(world, kReplayPath, 256 * 1024, &why, &error));
  EXPECT_EQ(error, kErrorFileTooLarge);
  EXPECT_EQ(why, "the file is larger than 256 KiB");
  EXPECT_EQ(world.LeakReport(), "");
}

}  // namespace
}  // namespace kv27::capture
