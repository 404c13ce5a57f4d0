// The OS boundary's contract, executable: every case runs on the simulated
// world and, in the Windows builds, on the real platform too (under Wine in CI,
// on Windows wherever the test program is run). A case that passes on the real
// platform and fails on the world is a place where the world is more lenient
// (or stricter) than Windows; a known Wine deviation from Windows is written
// into its case, with the source that says so, and the world keeps to Windows.
//
// Time-outs are short real times (tens of milliseconds) so that the real side
// stays quick; on the world they run on the virtual clock and cost nothing.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/os_api.h"
#include "res/compiled_resources.h"
#include "res/resource.h"
#include "sim/world.h"

#if defined(_WIN32)
#include "tests/platform/contract_windows.h"
#endif

namespace kv27 {
namespace {

using namespace w32;

// A short time-out: long enough for the real platform's tick (10-16 ms), short
// enough to keep the suite fast there.
constexpr DWORD kShortMs = 50;
// The tick's resolution on the real platform.
constexpr DWORD kTickSlackMs = 16;
// How long a case waits for something the other side must bring (real time on
// the real platform); far beyond what it takes on a loaded machine.
constexpr DWORD kPatienceMs = 5000;
// What a test window procedure returns for a message it leaves to the default
// processing.
constexpr LRESULT kDefault = -1;

using Proc = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

// One implementation of the boundary with what the cases need around it.
class Side {
 public:
  virtual ~Side() = default;
  virtual OsApi& Os() = 0;
  virtual bool Simulated() const = 0;
  // A bare window owned by the calling thread.
  virtual HWND NewWindow(Proc proc) = 0;
  virtual void DestroyWindow(HWND window) = 0;
  // An empty folder that only this case uses.
  virtual std::u16string ScratchFolder() = 0;
  // After the case: what the side still holds that it should not.
  virtual std::string Leaks() { return {}; }
  // Runs `body` where top-level windows can be shown.
  virtual void WithScreen(const std::function<void()>& body) { body(); }
  // Wine stands in for Windows here (see the deviations in the cases).
  virtual bool Wine() const { return false; }
};

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

class WorldSide : public Side {
 public:
  WorldSide() {
    world_.SetHostFiles(false);
    world_.AddDirectory(u"C:\\contract");
    auto [data, size] = res::CompiledResources();
    if (auto resources = sim::ResourceSet::Parse(data, size)) world_.SetResources(*resources);
  }
  OsApi& Os() override { return world_; }
  bool Simulated() const override { return true; }
  HWND NewWindow(Proc proc) override {
    return world_.CreateHeadlessWindow([proc](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
      const LRESULT r = proc(w, m, wp, lp);
      return r == kDefault ? 0 : r;
    });
  }
  void DestroyWindow(HWND window) override { world_.DestroyHeadlessWindow(window); }
  std::u16string ScratchFolder() override { return u"C:\\contract"; }
  std::string Leaks() override { return world_.LeakReport(); }

 private:
  sim::World world_;
};

#if defined(_WIN32)
class RealSide : public Side {
 public:
  RealSide() : os_(MakeRealOsApi()) {}
  ~RealSide() override {
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(std::filesystem::path(folder_), ignored);
  }
  OsApi& Os() override { return *os_; }
  bool Simulated() const override { return false; }
  HWND NewWindow(Proc proc) override { return contract::CreateRealWindow(std::move(proc)); }
  void DestroyWindow(HWND window) override { contract::DestroyRealWindow(window); }
  // Under Wine without a display the default desktop may have been started
  // without a display driver, which refuses top-level windows; a desktop of
  // the case's own starts with the prefix's settings (see
  // tests/platform/CMakeLists.txt).
  void WithScreen(const std::function<void()>& body) override { contract::RunOnOwnDesktop(body); }
  bool Wine() const override { return contract::RunningOnWine(); }
  // Beside the test program, named after the tick and this object.
  std::u16string ScratchFolder() override {
    if (folder_.empty()) {
      std::array<WCHAR, 1024> module{};
      const DWORD length = os_->GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
      folder_ = std::u16string(module.data(), length) + u".contract-" + Ascii(std::to_string(os_->GetTickCount())) +
                u"-" + Ascii(std::to_string(reinterpret_cast<std::uintptr_t>(this)));
      os_->CreateDirectoryW(folder_.c_str(), nullptr);
    }
    return folder_;
  }

 private:
  std::unique_ptr<OsApi> os_;
  std::u16string folder_;
};
#endif

struct Implementation {
  const char* name;
  std::unique_ptr<Side> (*make)();
};

std::ostream& operator<<(std::ostream& out, const Implementation& implementation) { return out << implementation.name; }

class OsContract : public ::testing::TestWithParam<Implementation> {
 protected:
  void SetUp() override { side_ = GetParam().make(); }
  void TearDown() override {
    if (side_) {
      EXPECT_EQ(side_->Leaks(), "");
    }
  }

  OsApi& os() { return side_->Os(); }

