// The flash routine against the virtual bootloader: the waits on the virtual
// clock, each failure with its message and progress, and the handles left.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>

#include "protocol/isp_flash.h"
#include "tests/protocol/isp_fixture.h"

namespace kv27::test {
namespace {

const std::vector<int> kFullProgress = {50, 55, 60, 80, 85, 90, 95, 100};

class IspFlashTest : public IspTest {
 protected:
  std::vector<std::uint8_t> image = TestImage();
  std::vector<std::uint8_t> readBack = std::vector<std::uint8_t>(kIspFlashSize);
  std::vector<int> progress;

  IspFlashResult Run() {
    return RunIspFlash(world, link, image.data(), readBack.data(), [this](int p) { progress.push_back(p); });
  }

  // Every handle but the link's own (its file and its WinUSB interface) is closed.
  void ExpectOnlyTheLinkOpen() {
    auto handles = world.OpenHandles();
    if (link.deviceHandle == nullptr) {
      EXPECT_EQ(world.LeakReport(), "");
      return;
    }
    EXPECT_EQ(handles.size(), 2u) << world.LeakReport();
    for (const auto& h : handles) EXPECT_TRUE(h.handle == link.deviceHandle || h.handle == link.winUsbHandle);
    EXPECT_EQ(link.Close(), 0u);
    EXPECT_EQ(world.LeakReport(), "");
  }
};

TEST_F(IspFlashTest, FlashesAPresentBootloader) {
  boot->Plug(world);
  // The last five bytes are never programmed from data and never compared.
  std::fill(image.end() - 5, image.end(), 0x00);
  ASSERT_EQ(Run(), IspFlashResult::Success);
  EXPECT_EQ(std::u16string(IspFlashMessage(IspFlashResult::Success)), u"恭喜亲，在线升级成功！");
  EXPECT_EQ(progress, kFullProgress);

  auto flash = boot->Flash();
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + kIspReservedOffset, flash.begin()));
  EXPECT_TRUE(std::all_of(flash.begin() + kIspReservedOffset, flash.end(), [](auto b) { return b == 0xFF; }));
  EXPECT_EQ(boot->EraseCount(), 1u);
  EXPECT_EQ(boot->VerifyCount(), 1u);
  EXPECT_TRUE(boot->ReadProtected());
  EXPECT_EQ(boot->ExitCount(), 1u);
  EXPECT_FALSE(world.IsAttached(sim::kDefaultBootloaderPath));

  // 1 erase exchange, 256 write and 256 read exchanges of three transfers, 3 packets.
  EXPECT_EQ(boot->WireLog().size(), 2u + 3 * 256 + 3 * 256 + 3);
  // The link stays open after the run, by design.
  EXPECT_NE(link.deviceHandle, nullptr);
  ExpectOnlyTheLinkOpen();
}

