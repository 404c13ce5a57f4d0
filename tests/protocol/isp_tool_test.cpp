// kv27m-isp in-process: the image checks, the flash, the lines it prints and
// its exit status.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "image/image.h"
#include "image/image_file.h"
#include "sim/bootloader.h"
#include "tools/kv27m-isp/isp_tool.h"
#include "tools/samplefw/samplefw.h"

namespace kv27::test {
namespace {

// A .bimg of the sample firmware with the given type.
std::vector<std::uint8_t> SampleImage(std::uint8_t type) {
  auto plain = MakeSampleFirmware();
  ImageForceDataCrc(plain.data(), static_cast<std::uint16_t>(kUpgradeDataCrc));
  ImageFields fields;
  fields.type = type;
  std::memcpy(fields.name.data(), "KV27-N4", 7);
  std::vector<std::uint8_t> file(kImageHeaderSize + kImagePayloadSize);
  EXPECT_EQ(ImageEncode(fields, plain.data(), file.data(), file.data() + kImageHeaderSize), 0);
  return file;
}

struct Run {
  int status = -1;
  std::vector<std::u16string> out, err;
};

Run RunTool(std::vector<std::u16string> args, std::vector<std::uint8_t> image = {},
            std::function<void(sim::VirtualBootloader&)> fault = nullptr) {
  Run run;
  IspToolIo io;
  io.out = [&run](const std::u16string& line) { run.out.push_back(line); };
  io.err = [&run](const std::u16string& line) { run.err.push_back(line); };
  io.prepareWorld = [&](sim::World& world) {
    world.SetHostFiles(false);
    world.AddFile(u"fw.bimg", image);
    if (fault) fault(*std::static_pointer_cast<sim::VirtualBootloader>(world.DeviceAt(sim::kDefaultBootloaderPath)));
  };
  run.status = RunIspTool(args, io);
  return run;
}

TEST(IspTool, SimulatedRunFlashesAndCongratulates) {
  auto run = RunTool({u"--simulate", u"fw.bimg"}, SampleImage(1));
  EXPECT_EQ(run.status, kIspToolOk);
  // Plain lines (no terminal): the wait with its time left, then each step.
  const std::vector<std::u16string> expected = {u"  0%  waiting for the bootloader, 600 s left",
                                                u" 50%  opening the bootloader",
                                                u" 50%  opening the bootloader, 5 s left",
                                                u" 55%  erasing",
                                                u" 60%  writing",
                                                u" 80%  reading back",
                                                u" 85%  comparing",
                                                u" 90%  verifying",
                                                u" 95%  setting read protection",
                                                u"100%  leaving ISP mode",
                                                u"恭喜亲，在线升级成功！",
                                                u"(simulated bootloader: flashed, read-protected, left ISP mode)"};
  EXPECT_EQ(run.out, expected);
  EXPECT_TRUE(run.err.empty());
}

// --verbose traces every bulk transfer of the flash between the progress
// lines, and the run ends as without it.
TEST(IspTool, VerboseTracesTheBulkTransfers) {
  auto plain = RunTool({u"--simulate", u"fw.bimg"}, SampleImage(1));
  auto traced = RunTool({u"--simulate", u"--verbose", u"fw.bimg"}, SampleImage(1));
  EXPECT_EQ(traced.status, kIspToolOk);
  std::size_t writes = 0;
  for (const auto& line : traced.out) writes += line.find(u"bulk out") != std::u16string::npos;
  EXPECT_GE(writes, 256u);  // one per 64-byte block at least
  EXPECT_EQ(traced.out.back(), plain.out.back());
}

TEST(IspTool, FailuresPrintTheirMessageAndExit1) {
  auto badType = RunTool({u"fw.bimg", u"--simulate"}, SampleImage(2));
  EXPECT_EQ(badType.status, kIspToolFailed);
  EXPECT_EQ(badType.out, std::vector<std::u16string>{u"不是KV27镜像文件！"});

  auto erase = RunTool({u"--simulate", u"fw.bimg"}, SampleImage(1),
                       [](sim::VirtualBootloader& boot) { boot.FailStatus(0x25, 0); });
  EXPECT_EQ(erase.status, kIspToolFailed);
  ASSERT_FALSE(erase.out.empty());
  EXPECT_EQ(erase.out.back(), u"Flash擦除失败！");
}

// Each usage error names its problem on the first line, then the usage.
TEST(IspTool, UsageErrorsExit2AndNameTheProblem) {
  struct Case {
    std::vector<std::u16string> args;
    const char16_t* problem;
  };
  const Case cases[] = {
      {{}, u"kv27m-isp: which IMAGE? (a .bimg file)"},
      {{u"--simulate"}, u"kv27m-isp: which IMAGE? (a .bimg file)"},
      {{u"--simulate", u"a.bimg", u"b.bimg"}, u"kv27m-isp: only one IMAGE, please"},
      {{u"--bogus", u"a.bimg"}, u"kv27m-isp: unknown option --bogus"},
      {{u"--list", u"--simulate"}, u"kv27m-isp: --list looks at the real USB bus, not a simulated one"},
      {{u"--list", u"--replay", u"run.pcapng"},
       u"kv27m-isp: --list looks at the real USB bus, not at a capture; it takes no --replay"},
      {{u"--replay", u"run.pcapng", u"--simulate"},
       u"kv27m-isp: --replay runs on the capture's bootloader; it takes no --simulate"},
      {{u"--simulate", u"a.bimg", u"--user-data"}, u"kv27m-isp: --user-data needs a BACKUP file"},
      {{u"--simulate", u"a.bimg", u"--capture="}, u"kv27m-isp: --capture needs a FILE"},
      {{u"--replay"}, u"kv27m-isp: --replay needs a FILE"},
      {{u"--lang=fr", u"a.bimg"}, u"kv27m-isp: --lang takes zh or en, not 'fr'"},
  };
  for (const auto& c : cases) {
    auto run = RunTool(c.args);
    EXPECT_EQ(run.status, kIspToolUsage);
    EXPECT_TRUE(run.out.empty());
    ASSERT_EQ(run.err.size(), 2u);
    EXPECT_EQ(run.err[0], c.problem);
    EXPECT_EQ(run.err[1].rfind(u"usage: kv27m-isp", 0), 0u);
  }
#if !defined(_WIN32)
  // No real USB here: the tool says so instead of searching.
  auto real = RunTool({u"fw.bimg"});
  EXPECT_EQ(real.status, kIspToolUsage);
  ASSERT_EQ(real.err.size(), 1u);
  EXPECT_NE(real.err[0].find(u"--simulate"), std::u16string::npos);
#endif
}

}  // namespace
}  // namespace kv27::test
