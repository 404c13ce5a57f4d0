// The real OsApi, exercised against the running system (Windows, or Wine on the
// Linux CI machine). Elsewhere MakeRealOsApi() has nothing to offer.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/os_api.h"

namespace kv27 {
namespace {

using namespace w32;

#if !defined(_WIN32)

TEST(RealOsApi, NotAvailableOffWindows) { EXPECT_EQ(MakeRealOsApi(), nullptr); }

#else

class RealOsApiTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(os_, nullptr); }

  // A name no other process of this run uses: program path and tick count.
  std::u16string UniqueName(const std::u16string& stem) {
    return u"Local\\kv27-" + stem + u"-" + Utf16(std::to_string(os_->GetTickCount())) + u"-" +
           Utf16(std::to_string(reinterpret_cast<std::uintptr_t>(this)));
  }
  static std::u16string Utf16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

  std::unique_ptr<OsApi> os_ = MakeRealOsApi();
};

TEST_F(RealOsApiTest, TickCountMovesWithSleep) {
  const DWORD before = os_->GetTickCount();
  os_->Sleep(60);
  const DWORD elapsed = os_->GetTickCount() - before;  // unsigned, wraps like the real one
  EXPECT_GE(elapsed, 40u);                             // the tick has a resolution of 10-16 ms
  EXPECT_LT(elapsed, 10000u);
}

