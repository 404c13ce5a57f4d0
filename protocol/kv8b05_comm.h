// The bootloader link: the mouse's in-system-programming (ISP) bootloader,
// reached as a WinUSB device interface of its own class.
//
// Every flash operation starts with a 10-byte command packet on the bulk OUT
// pipe. Erase, block write and block read answer with one status byte on the
// bulk IN pipe (0 = success); verify, read protection and exit ISP answer
// nothing. Blocks are 64 bytes, addressed by a big-endian 16-bit byte offset in
// packet bytes 5-6.
//
// Results: Open and Close return 0 or a Windows error code (also kept in
// lastError); the flash operations return 1 for success and 0 for failure. A
// flash operation on a closed link sets lastError to ERROR_INVALID_HANDLE and
// puts nothing on the wire; a failed transfer, a short transfer or a non-zero
// status byte leaves lastError as it was.
//
// Threads: one thread at a time per link (the command packet is a member); no
// locks are taken.
#pragma once

#include <functional>
#include <string>

#include "platform/os_api.h"

namespace kv27 {
using namespace w32;

// {6E0B2F48-95D1-4C37-B2A6-1F9D83E45C70}: the device-interface class under
// which the bootloader's WinUSB interface is registered. Nothing else
// identifies the bootloader.
inline constexpr GUID IspInterfaceGuid = {0x6E0B2F48, 0x95D1, 0x4C37, {0xB2, 0xA6, 0x1F, 0x9D, 0x83, 0xE4, 0x5C, 0x70}};

// Flash geometry and packet layout.
inline constexpr DWORD kIspFlashSize = 0x4000;           // 16 KiB, written from offset 0
inline constexpr DWORD kIspBlockSize = 64;               // bytes per write/read block
inline constexpr DWORD kIspPacketSize = 10;              // command packet
inline constexpr DWORD kIspLastBlock = 0x3FC0;           // its bytes 59..63 are always sent as 0xFF
inline constexpr DWORD kIspReservedOffset = 0x3FFB;      // first of the five bytes never programmed from data
inline constexpr DWORD kIspMaxTransferLength = 0x10000;  // what the 16-bit offset field can address

// Command codes (packet byte 0).
inline constexpr UCHAR kIspCmdErase = 0x25;
inline constexpr UCHAR kIspCmdWrite = 0x28;
inline constexpr UCHAR kIspCmdRead = 0x2A;
inline constexpr UCHAR kIspCmdVerify = 0x2F;
inline constexpr UCHAR kIspCmdReadProtect = 0x2C;
inline constexpr UCHAR kIspCmdExitIsp = 0x20;

// Transfer time-out of both bulk pipes: a bootloader that stays on the bus but
// stops answering ends the step in progress instead of blocking its caller for
// ever. Well above the slowest erase.
inline constexpr DWORD kIspPipeTimeoutMs = 5000;

// Longest device path the link keeps, terminator included.
inline constexpr DWORD kIspMaxPath = 260;

// Win32's "file name too long" code, which Open returns for a path that does
// not fit devicePath.
inline constexpr DWORD kIspErrorPathTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE

// Which bootloader interfaces a search may take, by device path (empty: any).
using IspAccept = std::function<bool(const std::u16string& path)>;

// Looks for a present bootloader interface. Returns 1 with `path` set to the
// device path of the first interface the platform lists (of those `accept`
// takes), or 0 with `path` untouched.
BOOL FindIspDevice(OsApi& os, std::u16string& path, const IspAccept& accept = {});

class CKV8B05Comm {
 public:
  explicit CKV8B05Comm(OsApi& os);
  // Closes the link if it is still open, so that the handles are released with
  // the object rather than with the process.
  virtual ~CKV8B05Comm();
  CKV8B05Comm(const CKV8B05Comm&) = delete;
  CKV8B05Comm& operator=(const CKV8B05Comm&) = delete;

  // Opens the device path, initialises WinUSB on it and picks the bulk pipes of
  // alternate setting 0. Returns 0, ERROR_ALREADY_INITIALIZED on an open link
  // (which stays as it was), kIspErrorPathTooLong for a path of more than
  // kIspMaxPath - 1 units, ERROR_INVALID_PARAMETER for a null path, or the
  // platform's error code. Succeeds even when a direction has no bulk pipe;
  // that direction's pipe id is then 0 and every transfer on it fails. Both
  // bulk pipes get a transfer time-out of kIspPipeTimeoutMs: a transfer the
  // device leaves unanswered fails with ERROR_SEM_TIMEOUT.
  virtual DWORD Open(LPCWSTR path);
  // Returns 0, or ERROR_CANTOPEN when the link is not open.
  virtual DWORD Close();

  // Erases the whole flash.
  BOOL EraseFlash();
  // Programs `length` bytes from flash offset 0, block by block. A partial last
  // block is padded with 0xFF; the block at kIspLastBlock always carries 0xFF in
  // its bytes 59..63. `written` counts the data bytes of acknowledged blocks.
  // Lengths above kIspMaxTransferLength are refused (ERROR_INVALID_PARAMETER)
  // before anything is sent.
  BOOL WriteFlash(const BYTE* data, DWORD length, DWORD& written);
  // Reads `length` bytes from flash offset 0 into `buffer`; `read` counts the
  // bytes delivered. A block's bytes are delivered only once its status byte
  // has come back as 0. Same length limit as WriteFlash.
  BOOL ReadFlash(BYTE* buffer, DWORD length, DWORD& read);
  // These three succeed when their command packet was accepted; the bootloader
  // answers nothing.
  BOOL VerifyFlash();
  BOOL SetReadProtection();
  BOOL ExitIsp();

  DWORD lastError = 0;
  WCHAR devicePath[kIspMaxPath] = {};
  HANDLE deviceHandle = nullptr;  // the link is open exactly while this is non-null
  WINUSB_INTERFACE_HANDLE winUsbHandle = nullptr;
  UCHAR bulkInPipe = 0;   // endpoint address with bit 7 set
  UCHAR bulkOutPipe = 0;  // endpoint address with bit 7 clear
  UCHAR command[kIspPacketSize] = {};

 private:
  // False (lastError = ERROR_INVALID_HANDLE) when the link is closed.
  bool Guard();
  void ReleaseHandles();
  bool SendCommand(UCHAR code, DWORD offset, UCHAR blockLength);
  bool WriteExact(PUCHAR data, ULONG length);
  bool ReadExact(PUCHAR data, ULONG length);
  bool ReadStatus();

  OsApi& os_;
};

}  // namespace kv27