TEST_F(IspFlashTest, WaitsForABootloaderThatAppearsLater) {
  boot->PlugAfter(world, 42'000);
  const auto start = world.Now();
  ASSERT_EQ(Run(), IspFlashResult::Success);
  EXPECT_GE(world.Now() - start, 42'000u);
  EXPECT_LT(world.Now() - start, 42'000u + 1'000);
  EXPECT_EQ(progress, kFullProgress);
  ExpectOnlyTheLinkOpen();
}

TEST_F(IspFlashTest, AbsentBootloaderEndsAfter6000SearchesInVirtualTime) {
  const auto realStart = std::chrono::steady_clock::now();
  const auto start = world.Now();
  ASSERT_EQ(Run(), IspFlashResult::NotFound);
  EXPECT_EQ(std::u16string(IspFlashMessage(IspFlashResult::NotFound)),
            u"升级设备驱动安装失败！请重新插拔设备，之后重新执行升级程序！");
  EXPECT_EQ(world.CallCount("SetupDiGetClassDevsW"), 6000u);
  EXPECT_EQ(world.Now() - start, 600'000u);
  EXPECT_TRUE(progress.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(20));
  ExpectOnlyTheLinkOpen();
}

TEST_F(IspFlashTest, OpenIsRetriedForFiveSecondsThenOnceMore) {
  struct Case {
    unsigned refusals;
    IspFlashResult result;
  };
  // Attempts at 0, 200, ..., 4800 ms (25) lie inside the window; the 26th is the
  // last one after it.
  const Case cases[] = {
      {0, IspFlashResult::Success},  {3, IspFlashResult::Success},     {24, IspFlashResult::Success},
      {25, IspFlashResult::Success}, {26, IspFlashResult::OpenFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refusals);
    World world;
    auto boot = std::make_shared<VirtualBootloader>();
    boot->Plug(world);
    boot->RefuseOpens(c.refusals);
    CKV8B05Comm link(world);
    std::vector<int> progress;
    auto image = TestImage();
    std::vector<std::uint8_t> back(kIspFlashSize);
    EXPECT_EQ(RunIspFlash(world, link, image.data(), back.data(), [&](int p) { progress.push_back(p); }), c.result);
    EXPECT_EQ(boot->OpenCount(), std::min(c.refusals + 1, 26u));
    if (c.result == IspFlashResult::OpenFailed) {
      EXPECT_EQ(progress, std::vector<int>{50});
      EXPECT_EQ(std::u16string(IspFlashMessage(c.result)), u"升级设备打开失败！");
      EXPECT_EQ(link.deviceHandle, nullptr);
    }
    link.Close();
    EXPECT_EQ(world.LeakReport(), "");
  }
}

TEST_F(IspFlashTest, OpenWindowSurvivesTheTickCountWrapping) {
  world.SetNow(0xFFFFFFFFull - 1000);  // the tick count wraps 1 s into the window
  boot->Plug(world);
  boot->RefuseOpens(1000);
  ASSERT_EQ(Run(), IspFlashResult::OpenFailed);
  EXPECT_EQ(boot->OpenCount(), 26u);
  ExpectOnlyTheLinkOpen();
}

TEST_F(IspFlashTest, EachFailureGivesItsMessageAndStopsTheProgress) {
  // Commands of a full run: erase (1), 256 writes (2..257), 256 reads
  // (258..513), verify (514), read protection (515), exit (516).
  struct Case {
    const char* name;
    std::function<void(VirtualBootloader&, World&)> inject;
    IspFlashResult result;
    const char16_t* message;
    int lastProgress;
  };
  const Case cases[] = {
      {"erase status", [](auto& b, auto&) { b.FailStatus(0x25, 0); }, IspFlashResult::EraseFailed, u"Flash擦除失败！",
       55},
      {"erase packet short", [](auto& b, auto&) { b.ShortCommandPacket(1); }, IspFlashResult::EraseFailed,
       u"Flash擦除失败！", 55},
      {"no bulk IN pipe",
       [](auto& b, auto&) {
         b.SetPipes({{UsbdPipeTypeInterrupt, 0x81, 8, 1}, {UsbdPipeTypeBulk, 0x02, 64, 0}});
       },
       IspFlashResult::EraseFailed, u"Flash擦除失败！", 55},
      {"write status at block 17", [](auto& b, auto&) { b.FailStatus(0x28, 17); }, IspFlashResult::WriteFailed,
       u"Flash写失败！", 60},
      {"leaves during the write", [](auto& b, auto&) { b.LeaveDuringWrite(100); }, IspFlashResult::WriteFailed,
       u"Flash写失败！", 60},
      {"read status at the last block", [](auto& b, auto&) { b.FailStatus(0x2A, 255); }, IspFlashResult::ReadFailed,
       u"Flash读失败！", 80},
      {"short block read", [](auto& b, auto&) { b.ShortBlockRead(40); }, IspFlashResult::ReadFailed, u"Flash读失败！",
       80},
      {"worn cell at 0x3FFA", [](auto& b, auto&) { b.StuckBits(0x3FFA, 0xFF); }, IspFlashResult::CompareFailed,
       u"Flash数据校验失败！", 85},
      {"verify packet short", [](auto& b, auto&) { b.ShortCommandPacket(514); }, IspFlashResult::VerifyFailed,
       u"Flash验证失败！", 90},
      {"read protection refused",
       [](auto&, auto& w) {
         w.InjectFault(sim::Fault{"WinUsb_WritePipe", ERROR_GEN_FAILURE, 1 + 512 + 256 + 1 + 1, 1});
       },
       IspFlashResult::ProtectFailed, u"Flash读保护失败！", 95},
      {"exit packet short", [](auto& b, auto&) { b.ShortCommandPacket(516); }, IspFlashResult::ExitFailed,
       u"退出ISP模式失败！", 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    World world;
    auto boot = std::make_shared<VirtualBootloader>();
    boot->Plug(world);
    c.inject(*boot, world);
    CKV8B05Comm link(world);
    std::vector<int> progress;
    auto image = TestImage();
    std::vector<std::uint8_t> back(kIspFlashSize);
    auto result = RunIspFlash(world, link, image.data(), back.data(), [&](int p) { progress.push_back(p); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(std::u16string(IspFlashMessage(result)), c.message);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), c.lastProgress);
    EXPECT_TRUE(std::equal(progress.begin(), progress.end(), kFullProgress.begin()));
    // Only the link stays open, and it is the link's own to release.
    EXPECT_NE(link.deviceHandle, nullptr);
    EXPECT_EQ(world.OpenHandles().size(), 2u) << world.LeakReport();
    EXPECT_EQ(link.Close(), 0u);
    EXPECT_EQ(world.LeakReport(), "");
  }
}

TEST_F(IspFlashTest, WornCellsInTheLastFiveBytesPassTheCompare) {
  boot->Plug(world);
  boot->StuckBits(0x3FFB, 0x01);
  boot->StuckBits(0x3FFF, 0xFF);
  ASSERT_EQ(Run(), IspFlashResult::Success);
  ExpectOnlyTheLinkOpen();
}

TEST_F(IspFlashTest, SlowEraseIsWaitedForInVirtualTime) {
  // Slow, but within the pipes' transfer time-out.
  boot->Plug(world);
  boot->SetEraseDelay(kIspPipeTimeoutMs - 1'000);
  const auto start = world.Now();
  ASSERT_EQ(Run(), IspFlashResult::Success);
  EXPECT_GE(world.Now() - start, kIspPipeTimeoutMs - 1'000u);
  ExpectOnlyTheLinkOpen();
}

TEST_F(IspFlashTest, BootloaderThatStopsAnsweringEndsTheStepWithItsMessage) {
  struct Case {
    const char* what;
    std::function<void(VirtualBootloader&)> fault;
    IspFlashResult result;
    const char16_t* message;
  };
  const Case cases[] = {
      {"erase never ends", [](VirtualBootloader& b) { b.SetEraseDelay(sim::kNeverMs); }, IspFlashResult::EraseFailed,
       u"Flash擦除失败！"},
      {"erase slower than the time-out", [](VirtualBootloader& b) { b.SetEraseDelay(kIspPipeTimeoutMs + 1); },
       IspFlashResult::EraseFailed, u"Flash擦除失败！"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    World world;
    auto boot = std::make_shared<VirtualBootloader>();
    CKV8B05Comm link(world);
    boot->Plug(world);
    c.fault(*boot);
    const auto start = world.Now();
    const IspFlashResult result = RunIspFlash(world, link, image.data(), readBack.data(), nullptr);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(std::u16string(IspFlashMessage(result)), c.message);
    // The status read gave up after the pipe's time-out, not at once and not
    // never.
    EXPECT_GE(world.Now() - start, kIspPipeTimeoutMs);
    EXPECT_LT(world.Now() - start, kIspPipeTimeoutMs + 1'000u);
    const auto log = boot->WireLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().error, ERROR_SEM_TIMEOUT);
    EXPECT_EQ(link.Close(), 0u);
    EXPECT_EQ(world.LeakReport(), "");
  }
}

TEST_F(IspFlashTest, ASecondRunReleasesTheLinkTheFirstLeftOpen) {
  // After exit ISP the mouse comes back; here it is asked into its bootloader again.
  boot->SetOnExit([this](const sim::BootloaderFlash&) { boot->PlugAfter(world, 3'000); });
  boot->Plug(world);
  ASSERT_EQ(Run(), IspFlashResult::Success);
  HANDLE first = link.deviceHandle;
  ASSERT_NE(first, nullptr);

  image = TestImage(9);
  progress.clear();
  const auto start = world.Now();
  ASSERT_EQ(Run(), IspFlashResult::Success);
  // Opened at the first attempt once the device was back, not after the window.
  EXPECT_LT(world.Now() - start, 3'000u + 200);
  EXPECT_EQ(progress, kFullProgress);
  auto flash = boot->Flash();
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + kIspReservedOffset, flash.begin()));
  EXPECT_EQ(boot->EraseCount(), 2u);
  boot->SetOnExit(nullptr);
  ExpectOnlyTheLinkOpen();
}

}  // namespace
}  // namespace kv27::test
