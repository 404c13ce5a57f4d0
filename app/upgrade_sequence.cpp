#include "app/upgrade_sequence.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "hid/hid_comm.h"
#include "image/image_file.h"
#include "protocol/isp_flash.h"
#include "protocol/kv27_usb_comm.h"
#include "protocol/kv8b05_comm.h"
#include "res/resource.h"
#include "usbmon/usb_device_monitor.h"

namespace kv27 {

namespace {
UpgradeStatus FromImageError(ImageFileError error);
UpgradeStatus FromFlashResult(IspFlashResult result);
}  // namespace

const char16_t* UpgradeMessage(UpgradeStatus status) {
  switch (status) {
    case UpgradeStatus::Success:
      return IspFlashMessage(IspFlashResult::Success);
    case UpgradeStatus::MouseAbsent:
      return u"请插入需要升级的USB设备！";
    case UpgradeStatus::NoImagePath:
      return u"请选择镜像文件！";
    case UpgradeStatus::OutOfMemory:
      return ImageFileErrorText(ImageFileError::OutOfMemory);
    case UpgradeStatus::ImageOpenFailed:
      return ImageFileErrorText(ImageFileError::OpenFailed);
    case UpgradeStatus::HeaderReadFailed:
      return ImageFileErrorText(ImageFileError::HeaderReadFailed);
    case UpgradeStatus::InvalidImage:
      return ImageFileErrorText(ImageFileError::InvalidImage);
    case UpgradeStatus::NotKv27Image:
      return ImageFileErrorText(ImageFileError::NotKv27Image);
    case UpgradeStatus::WrongImageName:
      return ImageFileErrorText(ImageFileError::WrongName);
    case UpgradeStatus::WrongChecksum:
      return ImageFileErrorText(ImageFileError::WrongChecksum);
    case UpgradeStatus::WrongLength:
      return ImageFileErrorText(ImageFileError::WrongLength);
    case UpgradeStatus::DecodeInitFailed:
      return ImageFileErrorText(ImageFileError::DecodeInitFailed);
    case UpgradeStatus::PayloadReadFailed:
      return ImageFileErrorText(ImageFileError::PayloadReadFailed);
    case UpgradeStatus::DecodeVerifyFailed:
      return ImageFileErrorText(ImageFileError::VerifyFailed);
    case UpgradeStatus::UserDataFailed:
      return u"读取用户数据失败！";
    case UpgradeStatus::BootloaderNotFound:
      return IspFlashMessage(IspFlashResult::NotFound);
    case UpgradeStatus::BootloaderOpenFailed:
      return IspFlashMessage(IspFlashResult::OpenFailed);
    case UpgradeStatus::EraseFailed:
      return IspFlashMessage(IspFlashResult::EraseFailed);
    case UpgradeStatus::WriteFailed:
      return IspFlashMessage(IspFlashResult::WriteFailed);
    case UpgradeStatus::ReadFailed:
      return IspFlashMessage(IspFlashResult::ReadFailed);
    case UpgradeStatus::CompareFailed:
      return IspFlashMessage(IspFlashResult::CompareFailed);
    case UpgradeStatus::VerifyFailed:
      return IspFlashMessage(IspFlashResult::VerifyFailed);
    case UpgradeStatus::ProtectFailed:
      return IspFlashMessage(IspFlashResult::ProtectFailed);
    case UpgradeStatus::ExitFailed:
      return IspFlashMessage(IspFlashResult::ExitFailed);
    case UpgradeStatus::MousePortUnknown:
      return u"无法确定需要升级的USB设备所在的端口！请重新插拔设备，之后重新执行升级程序！";
    case UpgradeStatus::Stopped:
      return u"";
  }
  return u"";
}

const char16_t* UpgradeMessage(UpgradeStatus status, UiLanguage language) {
  if (language == UiLanguage::Chinese) return UpgradeMessage(status);
  const char16_t* text = UiText(language, UpgradeMessageId(status));
  return text ? text : u"";
}

UINT UpgradeMessageId(UpgradeStatus status) {
  if (status == UpgradeStatus::Stopped) return 0;
  return IDS_UPGRADE_SUCCESS + static_cast<UINT>(status);
}
static_assert(IDS_UPGRADE_SUCCESS + static_cast<int>(UpgradeStatus::MousePortUnknown) == IDS_MOUSE_PORT_UNKNOWN,
              "the string table follows the statuses");
static_assert(IDS_UPGRADE_SUCCESS + static_cast<int>(UpgradeStatus::DecodeVerifyFailed) == IDS_DECODE_VERIFY_FAILED,
              "the string table follows the statuses");
static_assert(IDS_UPGRADE_SUCCESS + static_cast<int>(UpgradeStatus::ExitFailed) == IDS_EXIT_FAILED,
              "the string table follows the statuses");

UpgradeStatus UpgradeStatusOf(ImageFileError error) { return FromImageError(error); }
UpgradeStatus UpgradeStatusOf(IspFlashResult result) { return FromFlashResult(result); }

namespace {

UpgradeStatus FromImageError(ImageFileError error) {
  switch (error) {
    case ImageFileError::None:
      return UpgradeStatus::Success;
    case ImageFileError::OutOfMemory:
      return UpgradeStatus::OutOfMemory;
    case ImageFileError::OpenFailed:
      return UpgradeStatus::ImageOpenFailed;
    case ImageFileError::HeaderReadFailed:
      return UpgradeStatus::HeaderReadFailed;
    case ImageFileError::InvalidImage:
      return UpgradeStatus::InvalidImage;
    case ImageFileError::NotKv27Image:
      return UpgradeStatus::NotKv27Image;
    case ImageFileError::WrongName:
      return UpgradeStatus::WrongImageName;
    case ImageFileError::WrongChecksum:
      return UpgradeStatus::WrongChecksum;
    case ImageFileError::WrongLength:
      return UpgradeStatus::WrongLength;
    case ImageFileError::DecodeInitFailed:
      return UpgradeStatus::DecodeInitFailed;
    case ImageFileError::PayloadReadFailed:
      return UpgradeStatus::PayloadReadFailed;
    case ImageFileError::VerifyFailed:
      return UpgradeStatus::DecodeVerifyFailed;
  }
  return UpgradeStatus::InvalidImage;
}

UpgradeStatus FromFlashResult(IspFlashResult result) {
  switch (result) {
    case IspFlashResult::Success:
      return UpgradeStatus::Success;
    case IspFlashResult::NotFound:
      return UpgradeStatus::BootloaderNotFound;
    case IspFlashResult::OpenFailed:
      return UpgradeStatus::BootloaderOpenFailed;
    case IspFlashResult::EraseFailed:
      return UpgradeStatus::EraseFailed;
    case IspFlashResult::WriteFailed:
      return UpgradeStatus::WriteFailed;
    case IspFlashResult::ReadFailed:
      return UpgradeStatus::ReadFailed;
    case IspFlashResult::CompareFailed:
      return UpgradeStatus::CompareFailed;
    case IspFlashResult::VerifyFailed:
      return UpgradeStatus::VerifyFailed;
    case IspFlashResult::ProtectFailed:
      return UpgradeStatus::ProtectFailed;
    case IspFlashResult::ExitFailed:
      return UpgradeStatus::ExitFailed;
  }
  return UpgradeStatus::ExitFailed;
}

// The hub port of the mouse the run follows: the port that carries the device
// the link's command interface belongs to. `record` takes a copy of the
// port's connection record and `port` points at it: a device change handled
// inside the run (a write that finds the mouse gone) refreshes the monitor's
// table and may free the table's own.
bool LocateMouse(const GUID& hidClass, const UpgradeDevices& devices, USBDeviceEntry& port,
                 std::array<BYTE, kConnectionRecordSize>& record) {
  if (!devices.usbMonitor.FindDeviceOfInterface(hidClass, devices.mouseLink.devicePath, port)) return false;
  std::memcpy(record.data(), port.connection, record.size());
  port.connection = record.data();
  return true;
}

// From the bootloader search to leaving ISP mode, on the merged image.
// `accept` names the bootloaders that may be flashed (empty: any).
UpgradeStatus Flash(OsApi& os, const UpgradeDevices& devices, const std::uint8_t* image, std::uint8_t* readBack,
                    UpgradeFace& face, const IspAccept& accept = {}) {
  face.OnStage(UpgradeStage::WaitBootloader);
  bool flashing = false;
  IspFlashResult flash = RunIspFlash(
      os, devices.bootLink, image, readBack,
      [&](int percent) {
        if (!flashing) {
          flashing = true;
          face.OnStage(UpgradeStage::Flash);
        }
        face.SetProgress(percent);
      },
      [&](IspWaitPhase phase, DWORD elapsedMs, DWORD limitMs) {
        return face.OnWait(phase == IspWaitPhase::Search ? UpgradeStage::WaitBootloader : UpgradeStage::Flash,
                           elapsedMs, limitMs);
      },
      accept);
  return FromFlashResult(flash);
}

// Everything from the image check to leaving ISP mode. The working data (the
// image, the staging area, the read-back buffer) lives in this frame only, so
// it is released on every path before the caller shows the message.
UpgradeStatus RunSteps(OsApi& os, const UpgradeDevices& devices, const WCHAR* imagePath,
                       const USBDeviceEntry& mousePort, UpgradeFace& face) {
  face.SetProgress(0);

  // Allocation, open, header checks, payload read, descramble and verify; the
  // file is closed on every path.
  face.OnStage(UpgradeStage::CheckImage);
  ImageFileResult image = LoadImageFile(os, imagePath);
  if (!image.ok()) return FromImageError(image.error);
  face.SetProgress(10);

  face.OnMousePort(mousePort);
  // The user data, page by page; the first page that fails ends the run.
  face.OnStage(UpgradeStage::ReadUserData);
  std::uint8_t userData[kUserDataSize] = {};
  for (std::size_t page = 0; page < kUserDataPages; ++page) {
    if (!devices.mouseLink.ReadUserData(static_cast<BYTE>(page), userData + page * kUserDataPageSize))
      return UpgradeStatus::UserDataFailed;
  }
  std::memcpy(userData + kUserDataPages * kUserDataPageSize, userData + 6 * kUserDataPageSize, 6);
  std::memcpy(image.payload.data() + kUserDataOffset, userData, kUserDataSize);
  if (!face.OnUserDataRead(userData, kUserDataSize)) return UpgradeStatus::Stopped;

  std::vector<std::uint8_t> readBack;
  try {
    readBack.resize(kImagePayloadSize);
  } catch (const std::bad_alloc&) {
    return UpgradeStatus::OutOfMemory;
  }
  face.SetProgress(20);

  // The request that restarts the mouse into its bootloader goes to the
  // mouse's port, and only while the mouse is still there: its command
  // interface (named after its place on the bus) still answers the capability
  // query. Otherwise nothing is sent and the search below runs its whole
  // course.
  face.OnStage(UpgradeStage::RequestBootloader);
  HIDDeviceCaps caps{};
  if (devices.mouseLink.GetDeviceCaps(&caps)) devices.usbMonitor.GetDeviceString(&mousePort);

  // Only the bootloader that appears on that same port is this mouse's.
  return Flash(os, devices, image.payload.data(), readBack.data(), face, [&](const std::u16string& path) {
    return devices.usbMonitor.PortCarriesInterface(mousePort, IspInterfaceGuid, path.c_str());
  });
}

// A mouse already in its bootloader, whose interface is `bootloader`: the
// image, the settings the face gives for its port, the flash of that
// bootloader only.
UpgradeStatus RunBootloaderSteps(OsApi& os, const UpgradeDevices& devices, const WCHAR* imagePath,
                                 const std::u16string& bootloader, UpgradeFace& face) {
  face.SetProgress(0);
  face.OnStage(UpgradeStage::CheckImage);
  ImageFileResult image = LoadImageFile(os, imagePath);
  if (!image.ok()) return FromImageError(image.error);
  face.SetProgress(10);

  // Its port; the table may predate the bootloader's arrival, so it is read
  // again once before the port is taken for unknown.
  USBDeviceEntry port;
  std::array<BYTE, kConnectionRecordSize> record{};
  bool located = devices.usbMonitor.FindDeviceOfInterface(IspInterfaceGuid, bootloader.c_str(), port) != 0;
  if (!located) {
    devices.usbMonitor.Refresh();
    located = devices.usbMonitor.FindDeviceOfInterface(IspInterfaceGuid, bootloader.c_str(), port) != 0;
  }
  if (located) {
    std::memcpy(record.data(), port.connection, record.size());
    port.connection = record.data();
  }

  std::uint8_t userData[kUserDataSize];
  std::memcpy(userData, image.payload.data() + kUserDataOffset, kUserDataSize);
  if (!face.OnBootloaderUserData(userData, kUserDataSize, located ? &port : nullptr)) return UpgradeStatus::Stopped;
  std::memcpy(image.payload.data() + kUserDataOffset, userData, kUserDataSize);

  std::vector<std::uint8_t> readBack;
  try {
    readBack.resize(kImagePayloadSize);
  } catch (const std::bad_alloc&) {
    return UpgradeStatus::OutOfMemory;
  }
  face.SetProgress(20);
  return Flash(os, devices, image.payload.data(), readBack.data(), face, [&](const std::u16string& path) {
    return located ? devices.usbMonitor.PortCarriesInterface(port, IspInterfaceGuid, path.c_str()) : path == bootloader;
  });
}

}  // namespace

UpgradeStatus RunUpgrade(OsApi& os, const UpgradeDevices& devices, const WCHAR* imagePath, UpgradeFace& face) {
  // Presence comes before the path: with neither, only the mouse is asked for.
  // Then the mouse's port, before anything is read from or sent to a mouse.
  UpgradeStatus status;
  GUID hidClass{};
  USBDeviceEntry mousePort;
  std::array<BYTE, kConnectionRecordSize> record{};
  if (devices.mouseLink.device == nullptr) {
    status = UpgradeStatus::MouseAbsent;
  } else if (imagePath == nullptr || imagePath[0] == 0) {
    status = UpgradeStatus::NoImagePath;
  } else {
    os.HidD_GetHidGuid(&hidClass);
    if (!LocateMouse(hidClass, devices, mousePort, record))
      status = UpgradeStatus::MousePortUnknown;
    else
      status = RunSteps(os, devices, imagePath, mousePort, face);
  }
  if (status != UpgradeStatus::Stopped) face.ShowMessage(status, UpgradeMessage(status));
  return status;
}

UpgradeStatus RunBootloaderUpgrade(OsApi& os, const UpgradeDevices& devices, const WCHAR* imagePath,
                                   UpgradeFace& face) {
  std::u16string bootloader;
  UpgradeStatus status;
  if (!FindIspDevice(os, bootloader))
    status = UpgradeStatus::MouseAbsent;
  else if (imagePath == nullptr || imagePath[0] == 0)
    status = UpgradeStatus::NoImagePath;
  else
    status = RunBootloaderSteps(os, devices, imagePath, bootloader, face);
  if (status != UpgradeStatus::Stopped) face.ShowMessage(status, UpgradeMessage(status));
  return status;
}

}  // namespace kv27