TEST_F(RealOsApiTest, NamedEventIsSharedAndWaitsTimeOut) {
  const std::u16string name = UniqueName(u"event");
  HANDLE first = os_->CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_NE(os_->GetLastError(), ERROR_ALREADY_EXISTS);
  HANDLE second = os_->CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(os_->GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_NE(first, second);

  EXPECT_EQ(os_->WaitForSingleObject(first, 20), WAIT_TIMEOUT);
  EXPECT_TRUE(os_->SetEvent(second));
  EXPECT_EQ(os_->WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(os_->ResetEvent(first));
  EXPECT_EQ(os_->WaitForSingleObject(second, 0), WAIT_TIMEOUT);

  EXPECT_TRUE(os_->CloseHandle(first));
  EXPECT_TRUE(os_->CloseHandle(second));
}

TEST_F(RealOsApiTest, LastErrorIsPerCallAndClosingABadHandleFails) {
  os_->SetLastError(ERROR_GEN_FAILURE);
  EXPECT_EQ(os_->GetLastError(), ERROR_GEN_FAILURE);
  HANDLE missing = os_->CreateFileW(u"Z:\\kv27-no-such-folder\\no-such-file.bin", GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(missing, INVALID_HANDLE_VALUE);
  const DWORD error = os_->GetLastError();
  EXPECT_TRUE(error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) << error;
}

// A file beside the test program, written, then read back synchronously and
// through an OVERLAPPED transfer (the OVERLAPPED crosses the boundary as is).
// A scratch file beside the test program, removed at the end of the test.
class ScratchFileTest : public RealOsApiTest {
 protected:
  void SetUp() override {
    RealOsApiTest::SetUp();
    std::array<WCHAR, 1024> module{};
    const DWORD length = os_->GetModuleFileNameW(nullptr, module.data(), module.size());
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, module.size());
    path_ = std::u16string(module.data(), length) + u"." + Utf16(std::to_string(os_->GetTickCount())) + u".tmp";
  }
  void TearDown() override {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove(std::filesystem::path(path_), ignored);
  }
  std::u16string path_;
};

TEST_F(ScratchFileTest, FileWrittenAndReadBack) {
  const std::u16string& path = path_;
  const std::string text = "KV27 firmware upgrade: boundary check\r\n";
  HANDLE out = os_->CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(out, INVALID_HANDLE_VALUE) << os_->GetLastError();
  DWORD written = 0;
  EXPECT_TRUE(os_->WriteFile(out, text.data(), text.size(), &written, nullptr));
  EXPECT_EQ(written, text.size());
  EXPECT_TRUE(os_->CloseHandle(out));

  HANDLE in = os_->CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(in, INVALID_HANDLE_VALUE) << os_->GetLastError();
  std::string back(text.size() + 16, '\0');
  DWORD read = 0;
  EXPECT_TRUE(os_->ReadFile(in, back.data(), back.size(), &read, nullptr));
  EXPECT_EQ(back.substr(0, read), text);
  EXPECT_TRUE(os_->ReadFile(in, back.data(), back.size(), &read, nullptr));
  EXPECT_EQ(read, 0u);  // end of file
  EXPECT_TRUE(os_->CloseHandle(in));

  HANDLE async = os_->CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(async, INVALID_HANDLE_VALUE) << os_->GetLastError();
  OVERLAPPED ov{};
  ov.u.s.Offset = 5;
  ov.hEvent = os_->CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(ov.hEvent, nullptr);
  std::string part(4, '\0');
  if (!os_->ReadFile(async, part.data(), part.size(), nullptr, &ov)) {
    EXPECT_EQ(os_->GetLastError(), ERROR_IO_PENDING);
  }
  DWORD transferred = 0;
  EXPECT_TRUE(os_->GetOverlappedResult(async, &ov, &transferred, TRUE));
  EXPECT_EQ(transferred, 4u);
  EXPECT_EQ(part, text.substr(5, 4));
  EXPECT_EQ(os_->WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(os_->CloseHandle(ov.hEvent));
  EXPECT_TRUE(os_->CloseHandle(async));
}

// The device calls reach the HID class driver and the I/O manager, which refuse
// a plain file.
TEST_F(ScratchFileTest, DeviceCallsRefuseAPlainFile) {
  HANDLE file = os_->CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << os_->GetLastError();

  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof(attributes);
  EXPECT_FALSE(os_->HidD_GetAttributes(file, &attributes));
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  EXPECT_FALSE(os_->HidD_GetPreparsedData(file, &preparsed));

  // WinUsb_Initialize is left out: Wine 8 has it as a stub that aborts the process.

  std::array<BYTE, kConnectionRecordSize> record{};
  DWORD returned = 0;
  EXPECT_FALSE(os_->DeviceIoControl(file, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, record.data(), record.size(),
                                    record.data(), record.size(), &returned, nullptr));
  EXPECT_TRUE(os_->CloseHandle(file));
}

std::atomic<int> threadRuns{0};
DWORD KV_WINAPI CountRun(LPVOID parameter) {
  threadRuns += *static_cast<int*>(parameter);
  return 7;
}

TEST_F(RealOsApiTest, ThreadStartsSuspendedAndSignalsItsHandle) {
  threadRuns = 0;
  int step = 3;
  DWORD id = 0;
  HANDLE thread = os_->CreateThread(nullptr, 0, CountRun, &step, CREATE_SUSPENDED, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(os_->WaitForSingleObject(thread, 30), WAIT_TIMEOUT);
  EXPECT_EQ(threadRuns.load(), 0);
  EXPECT_EQ(os_->ResumeThread(thread), 1u);
  EXPECT_EQ(os_->WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(threadRuns.load(), 3);
  EXPECT_TRUE(os_->CloseHandle(thread));
}

TEST_F(RealOsApiTest, HidInterfacesEnumerateToNoMoreItems) {
  GUID hid{};
  os_->HidD_GetHidGuid(&hid);
  EXPECT_EQ(hid, GUID_DEVINTERFACE_HID);

  HDEVINFO set = os_->SetupDiGetClassDevsW(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(set, INVALID_HANDLE_VALUE) << os_->GetLastError();
  DWORD index = 0;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  for (; index < 1000; ++index) {
    if (!os_->SetupDiEnumDeviceInterfaces(set, nullptr, &hid, index, &data)) break;
    EXPECT_EQ(data.InterfaceClassGuid, hid);
    // Every interface present has a device path (the size is asked first).
    DWORD required = 0;
    EXPECT_FALSE(os_->SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(os_->GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_GT(required, kDeviceInterfaceDetailFixedSize);
    std::string storage(required, '\0');
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = kDeviceInterfaceDetailFixedSize;
    EXPECT_TRUE(os_->SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
    EXPECT_NE(detail->DevicePath[0], u'\0');
  }
  EXPECT_LT(index, 1000u);
  EXPECT_EQ(os_->GetLastError(), ERROR_NO_MORE_ITEMS);
  EXPECT_TRUE(os_->SetupDiDestroyDeviceInfoList(set));
}

TEST_F(RealOsApiTest, WindowMessagesAndNotifications) {
  const std::u16string name = UniqueName(u"message");
  const UINT id = os_->RegisterWindowMessageW(name.c_str());
  EXPECT_GE(id, 0xC000u);  // registered messages live in 0xC000..0xFFFF
  EXPECT_EQ(os_->RegisterWindowMessageW(name.c_str()), id);
  EXPECT_NE(os_->RegisterWindowMessageW((name + u"-other").c_str()), id);

  // No window: refused, as the boundary promises on every platform.
  EXPECT_FALSE(os_->PostMessageW(nullptr, id, 0, 0));
  EXPECT_EQ(os_->GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

INT_PTR KV_WINAPI NoDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// The dialog and resource calls' error paths, which the simulated window
// system reproduces: this program has no dialog, icon or bitmap resources.
TEST_F(RealOsApiTest, DialogAndResourceCallsFailAsTheWorldDoes) {
  HMODULE module = os_->GetModuleHandleW(nullptr);
  ASSERT_NE(module, nullptr);
  os_->SetLastError(0);
  EXPECT_EQ(os_->DialogBoxParamW(module, MAKEINTRESOURCEW(4321), nullptr, &NoDialogProc, 0), -1);
  const DWORD dialogError = os_->GetLastError();
  EXPECT_TRUE(dialogError == ERROR_RESOURCE_NAME_NOT_FOUND || dialogError == ERROR_RESOURCE_TYPE_NOT_FOUND ||
              dialogError == ERROR_RESOURCE_DATA_NOT_FOUND)
      << dialogError;
  EXPECT_EQ(os_->LoadBitmapW(module, MAKEINTRESOURCEW(4321)), nullptr);
  EXPECT_EQ(os_->LoadIconW(module, MAKEINTRESOURCEW(4321)), nullptr);
  EXPECT_EQ(os_->GetDlgItem(nullptr, 1), nullptr);
  EXPECT_FALSE(os_->EndDialog(nullptr, 0));
  EXPECT_GT(os_->GetSystemMetrics(SM_CXICON), 0);

  INITCOMMONCONTROLSEX wrongSize{4, ICC_PROGRESS_CLASS};
  EXPECT_FALSE(os_->InitCommonControlsEx(&wrongSize));
  INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
  EXPECT_TRUE(os_->InitCommonControlsEx(&icc));
}

TEST_F(RealOsApiTest, CodePageRoundTrip) {
  const std::u16string text = u"KV27 \u00e9\u4e2d";
  const int bytes = os_->WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  ASSERT_EQ(bytes, 11);  // 5 ASCII + 2 + 3 + terminator
  std::string utf8(bytes, '\0');
  ASSERT_EQ(os_->WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), bytes, nullptr, nullptr), bytes);
  EXPECT_EQ(utf8, std::string("KV27 \xC3\xA9\xE4\xB8\xAD", 11));
  std::u16string back(text.size() + 1, u'\0');
  ASSERT_EQ(os_->MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, back.data(), back.size()),
            static_cast<int>(text.size() + 1));
  back.pop_back();
  EXPECT_EQ(back, text);
}

#endif

}  // namespace
}  // namespace kv27
