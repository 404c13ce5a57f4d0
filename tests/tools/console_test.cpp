// The console display and platform layer: the status line on a terminal and
// the plain lines elsewhere, Ctrl+C, and the upgrader itself on a
// pseudo-terminal and on a pipe.
#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/simulation.h"
#include "tools/console/allocation_guard.h"
#include "tools/console/console_platform.h"
#include "tools/console/progress_display.h"
#include "tools/kv27m-isp/isp_tool.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#endif

namespace kv27::console {
namespace {

TEST(ProgressDisplay, TerminalRedrawsOneLineInPlace) {
  std::u16string screen;
  std::vector<std::u16string> lines;
  ProgressDisplay display([&](const std::u16string& l) { lines.push_back(l); },
                          [&](const std::u16string& t) { screen += t; });
  display.SetStep(20, u"waiting for the bootloader, 600 s left");
  EXPECT_EQ(screen, u"\r[######------------------------]  20%  waiting for the bootloader, 600 s left");
  // The same text again draws nothing; a new second does.
  screen.clear();
  display.SetWait(u"waiting for the bootloader", 0, 600'000);
  EXPECT_EQ(screen, u"");
  display.SetWait(u"waiting for the bootloader", 100, 600'000);
  EXPECT_EQ(screen, u"");
  display.SetWait(u"waiting for the bootloader", 1'000, 600'000);
  EXPECT_EQ(screen, u"\r[######------------------------]  20%  waiting for the bootloader, 599 s left");
  // A shorter text blanks the rest of the old one.
  screen.clear();
  display.SetStep(55, u"erasing");
  const std::u16string erasing = u"[################--------------]  55%  erasing";
  EXPECT_EQ(screen.substr(0, erasing.size() + 1), u"\r" + erasing);
  EXPECT_EQ(
      screen.size(),
      1 + std::u16string(u"[######------------------------]  20%  waiting for the bootloader, 599 s left").size());
  // A whole line goes above the status line, which is drawn again.
  screen.clear();
  display.Line(u"note");
  EXPECT_NE(screen.find(u"note\n\r" + erasing), std::u16string::npos);
  display.Finish();
  EXPECT_EQ(screen.back(), u'\n');
  EXPECT_TRUE(lines.empty());
}

// A failed allocation below a program's top ends it with its own status and
// a line that says so; anything else passes through untouched.
TEST(AllocationGuard, OutOfMemoryEndsTheProgramWithItsStatusAndAMessage) {
  std::vector<std::u16string> lines;
  auto err = [&lines](const std::u16string& line) { lines.push_back(line); };
  EXPECT_EQ(RunGuardingAllocation(u"kv27m-update", 13, err, []() -> int { throw std::bad_alloc(); }), 13);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind(u"kv27m-update: out of memory: the program stopped", 0), 0u);
  lines.clear();
  EXPECT_EQ(RunGuardingAllocation(u"bimgtool", 1, err, [] { return 0; }), 0);
  EXPECT_THROW(RunGuardingAllocation(u"bimgtool", 1, err, []() -> int { throw std::runtime_error("x"); }),
               std::runtime_error);
  EXPECT_TRUE(lines.empty());
}

TEST(ProgressDisplay, PlainLinesOnePerStepAndEveryHalfMinuteOfAWait) {
  std::vector<std::u16string> lines;
  ProgressDisplay display([&](const std::u16string& l) { lines.push_back(l); }, nullptr);
  display.SetPercent(0);
  display.SetActivity(u"checking the image");
  display.SetPercent(10);
  for (std::uint32_t ms = 0; ms < 600'000; ms += 100) display.SetWait(u"waiting for the bootloader", ms, 600'000);
  display.SetStep(50, u"opening the bootloader");
  ASSERT_EQ(lines.size(), 1u + 20u + 1u);
  EXPECT_EQ(lines[0], u"  0%  checking the image");
  EXPECT_EQ(lines[1], u" 10%  waiting for the bootloader, 600 s left");
  EXPECT_EQ(lines[2], u" 10%  waiting for the bootloader, 570 s left");
  EXPECT_EQ(lines[20], u" 10%  waiting for the bootloader, 30 s left");
  EXPECT_EQ(lines[21], u" 50%  opening the bootloader");
  for (const auto& line : lines) EXPECT_EQ(line.find(u'\r'), std::u16string::npos);
}

#if !defined(_WIN32)
// SIGINT sets the flag instead of ending the process, and kv27m-isp then ends
// its wait with its own status.
TEST(CtrlC, SigintEndsTheIspToolsWait) {
  InstallInterruptHandler();
  ASSERT_EQ(std::raise(SIGINT), 0);
  EXPECT_TRUE(InterruptRequested());

  sim::World world;  // no bootloader on the bus: the wait would last 600 s
  world.SetHostFiles(false);
  world.AddFile(u"fw.bimg", SampleImageBytes());
  std::vector<std::u16string> out, err;
  IspToolIo io;
  io.out = [&](const std::u16string& line) { out.push_back(line); };
  io.err = [&](const std::u16string& line) { err.push_back(line); };
  io.interrupted = [] { return InterruptRequested(); };
  io.world = &world;
  const std::uint64_t start = world.Now();
  EXPECT_EQ(RunIspTool({u"--simulate", u"fw.bimg"}, io), kIspToolCancelled);
  EXPECT_EQ(world.Now(), start);
  ASSERT_EQ(err.size(), 1u);
  EXPECT_NE(err[0].find(u"Ctrl+C"), std::u16string::npos);
}

struct Output {
  std::string text;
  int status = -1;
};

// The environment of a run: each variable set to a value, or unset (nullopt).
using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;
// A Simplified Chinese locale, whatever the test's own environment says.
const Environment kChineseLocale = {{"LC_ALL", std::nullopt}, {"LC_MESSAGES", std::nullopt}, {"LANG", "zh_CN.UTF-8"}};

Output RunProgram(const std::string& program, bool terminal, const std::vector<std::string>& args,
                  const Environment& environment) {
  std::vector<char*> argv;
  std::string exe = program;
  argv.push_back(exe.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fd = -1;
  pid_t pid;
  if (terminal) {
    struct winsize size {};
    size.ws_row = 24;
    size.ws_col = 100;
    pid = forkpty(&fd, nullptr, nullptr, &size);
  } else {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    pid = fork();
    if (pid == 0) {
      dup2(pipeFds[1], STDOUT_FILENO);
      dup2(pipeFds[1], STDERR_FILENO);
      close(pipeFds[0]);
      close(pipeFds[1]);
    } else {
      close(pipeFds[1]);
      fd = pipeFds[0];
    }
  }
  if (pid == 0) {
    for (const auto& [name, value] : environment) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  Output output;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      output.text.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // EOF, or EIO once the terminal's last writer has gone
  }
  close(fd);
  int status = 0;
  waitpid(pid, &status, 0);
  output.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

Output RunProgram(bool terminal, const std::vector<std::string>& args) {
  return RunProgram(KV_UPDATE_EXE, terminal, args, kChineseLocale);
}

class ProgramOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("kv27m-console-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Backup(const char* name) { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

// On a terminal: the bar redrawn in place, the countdown of the wait, then
// the dialog's message on a line of its own (in a Chinese locale: the
// program's own text with its English gloss).
TEST_F(ProgramOutput, TerminalShowsTheBarAndTheCountdown) {
  const Output run = RunProgram(
      true, {"--simulate=slow-open", "--backup", Backup("a.kv27ud"), KV_SOURCE_DIR "/res/KV27M_FW_UPGRADE.bimg"});
  EXPECT_EQ(run.status, 0) << run.text;
  EXPECT_NE(run.text.find("\r[######------------------------]  20%  waiting for the bootloader, 600 s left"),
            std::string::npos)
      << run.text;
  EXPECT_NE(run.text.find("opening the bootloader, 5 s left"), std::string::npos);
  EXPECT_NE(run.text.find("\r[##############################] 100%  leaving ISP mode"), std::string::npos);
  EXPECT_NE(run.text.find("\n恭喜亲，在线升级成功！  (the upgrade succeeded)"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(Backup("a.kv27ud")));
}

// Elsewhere: plain lines only, no carriage returns.
TEST_F(ProgramOutput, PipeGetsPlainLines) {
  const Output run = RunProgram(false, {"--simulate=no-bootloader", "--backup", Backup("b.kv27ud")});
  EXPECT_EQ(run.status, 25) << run.text;
  EXPECT_EQ(run.text.find('\r'), std::string::npos);
  EXPECT_NE(run.text.find("\n 20%  waiting for the bootloader, 600 s left\n"), std::string::npos) << run.text;
  EXPECT_NE(run.text.find("\n 20%  waiting for the bootloader, 30 s left\n"), std::string::npos);
  EXPECT_NE(run.text.find("升级设备驱动安装失败！请重新插拔设备，之后重新执行升级程序！"), std::string::npos);

  const Output help = RunProgram(false, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.text.rfind("usage: kv27m-update", 0), 0u);
}
// The three programs speak the locale's language for messages: LC_ALL, else
// LC_MESSAGES, else LANG; Chinese (with the English gloss after the upgrader's
// message) for a Chinese locale, English for any other, the POSIX locale "C"
// included; --lang overrides. Exit status and backup file are the same in
// every language.
TEST_F(ProgramOutput, MessagesFollowTheLocale) {
  const std::string image = KV_SOURCE_DIR "/res/KV27M_FW_UPGRADE.bimg";
  std::vector<std::uint8_t> bytes = SampleImageBytes();
  bytes[32 + 0x1000] ^= 0x01;  // fails the decode check
  const std::string corrupt = Backup("corrupt.bimg");
  {
    std::FILE* f = std::fopen(corrupt.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  const auto unset = std::nullopt;
  struct Case {
    const char* what;
    Environment environment;
    std::vector<std::string> option;  // --lang, or nothing
    bool chinese;
  };
  const Case cases[] = {
      {"LANG=zh_CN.UTF-8", {{"LC_ALL", unset}, {"LC_MESSAGES", unset}, {"LANG", "zh_CN.UTF-8"}}, {}, true},
      {"LANG=en_US.UTF-8", {{"LC_ALL", unset}, {"LC_MESSAGES", unset}, {"LANG", "en_US.UTF-8"}}, {}, false},
      {"LANG=C", {{"LC_ALL", unset}, {"LC_MESSAGES", unset}, {"LANG", "C"}}, {}, false},
      {"nothing set", {{"LC_ALL", unset}, {"LC_MESSAGES", unset}, {"LANG", unset}}, {}, false},
      {"LC_ALL=C over LANG=zh_CN", {{"LC_ALL", "C"}, {"LC_MESSAGES", unset}, {"LANG", "zh_CN.UTF-8"}}, {}, false},
      {"empty LC_ALL skipped", {{"LC_ALL", ""}, {"LC_MESSAGES", unset}, {"LANG", "zh_CN.UTF-8"}}, {}, true},
      {"LC_MESSAGES=zh_CN over LANG=en_US",
       {{"LC_ALL", unset}, {"LC_MESSAGES", "zh_CN.UTF-8"}, {"LANG", "en_US.UTF-8"}},
       {},
       true},
      {"--lang=zh over LANG=C", {{"LC_ALL", unset}, {"LC_MESSAGES", unset}, {"LANG", "C"}}, {"--lang=zh"}, true},
      {"--lang=en over LANG=zh_CN",
       {{"LC_ALL", unset}, {"LC_MESSAGES", unset}, {"LANG", "zh_CN.UTF-8"}},
       {"--lang=en"},
       false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto with = [&](std::vector<std::string> args) {
      args.insert(args.begin(), c.option.begin(), c.option.end());
      return args;
    };
    const std::string backup = Backup(("lang" + std::to_string(n++) + ".kv27ud").c_str());
    const Output update =
        RunProgram(KV_UPDATE_EXE, false, with({"--simulate", "--backup", backup, image}), c.environment);
    EXPECT_EQ(update.status, 0) << update.text;
    EXPECT_TRUE(std::filesystem::exists(backup));
    const Output isp = RunProgram(KV_ISP_EXE, false, with({"--simulate", image}), c.environment);
    EXPECT_EQ(isp.status, 0) << isp.text;
    const Output check = RunProgram(KV_BIMGTOOL_EXE, false, with({"check", corrupt}), c.environment);
    EXPECT_EQ(check.status, 1) << check.text;
    if (c.chinese) {
      EXPECT_NE(update.text.find("\n恭喜亲，在线升级成功！  (the upgrade succeeded)\n"), std::string::npos)
          << update.text;
      EXPECT_NE(isp.text.find("\n恭喜亲，在线升级成功！\n"), std::string::npos) << isp.text;
      EXPECT_NE(check.text.find("\n镜像解码验证失败！\n"), std::string::npos) << check.text;
    } else {
      EXPECT_NE(update.text.find("\nCongratulations, the online upgrade succeeded!\n"), std::string::npos)
          << update.text;
      EXPECT_NE(isp.text.find("\nCongratulations, the online upgrade succeeded!\n"), std::string::npos) << isp.text;
      EXPECT_NE(check.text.find("\nThe decoded image fails its check!\n"), std::string::npos) << check.text;
      for (const Output* o : {&update, &isp, &check})
        for (char ch : o->text) EXPECT_EQ(static_cast<unsigned char>(ch) & 0x80, 0) << o->text;
    }
  }
}
#endif

}  // namespace
}  // namespace kv27::console