  // A thread of the boundary running `body`; its result is the exit code.
  HANDLE Start(std::function<DWORD()> body, DWORD flags = 0) {
    auto* owned = new std::function<DWORD()>(std::move(body));
    HANDLE thread = os().CreateThread(nullptr, 0, &Trampoline, owned, flags, nullptr);
    if (!thread) delete owned;
    return thread;
  }
  static DWORD KV_WINAPI Trampoline(LPVOID parameter) {
    std::unique_ptr<std::function<DWORD()>> body(static_cast<std::function<DWORD()>*>(parameter));
    return (*body)();
  }
  void Join(HANDLE thread) {
    EXPECT_EQ(os().WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(os().CloseHandle(thread));
  }

  // Takes and dispatches the calling thread's messages until `done` holds;
  // false if it never does within the patience.
  bool PumpUntil(const std::function<bool()>& done) {
    const DWORD start = os().GetTickCount();
    for (;;) {
      MSG msg{};
      while (os().PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) os().DispatchMessageW(&msg);
      if (done()) return true;
      if (os().GetTickCount() - start > kPatienceMs) return false;
      os().Sleep(5);
    }
  }

  std::u16string Scratch(const std::u16string& name) { return side_->ScratchFolder() + u"\\" + name; }
  // A file of `bytes` bytes (0, 1, 2, ...).
  void MakeFile(const std::u16string& path, DWORD bytes) {
    HANDLE file =
        os().CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << os().GetLastError();
    std::vector<std::uint8_t> data(bytes);
    for (DWORD i = 0; i < bytes; ++i) data[i] = static_cast<std::uint8_t>(i);
    DWORD written = 0;
    EXPECT_TRUE(os().WriteFile(file, data.data(), bytes, &written, nullptr));
    EXPECT_EQ(written, bytes);
    EXPECT_TRUE(os().CloseHandle(file));
  }

  std::unique_ptr<Side> side_;
};

// ------------------------------------------------------------------ events and waits

// SetEvent on an auto-reset event that is already signalled leaves it
// signalled once: the next wait takes it, the one after times out. A
// manual-reset event stays signalled for every wait until ResetEvent.
TEST_P(OsContract, AutoAndManualResetEvents) {
  HANDLE automatic = os().CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE manual = os().CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ASSERT_NE(automatic, nullptr);
  ASSERT_NE(manual, nullptr);

  EXPECT_EQ(os().WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(os().SetEvent(automatic));
  EXPECT_TRUE(os().SetEvent(automatic));
  EXPECT_EQ(os().WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(os().WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(os().SetEvent(automatic));
  EXPECT_TRUE(os().ResetEvent(automatic));
  EXPECT_EQ(os().WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);

  EXPECT_EQ(os().WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(os().WaitForSingleObject(manual, kShortMs), WAIT_OBJECT_0);
  EXPECT_TRUE(os().ResetEvent(manual));
  EXPECT_TRUE(os().ResetEvent(manual));
  EXPECT_EQ(os().WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  EXPECT_TRUE(os().CloseHandle(automatic));
  EXPECT_TRUE(os().CloseHandle(manual));
}

// A finite wait on an event nobody sets lasts its time-out, as the tick
// measures it, and the tick never runs backwards.
TEST_P(OsContract, WaitTimesOutAfterItsIntervalAndTheTickMovesOn) {
  HANDLE event = os().CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  const DWORD before = os().GetTickCount();
  EXPECT_EQ(os().WaitForSingleObject(event, kShortMs), WAIT_TIMEOUT);
  const DWORD waited = os().GetTickCount() - before;
  EXPECT_GE(waited, kShortMs - kTickSlackMs);
  EXPECT_LT(waited, kPatienceMs);

  DWORD last = os().GetTickCount();
  for (int i = 0; i < 50; ++i) {
    os().Sleep(i % 10 == 0 ? 1 : 0);  // Sleep(0) gives up the time slice and returns
    const DWORD now = os().GetTickCount();
    EXPECT_LT(now - last, kPatienceMs);  // unsigned: a step back would be huge
    last = now;
  }
  const DWORD sleptFrom = os().GetTickCount();
  os().Sleep(kShortMs);
  EXPECT_GE(os().GetTickCount() - sleptFrom, kShortMs - kTickSlackMs);
  EXPECT_TRUE(os().CloseHandle(event));
}

// A wait ends when another thread sets the event; the thread's handle is
// signalled when it ends and GetExitCodeThread gives its result, STILL_ACTIVE
// before. A suspended thread runs only after ResumeThread (previous count 1).
TEST_P(OsContract, ThreadsSignalEventsAndEndWithTheirExitCode) {
  HANDLE event = os().CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  std::atomic<bool> ran{false};
  HANDLE thread = Start(
      [&]() -> DWORD {
        ran = true;
        os().Sleep(10);
        os().SetEvent(event);
        return 42;
      },
      CREATE_SUSPENDED);
  ASSERT_NE(thread, nullptr);
  DWORD code = 0;
  EXPECT_TRUE(os().GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(os().WaitForSingleObject(thread, kShortMs), WAIT_TIMEOUT);
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(os().ResumeThread(thread), 1u);
  EXPECT_EQ(os().WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(os().WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(ran.load());
  EXPECT_TRUE(os().GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(os().WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // a thread stays signalled
  EXPECT_TRUE(os().CloseHandle(thread));
  EXPECT_TRUE(os().CloseHandle(event));
}

// WaitForMultipleObjects for any one: the smallest signalled index, and only
// that object is acquired; for all: nothing is acquired until every object is
// signalled (an auto-reset event in a wait that times out stays signalled).
// A thread's handle takes part like an event. Bad arrays fail as documented.
TEST_P(OsContract, WaitForMultipleObjectsAnyAndAll) {
  HANDLE first = os().CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE second = os().CreateEventW(nullptr, FALSE, TRUE, nullptr);
  HANDLE third = os().CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ASSERT_TRUE(first && second && third);
  const HANDLE three[] = {first, second, third};
  EXPECT_EQ(os().WaitForMultipleObjects(3, three, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(os().WaitForMultipleObjects(3, three, FALSE, 0), WAIT_OBJECT_0 + 2);         // the second was taken
  EXPECT_EQ(os().WaitForMultipleObjects(3, three, FALSE, kShortMs), WAIT_OBJECT_0 + 2);  // manual: stays

  EXPECT_TRUE(os().SetEvent(second));
  EXPECT_EQ(os().WaitForMultipleObjects(3, three, TRUE, 0), WAIT_TIMEOUT);  // the first is not set
  EXPECT_EQ(os().WaitForSingleObject(second, 0), WAIT_OBJECT_0);            // still set after that
  EXPECT_TRUE(os().SetEvent(second));
  EXPECT_TRUE(os().ResetEvent(third));
  const DWORD before = os().GetTickCount();
  EXPECT_EQ(os().WaitForMultipleObjects(3, three, FALSE, kShortMs), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(os().WaitForMultipleObjects(3, three, FALSE, kShortMs), WAIT_TIMEOUT);
  EXPECT_GE(os().GetTickCount() - before, kShortMs - kTickSlackMs);

  // All at once, when a thread sets the last one.
  EXPECT_TRUE(os().SetEvent(second));
  EXPECT_TRUE(os().SetEvent(third));
  HANDLE setter = Start([&]() -> DWORD {
    os().Sleep(10);
    os().SetEvent(first);
    return 0;
  });
  ASSERT_NE(setter, nullptr);
  EXPECT_EQ(os().WaitForMultipleObjects(3, three, TRUE, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(os().WaitForSingleObject(first, 0), WAIT_TIMEOUT);  // both auto-reset events taken
  EXPECT_EQ(os().WaitForSingleObject(second, 0), WAIT_TIMEOUT);
  EXPECT_EQ(os().WaitForSingleObject(third, 0), WAIT_OBJECT_0);
  const HANDLE eventAndThread[] = {first, setter};
  EXPECT_EQ(os().WaitForMultipleObjects(2, eventAndThread, FALSE, INFINITE), WAIT_OBJECT_0 + 1);

  // The same object twice: "It may not contain multiple copies of the same
  // handle" (WaitForMultipleObjects, lpHandles). The NT kernel refuses it only
  // in a wait for all (NtWaitForMultipleObjects: STATUS_INVALID_PARAMETER_MIX,
  // ERROR_INVALID_PARAMETER; "with a wait any the user can specify the same
  // object multiple times"). Known Wine deviation: Wine 8 waits for all on
  // such an array and succeeds, leaving the last error alone.
  const HANDLE twice[] = {third, third};
  EXPECT_EQ(os().WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);
  if (!side_->Wine()) {
    os().SetLastError(0);
    EXPECT_EQ(os().WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(os().GetLastError(), ERROR_INVALID_PARAMETER);
  }
  os().SetLastError(0);
  EXPECT_EQ(os().WaitForMultipleObjects(0, three, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_PARAMETER);

  Join(setter);
  EXPECT_TRUE(os().CloseHandle(first));
  const HANDLE withClosed[] = {third, first};
  os().SetLastError(0);
  EXPECT_EQ(os().WaitForMultipleObjects(2, withClosed, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(os().CloseHandle(second));
  EXPECT_TRUE(os().CloseHandle(third));
}

// A handle closed once is no handle: closing it again, waiting on it, setting
// it and asking a thread's exit code all fail with ERROR_INVALID_HANDLE, and
// each failure sets the last error anew.
TEST_P(OsContract, ClosedHandleFailsEveryCallWithInvalidHandle) {
  HANDLE event = os().CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_TRUE(os().CloseHandle(event));

  os().SetLastError(ERROR_GEN_FAILURE);
  EXPECT_FALSE(os().CloseHandle(event));
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_HANDLE);
  os().SetLastError(ERROR_GEN_FAILURE);
  EXPECT_EQ(os().WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_HANDLE);
  os().SetLastError(ERROR_GEN_FAILURE);
  EXPECT_FALSE(os().SetEvent(event));
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_HANDLE);
  os().SetLastError(ERROR_GEN_FAILURE);
  EXPECT_FALSE(os().ResetEvent(event));
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_HANDLE);
  os().SetLastError(ERROR_GEN_FAILURE);
  DWORD code = 0;
  EXPECT_FALSE(os().GetExitCodeThread(event, &code));
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_HANDLE);
  os().SetLastError(ERROR_GEN_FAILURE);
  EXPECT_EQ(os().WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_HANDLE);
}

// A named event: the second create opens the same object and says so.
TEST_P(OsContract, NamedEventIsOpenedAgainWithAlreadyExists) {
  const std::u16string name =
      u"Local\\kv27-contract-" + Ascii(std::to_string(reinterpret_cast<std::uintptr_t>(side_.get())));
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  HANDLE first = os().CreateEventW(&security, TRUE, FALSE, name.c_str());
  ASSERT_NE(first, nullptr);
  HANDLE second = os().CreateEventW(nullptr, FALSE, TRUE, name.c_str());  // flags of an existing event are kept
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(os().GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(os().WaitForSingleObject(first, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(os().SetEvent(second));
  EXPECT_EQ(os().WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_EQ(os().WaitForSingleObject(second, 0), WAIT_OBJECT_0);  // manual reset, as created first
  EXPECT_TRUE(os().CloseHandle(first));
  EXPECT_TRUE(os().CloseHandle(second));
}

// ------------------------------------------------------------------ files

// Sharing: a file held with no sharing cannot be opened again. Otherwise a
// second open succeeds when the handle already open shares what it asks for
// and it shares what that handle has (a reader of a file held for writing
// must share writing), else ERROR_SHARING_VIOLATION.
TEST_P(OsContract, SharingModesOfASecondOpen) {
  const std::u16string path = Scratch(u"shared.bin");
  MakeFile(path, 16);
  struct Case {
    DWORD firstAccess, firstShare, secondAccess, secondShare;
    DWORD error;  // ERROR_SUCCESS: the second open succeeds
  };
  const Case cases[] = {
      {GENERIC_READ, 0, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, ERROR_SHARING_VIOLATION},
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, ERROR_SUCCESS},
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ, ERROR_SHARING_VIOLATION},
      {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, ERROR_SHARING_VIOLATION},
      {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, ERROR_SUCCESS},
      {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE, FILE_SHARE_READ, ERROR_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.firstAccess << "/" << c.firstShare << " then " << c.secondAccess
                                      << "/" << c.secondShare);
    HANDLE first = os().CreateFileW(path.c_str(), c.firstAccess, c.firstShare, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE) << os().GetLastError();
    HANDLE second = os().CreateFileW(path.c_str(), c.secondAccess, c.secondShare, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (c.error == ERROR_SUCCESS) {
      EXPECT_NE(second, INVALID_HANDLE_VALUE) << os().GetLastError();
      if (second != INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(os().CloseHandle(second));
      }
    } else {
      EXPECT_EQ(second, INVALID_HANDLE_VALUE);
      EXPECT_EQ(os().GetLastError(), c.error);
      if (second != INVALID_HANDLE_VALUE) os().CloseHandle(second);
    }
    EXPECT_TRUE(os().CloseHandle(first));
  }
}

// Dispositions, with the last error each sets on success and on failure.
TEST_P(OsContract, CreationDispositions) {
  const std::u16string existing = Scratch(u"existing.bin");
  MakeFile(existing, 8);
  const std::u16string missing = Scratch(u"missing.bin");
  const std::u16string inMissingFolder = Scratch(u"no-such-folder\\file.bin");

  auto open = [&](const std::u16string& path, DWORD access, DWORD disposition) {
    os().SetLastError(ERROR_GEN_FAILURE);
    return os().CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  };
  auto size = [&](const std::u16string& path) -> DWORD {
    HANDLE f = open(path, GENERIC_READ, OPEN_EXISTING);
    if (f == INVALID_HANDLE_VALUE) return 0xFFFFFFFFu;
    std::array<std::uint8_t, 64> buffer{};
    DWORD read = 0;
    os().ReadFile(f, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr);
    os().CloseHandle(f);
    return read;
  };

  EXPECT_EQ(open(missing, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(os().GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(open(inMissingFolder, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(os().GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(open(inMissingFolder, GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(os().GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(open(existing, GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(os().GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(open(missing, GENERIC_WRITE, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(os().GetLastError(), ERROR_FILE_NOT_FOUND);

  // OPEN_ALWAYS and CREATE_ALWAYS on an existing file succeed with
  // ERROR_ALREADY_EXISTS; on a new one with 0.
  HANDLE h = open(existing, GENERIC_READ, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(os().GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(os().CloseHandle(h));
  EXPECT_EQ(size(existing), 8u);
  h = open(existing, GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(os().GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(os().CloseHandle(h));
  EXPECT_EQ(size(existing), 0u);  // truncated
  h = open(missing, GENERIC_WRITE, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(os().GetLastError(), ERROR_SUCCESS);
  EXPECT_TRUE(os().CloseHandle(h));
  h = open(missing, GENERIC_WRITE, CREATE_NEW);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(os().GetLastError(), ERROR_FILE_EXISTS);
}

// A directory is not a file: CreateFileW without FILE_FLAG_BACKUP_SEMANTICS
// refuses it with ERROR_ACCESS_DENIED, and CREATE_NEW on its name finds it
// taken.
TEST_P(OsContract, DirectoryIsNotOpenedAsAFile) {
  const std::u16string folder = Scratch(u"folder");
  ASSERT_TRUE(os().CreateDirectoryW(folder.c_str(), nullptr)) << os().GetLastError();
  HANDLE h = os().CreateFileW(folder.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(os().GetLastError(), ERROR_ACCESS_DENIED);
  if (h != INVALID_HANDLE_VALUE) os().CloseHandle(h);
  EXPECT_FALSE(os().CreateDirectoryW(folder.c_str(), nullptr));
  EXPECT_EQ(os().GetLastError(), ERROR_ALREADY_EXISTS);
}

// Reads at the end: a read past the end gets what is left, the next one TRUE
// with 0 bytes; a zero-byte read is TRUE with 0. Overlapped, a read at the end
// fails with ERROR_HANDLE_EOF (at once or from GetOverlappedResult), and a
// completed transfer leaves its status and count in the OVERLAPPED's first
// two fields (read back through the structure as the platform lays it out).
TEST_P(OsContract, ShortAndZeroReadsAtTheEndOfAFile) {
  const std::u16string path = Scratch(u"ten.bin");
  MakeFile(path, 10);
  HANDLE file = os().CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::array<std::uint8_t, 16> buffer{};
  DWORD read = 99;
  EXPECT_TRUE(os().ReadFile(file, buffer.data(), 0, &read, nullptr));
  EXPECT_EQ(read, 0u);
  EXPECT_TRUE(os().ReadFile(file, buffer.data(), 6, &read, nullptr));
  EXPECT_EQ(read, 6u);
  EXPECT_TRUE(os().ReadFile(file, buffer.data(), 16, &read, nullptr));
  EXPECT_EQ(read, 4u);
  EXPECT_EQ(buffer[0], 6u);
  EXPECT_TRUE(os().ReadFile(file, buffer.data(), 16, &read, nullptr));
  EXPECT_EQ(read, 0u);
  EXPECT_TRUE(os().CloseHandle(file));

  HANDLE async = os().CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(async, INVALID_HANDLE_VALUE);
  OVERLAPPED ov{};
  ov.hEvent = os().CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ov.u.s.Offset = 7;
  DWORD got = 0;
  if (!os().ReadFile(async, buffer.data(), 16, nullptr, &ov)) {
    ASSERT_EQ(os().GetLastError(), ERROR_IO_PENDING);
  }
  EXPECT_TRUE(os().GetOverlappedResult(async, &ov, &got, TRUE));
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(ov.Internal, 0u);  // STATUS_SUCCESS
  EXPECT_EQ(ov.InternalHigh, 3u);
  EXPECT_EQ(buffer[0], 7u);

  ov.u.s.Offset = 10;
  BOOL done = os().ReadFile(async, buffer.data(), 16, nullptr, &ov);
  EXPECT_FALSE(done);
  DWORD error = os().GetLastError();
  if (error == ERROR_IO_PENDING) {
    EXPECT_FALSE(os().GetOverlappedResult(async, &ov, &got, TRUE));
    error = os().GetLastError();
  }
  EXPECT_EQ(error, ERROR_HANDLE_EOF);
  EXPECT_TRUE(os().CloseHandle(ov.hEvent));
  EXPECT_TRUE(os().CloseHandle(async));
}

// A file's identity (GetFileInformationByHandle: the volume serial number and
// the file index) is the same through every handle of it, an open without
// access included, and differs between two files; the size is the file's.
// Only files are asked: an event is not one.
TEST_P(OsContract, IdentityOfAFileThroughEveryHandle) {
  const std::u16string a = Scratch(u"identity-a.bin"), b = Scratch(u"identity-b.bin");
  MakeFile(a, 70);
  MakeFile(b, 70);
  auto identity = [this](HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
    info = {};
    return os().GetFileInformationByHandle(file, &info) != FALSE;
  };
  HANDLE reading = os().CreateFileW(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE bare = os().CreateFileW(a.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE other = os().CreateFileW(b.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reading, INVALID_HANDLE_VALUE) << os().GetLastError();
  ASSERT_NE(bare, INVALID_HANDLE_VALUE) << os().GetLastError();
  ASSERT_NE(other, INVALID_HANDLE_VALUE) << os().GetLastError();
  BY_HANDLE_FILE_INFORMATION first{}, second{}, third{};
  ASSERT_TRUE(identity(reading, first)) << os().GetLastError();
  ASSERT_TRUE(identity(bare, second)) << os().GetLastError();
  ASSERT_TRUE(identity(other, third)) << os().GetLastError();
  EXPECT_EQ(first.dwVolumeSerialNumber, second.dwVolumeSerialNumber);
  EXPECT_EQ(first.nFileIndexHigh, second.nFileIndexHigh);
  EXPECT_EQ(first.nFileIndexLow, second.nFileIndexLow);
  EXPECT_FALSE(first.dwVolumeSerialNumber == third.dwVolumeSerialNumber &&
               first.nFileIndexHigh == third.nFileIndexHigh && first.nFileIndexLow == third.nFileIndexLow);
  EXPECT_EQ(first.nFileSizeLow, 70u);
  EXPECT_EQ(first.nFileSizeHigh, 0u);
  EXPECT_EQ(first.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_GE(first.nNumberOfLinks, 1u);
  EXPECT_TRUE(os().CloseHandle(reading));
  EXPECT_TRUE(os().CloseHandle(bare));
  EXPECT_TRUE(os().CloseHandle(other));

  HANDLE event = os().CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  BY_HANDLE_FILE_INFORMATION none{};
  EXPECT_FALSE(os().GetFileInformationByHandle(event, &none));
  EXPECT_TRUE(os().CloseHandle(event));
}

// What FindFirstFileW and GetLocalTime fill in, read back through
// WIN32_FIND_DATAW and SYSTEMTIME as the platform lays them out.
TEST_P(OsContract, FindDataOfAFile) {
  const std::u16string path = Scratch(u"found.bin");
  MakeFile(path, 300);
  WIN32_FIND_DATAW data{};
  HANDLE search = os().FindFirstFileW(path.c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE) << os().GetLastError();
  EXPECT_EQ(std::u16string(data.cFileName), u"found.bin");
  EXPECT_EQ(data.nFileSizeLow, 300u);
  EXPECT_EQ(data.nFileSizeHigh, 0u);
  EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_FALSE(os().FindNextFileW(search, &data));
  EXPECT_EQ(os().GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(os().FindClose(search));

  SYSTEMTIME now{};
  os().GetLocalTime(&now);
  EXPECT_GE(now.wYear, 2000);
  EXPECT_TRUE(now.wMonth >= 1 && now.wMonth <= 12) << now.wMonth;
  EXPECT_TRUE(now.wDay >= 1 && now.wDay <= 31) << now.wDay;
  EXPECT_LE(now.wDayOfWeek, 6);
  EXPECT_LE(now.wHour, 23);
  EXPECT_LE(now.wMilliseconds, 999);
}

// ------------------------------------------------------------------ overlapped I/O on a named pipe

// A named pipe of the case's own, both ends opened for overlapped I/O.
class PipeContract : public OsContract {
 protected:
  void SetUp() override {
    OsContract::SetUp();
    const std::u16string name = u"\\\\.\\pipe\\kv27-contract-" + Ascii(std::to_string(os().GetTickCount())) + u"-" +
                                Ascii(std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    server_ = os().CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(server_, INVALID_HANDLE_VALUE) << os().GetLastError();
    client_ = os().CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(client_, INVALID_HANDLE_VALUE) << os().GetLastError();
    // One instance: a second client finds it busy.
    HANDLE second = os().CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(os().GetLastError(), ERROR_PIPE_BUSY);
  }
  void TearDown() override {
    if (client_ != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(os().CloseHandle(client_));
    }
    if (server_ != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(os().CloseHandle(server_));
    }
    OsContract::TearDown();
  }

  // The server writes `text`; the write completes (at once, or soon).
  void ServerWrites(const std::string& text) {
    OVERLAPPED ov{};
    ov.hEvent = os().CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    if (!os().WriteFile(server_, text.data(), static_cast<DWORD>(text.size()), nullptr, &ov)) {
      ASSERT_EQ(os().GetLastError(), ERROR_IO_PENDING);
    }
    EXPECT_TRUE(os().GetOverlappedResult(server_, &ov, &written, TRUE));
    EXPECT_EQ(written, text.size());
    EXPECT_TRUE(os().CloseHandle(ov.hEvent));
  }
  // A client read that must stay pending: FALSE with ERROR_IO_PENDING.
  void StartRead(OVERLAPPED& ov, char* buffer, DWORD length) {
    DWORD read = 77;
    EXPECT_FALSE(os().ReadFile(client_, buffer, length, &read, &ov));
    EXPECT_EQ(os().GetLastError(), ERROR_IO_PENDING);
  }

  // A client read of what is there: at once or pending, then `expected`.
  void StartReadOrTake(OVERLAPPED& ov, char* buffer, DWORD length, const std::string& expected) {
    DWORD read = 0;
    if (!os().ReadFile(client_, buffer, length, &read, &ov)) {
      EXPECT_EQ(os().GetLastError(), ERROR_IO_PENDING);
    }
    DWORD got = 0;
    EXPECT_TRUE(os().GetOverlappedResult(client_, &ov, &got, TRUE));
    EXPECT_EQ(std::string(buffer, got), expected);
  }

  HANDLE server_ = INVALID_HANDLE_VALUE;
  HANDLE client_ = INVALID_HANDLE_VALUE;
};

// A read with nothing written stays pending: ReadFile resets the manual-reset
// event, GetOverlappedResult without waiting says ERROR_IO_INCOMPLETE, a wait
// on the event times out. The other end's write completes it: the event is
// set, GetOverlappedResult gives the count and the OVERLAPPED its status and
// count as the platform lays them out. What a read does not take stays for the
// next read, which completes at once.
TEST_P(PipeContract, PendingReadCompletesWithTheOtherEndsWrite) {
  OVERLAPPED ov{};
  ov.hEvent = os().CreateEventW(nullptr, TRUE, TRUE, nullptr);  // set: ReadFile must reset it
  ASSERT_NE(ov.hEvent, nullptr);
  char buffer[8] = {};
  StartRead(ov, buffer, 4);
  EXPECT_EQ(os().WaitForSingleObject(ov.hEvent, 0), WAIT_TIMEOUT);
  DWORD got = 99;
  EXPECT_FALSE(os().GetOverlappedResult(client_, &ov, &got, FALSE));
  EXPECT_EQ(os().GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_EQ(os().WaitForSingleObject(ov.hEvent, kShortMs), WAIT_TIMEOUT);

  ServerWrites("abcdef");
  EXPECT_EQ(os().WaitForSingleObject(ov.hEvent, kPatienceMs), WAIT_OBJECT_0);
  EXPECT_TRUE(os().GetOverlappedResult(client_, &ov, &got, FALSE));
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
  EXPECT_EQ(ov.Internal, 0u);
  EXPECT_EQ(ov.InternalHigh, 4u);

  DWORD read = 0;
  if (!os().ReadFile(client_, buffer, sizeof(buffer), &read, &ov)) {
    EXPECT_EQ(os().GetLastError(), ERROR_IO_PENDING);
  }
  EXPECT_TRUE(os().GetOverlappedResult(client_, &ov, &got, TRUE));
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(std::string(buffer, 2), "ef");
  EXPECT_TRUE(os().CloseHandle(ov.hEvent));
}

// With an auto-reset event that a wait has already taken, GetOverlappedResult
// with wait still returns at once: it looks at the transfer's status before
// it waits.
TEST_P(PipeContract, CompletedTransferNeedsNoEventForGetOverlappedResult) {
  OVERLAPPED ov{};
  ov.hEvent = os().CreateEventW(nullptr, FALSE, FALSE, nullptr);
  char buffer[4] = {};
  StartRead(ov, buffer, 3);
  ServerWrites("xyz");
  EXPECT_EQ(os().WaitForSingleObject(ov.hEvent, kPatienceMs), WAIT_OBJECT_0);  // takes the event
  DWORD got = 0;
  EXPECT_TRUE(os().GetOverlappedResult(client_, &ov, &got, TRUE));
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(os().WaitForSingleObject(ov.hEvent, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(os().CloseHandle(ov.hEvent));
}

// CancelIo from the thread that started the read: it completes with
// ERROR_OPERATION_ABORTED and its event is set; bytes written after the
// cancellation are not lost to it, the next read takes them.
TEST_P(PipeContract, CancelIoFromTheIssuingThreadAbortsTheRead) {
  OVERLAPPED ov{};
  ov.hEvent = os().CreateEventW(nullptr, TRUE, FALSE, nullptr);
  char buffer[8] = {};
  StartRead(ov, buffer, sizeof(buffer));
  EXPECT_TRUE(os().CancelIo(client_));
  DWORD got = 99;
  EXPECT_FALSE(os().GetOverlappedResult(client_, &ov, &got, TRUE));
  EXPECT_EQ(os().GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(os().WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);

  ServerWrites("late");
  StartReadOrTake(ov, buffer, sizeof(buffer), "late");
  EXPECT_TRUE(os().CloseHandle(ov.hEvent));
}

// CancelIo from another thread leaves the read alone (it cancels only the
// caller's own transfers): the read stays pending and completes with the
// write that comes after.
TEST_P(PipeContract, CancelIoFromAnotherThreadLeavesTheReadPending) {
  HANDLE issued = os().CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(issued, nullptr);
  char buffer[8] = {};
  HANDLE reader = Start([&]() -> DWORD {
    OVERLAPPED ov{};
    ov.hEvent = os().CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    if (os().ReadFile(client_, buffer, sizeof(buffer), &got, &ov) || os().GetLastError() != ERROR_IO_PENDING)
      got = 1000;  // not pending: the case fails on the exit code
    os().SetEvent(issued);
    if (got != 1000 && !os().GetOverlappedResult(client_, &ov, &got, TRUE)) got = 2000 + os().GetLastError();
    os().CloseHandle(ov.hEvent);
    return got;
  });
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(os().WaitForSingleObject(issued, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(os().CancelIo(client_));  // this thread started nothing on it
  EXPECT_EQ(os().WaitForSingleObject(reader, kShortMs), WAIT_TIMEOUT);
  ServerWrites("hello");
  EXPECT_EQ(os().WaitForSingleObject(reader, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(os().GetExitCodeThread(reader, &code));
  EXPECT_EQ(code, 5u);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  EXPECT_TRUE(os().CloseHandle(reader));
  EXPECT_TRUE(os().CloseHandle(issued));
}

// Once the other end is closed, a pending read fails with ERROR_BROKEN_PIPE.
TEST_P(PipeContract, ClosingTheOtherEndBreaksAPendingRead) {
  OVERLAPPED ov{};
  ov.hEvent = os().CreateEventW(nullptr, TRUE, FALSE, nullptr);
  char buffer[8] = {};
  StartRead(ov, buffer, sizeof(buffer));
  EXPECT_TRUE(os().CloseHandle(server_));
  server_ = INVALID_HANDLE_VALUE;
  DWORD got = 0;
  EXPECT_FALSE(os().GetOverlappedResult(client_, &ov, &got, TRUE));
  EXPECT_EQ(os().GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_TRUE(os().CloseHandle(ov.hEvent));
}

// ------------------------------------------------------------------ windows and messages

constexpr UINT kPing = WM_USER + 1;
constexpr UINT kPong = WM_USER + 2;

// Posted messages come back in order with their parameters, as MSG carries
// them on the running platform (pointer-sized wParam and lParam kept whole).
// PM_NOREMOVE leaves a message where it is; a range filter takes the messages
// in it first; PM_QS_PAINT alone passes every posted message by.
TEST_P(OsContract, PostedMessagesKeepTheirOrderAndFilters) {
  std::vector<UINT> dispatched;
  HWND window = side_->NewWindow([&](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
    if (message >= WM_USER) dispatched.push_back(message);
    return kDefault;
  });
  ASSERT_NE(window, nullptr);
  const WPARAM bigW = ~static_cast<WPARAM>(0) - 1;
  const LPARAM negativeL = -2;
  ASSERT_TRUE(os().PostMessageW(window, kPing, bigW, negativeL));
  ASSERT_TRUE(os().PostMessageW(window, kPong, 2, 3));
  ASSERT_TRUE(os().PostMessageW(window, kPing, 4, 5));

  MSG msg{};
  EXPECT_FALSE(os().PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_PAINT));
  ASSERT_TRUE(os().PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.hwnd, window);
  EXPECT_EQ(msg.message, kPing);
  EXPECT_EQ(msg.wParam, bigW);
  EXPECT_EQ(msg.lParam, negativeL);
  ASSERT_TRUE(os().PeekMessageW(&msg, window, kPong, kPong, PM_REMOVE));  // out of order by filter
  EXPECT_EQ(msg.message, kPong);
  EXPECT_EQ(msg.wParam, 2u);
  EXPECT_EQ(msg.lParam, 3);
  ASSERT_TRUE(os().PeekMessageW(&msg, window, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, kPing);
  EXPECT_EQ(msg.wParam, bigW);
  os().DispatchMessageW(&msg);
  ASSERT_TRUE(os().PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, kPing);
  EXPECT_EQ(msg.wParam, 4u);
  os().DispatchMessageW(&msg);
  EXPECT_EQ(dispatched, (std::vector<UINT>{kPing, kPing}));
  while (os().PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) EXPECT_LT(msg.message, WM_USER);

  side_->DestroyWindow(window);
  EXPECT_FALSE(os().PostMessageW(window, kPing, 0, 0));
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  // A null window: the boundary refuses it on both sides (Win32 itself would
  // post to the thread's queue, where no window procedure sees it).
  os().SetLastError(0);
  EXPECT_FALSE(os().PostMessageW(nullptr, kPing, 0, 0));
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

// SendMessageW to a window of another thread blocks until that thread
// retrieves messages, runs the procedure on the window's own thread and gives
// its result back.
TEST_P(OsContract, CrossThreadSendWaitsUntilTheOwnerRetrievesMessages) {
  std::atomic<bool> handled{false};
  HWND window = side_->NewWindow([&](HWND, UINT message, WPARAM wParam, LPARAM) -> LRESULT {
    if (message != kPing) return kDefault;
    handled = true;
    return static_cast<LRESULT>(wParam * 2);
  });
  ASSERT_NE(window, nullptr);
  std::atomic<bool> returned{false};
  std::atomic<LRESULT> result{0};
  HANDLE sender = Start([&]() -> DWORD {
    result = os().SendMessageW(window, kPing, 21, 0);
    returned = true;
    return 0;
  });
  ASSERT_NE(sender, nullptr);
  // The owner does not retrieve messages: the sender stays blocked.
  EXPECT_EQ(os().WaitForSingleObject(sender, kShortMs), WAIT_TIMEOUT);
  EXPECT_FALSE(returned.load());
  EXPECT_FALSE(handled.load());
  EXPECT_TRUE(PumpUntil([&] { return returned.load(); }));
  Join(sender);
  EXPECT_EQ(result.load(), 42);
  side_->DestroyWindow(window);
}

// A thread blocked in SendMessageW takes the messages other threads send to
// its own windows meanwhile: A sends to B's window, whose procedure sends to
// A's window before it answers.
TEST_P(OsContract, WaitingSenderTakesMessagesSentToItsOwnWindows) {
  HWND windowA = side_->NewWindow([&](HWND, UINT message, WPARAM wParam, LPARAM) -> LRESULT {
    return message == kPong ? static_cast<LRESULT>(wParam + 1) : kDefault;
  });
  ASSERT_NE(windowA, nullptr);
  std::atomic<HWND> windowB{nullptr};
  std::atomic<bool> stop{false};
  HANDLE threadB = Start([&]() -> DWORD {
    HWND b = side_->NewWindow([&](HWND, UINT message, WPARAM wParam, LPARAM) -> LRESULT {
      return message == kPing ? os().SendMessageW(windowA, kPong, wParam * 10, 0) : kDefault;
    });
    windowB = b;
    PumpUntil([&] { return stop.load(); });
    side_->DestroyWindow(b);
    return 0;
  });
  ASSERT_NE(threadB, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return windowB.load() != nullptr; }));
  EXPECT_EQ(os().SendMessageW(windowB.load(), kPing, 4, 0), 41);
  stop = true;
  Join(threadB);
  side_->DestroyWindow(windowA);
}

// WM_TIMER from SetTimer with a window: posted to the window with the timer's
// id while the thread retrieves messages; KillTimer stops it and fails for an
// id it does not know.
TEST_P(OsContract, WindowTimerPostsWmTimer) {
  int timers = 0;
  HWND window = side_->NewWindow([&](HWND, UINT message, WPARAM wParam, LPARAM) -> LRESULT {
    if (message == WM_TIMER && wParam == 7) ++timers;
    return message == WM_TIMER ? 0 : kDefault;
  });
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(os().SetTimer(window, 7, 20, nullptr), 7u);
  EXPECT_TRUE(PumpUntil([&] { return timers >= 2; }));
  EXPECT_TRUE(os().KillTimer(window, 7));
  EXPECT_FALSE(os().KillTimer(window, 7));
  side_->DestroyWindow(window);
}

// SetTimer without a window: the id is the system's (the one asked for is
// ignored), and WM_TIMER comes to the thread's queue with no window.
TEST_P(OsContract, ThreadTimerPostsWmTimerWithoutAWindow) {
  const UINT_PTR id = os().SetTimer(nullptr, 0, 20, nullptr);
  ASSERT_NE(id, 0u) << os().GetLastError();
  bool seen = false;
  const DWORD start = os().GetTickCount();
  while (!seen && os().GetTickCount() - start < kPatienceMs) {
    MSG msg{};
    while (os().PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_TIMER && msg.hwnd == nullptr && msg.wParam == id) seen = true;
    }
    if (!seen) os().Sleep(5);
  }
  EXPECT_TRUE(seen);
  EXPECT_TRUE(os().KillTimer(nullptr, id));
}

// The same name gives the same message id, in the range the system keeps for
// registered messages.
TEST_P(OsContract, RegisteredMessageIsTheSameForTheSameName) {
  const UINT first = os().RegisterWindowMessageW(u"KV27 contract message");
  const UINT second = os().RegisterWindowMessageW(u"KV27 contract message");
  const UINT other = os().RegisterWindowMessageW(u"KV27 contract message 2");
  EXPECT_GE(first, 0xC000u);
  EXPECT_LE(first, 0xFFFFu);
  EXPECT_EQ(first, second);
  EXPECT_NE(first, other);
}

// A window registers for the arrivals and removals of a device interface class
// with a DEV_BROADCAST_DEVICEINTERFACE_W filter of the platform's size.
TEST_P(OsContract, DeviceNotificationForAnInterfaceClass) {
  HWND window = side_->NewWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return kDefault; });
  ASSERT_NE(window, nullptr);
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  os().HidD_GetHidGuid(&filter.dbcc_classguid);
  HDEVNOTIFY notification = os().RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  ASSERT_NE(notification, nullptr) << os().GetLastError();
  EXPECT_TRUE(os().UnregisterDeviceNotification(notification));
  side_->DestroyWindow(window);
}

// ------------------------------------------------------------------ the program's dialog

// What a dialog procedure saw, in order, of the messages the contract is about.
struct DialogLog {
  std::vector<UINT> messages;
  HWND initFocus = nullptr;  // WM_INITDIALOG's wParam
  OsApi* os = nullptr;
};
DialogLog* g_dialog = nullptr;  // one dialog at a time

constexpr UINT kStart = WM_USER + 10;
constexpr UINT kNested = WM_USER + 11;

INT_PTR KV_WINAPI RecordingDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  DialogLog& log = *g_dialog;
  switch (message) {
    case WM_INITDIALOG:
      log.messages.push_back(message);
      log.initFocus = reinterpret_cast<HWND>(wParam);
      log.os->PostMessageW(dialog, kStart, 0, 0);
      return TRUE;
    case WM_SHOWWINDOW:
      if (wParam) log.messages.push_back(message);
      return FALSE;
    case kStart:
      log.messages.push_back(message);
      log.os->SendMessageW(dialog, kNested, 0, 0);  // EndDialog from a call inside this one
      log.messages.push_back(kStart);               // the dialog still runs until this message returns
      return TRUE;
    case kNested:
      log.messages.push_back(message);
      log.os->EndDialog(dialog, 77);
      return TRUE;
    case WM_DESTROY:
      log.messages.push_back(message);
      return FALSE;
    default:
      return FALSE;
  }
}

// The program's dialog 102: WM_INITDIALOG (wParam the first tab-stop control,
// the image path box) comes before the dialog is shown (WM_SHOWWINDOW), and
// EndDialog called from a nested SendMessageW ends the loop once the messages
// in progress have returned, with its result, after WM_DESTROY.
TEST_P(OsContract, ProgramDialogMessageOrderAndEndDialogFromANestedCall) {
  INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
  ASSERT_TRUE(os().InitCommonControlsEx(&icc));
  DialogLog log;
  log.os = &os();
  g_dialog = &log;
  INT_PTR result = 0;
  DWORD error = 0;
  side_->WithScreen([&] {
    result = os().DialogBoxParamW(os().GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_KV27MFIRMWAREUPDATE_DIALOG),
                                  nullptr, &RecordingDialogProc, 0);
    error = os().GetLastError();
  });
  g_dialog = nullptr;
  EXPECT_EQ(result, 77) << error;
  EXPECT_EQ(log.messages, (std::vector<UINT>{WM_INITDIALOG, WM_SHOWWINDOW, kStart, kNested, kStart, WM_DESTROY}));
  EXPECT_NE(log.initFocus, nullptr);
}

// ------------------------------------------------------------------ the implementations

std::unique_ptr<Side> MakeWorld() { return std::make_unique<WorldSide>(); }
INSTANTIATE_TEST_SUITE_P(World, OsContract, ::testing::Values(Implementation{"World", &MakeWorld}),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(World, PipeContract, ::testing::Values(Implementation{"World", &MakeWorld}),
                         [](const auto& info) { return std::string(info.param.name); });

#if defined(_WIN32)
std::unique_ptr<Side> MakeReal() { return std::make_unique<RealSide>(); }
INSTANTIATE_TEST_SUITE_P(Real, OsContract, ::testing::Values(Implementation{"Real", &MakeReal}),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Real, PipeContract, ::testing::Values(Implementation{"Real", &MakeReal}),
                         [](const auto& info) { return std::string(info.param.name); });
#endif

}  // namespace
}  // namespace kv27
