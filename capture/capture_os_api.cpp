#include "capture/capture_os_api.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "capture/capture_state.h"

namespace kv27::capture {

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    else if (c >= 0xD800 && c < 0xE000)
      c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(g.Data1),
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return text;
}

bool ParseGuid(const std::string& text, GUID* guid) {
  unsigned v[11] = {};
  if (text.size() != 38 || std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &v[0], &v[1], &v[2],
                                       &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10]) != 11)
    return false;
  guid->Data1 = v[0];
  guid->Data2 = static_cast<std::uint16_t>(v[1]);
  guid->Data3 = static_cast<std::uint16_t>(v[2]);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<std::uint8_t>(v[3 + i]);
  return true;
}

// ---------------------------------------------------------------- file sink

DWORD FileCaptureSink::Open(bool replace) {
  Close();
  file_ = os_.CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, replace ? CREATE_ALWAYS : CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file_ == INVALID_HANDLE_VALUE) {
    const DWORD error = os_.GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
  }
  return ERROR_SUCCESS;
}

bool FileCaptureSink::Write(const std::uint8_t* data, std::size_t size) {
  if (file_ == INVALID_HANDLE_VALUE) return false;
  while (size != 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 20));
    DWORD written = 0;
    if (!os_.WriteFile(file_, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool FileCaptureSink::Close() {
  if (file_ == INVALID_HANDLE_VALUE) return true;
  const BOOL ok = os_.CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
  return ok != FALSE;
}

// ---------------------------------------------------------------- the boundary

CaptureOsApi::CaptureOsApi(OsApi& inner, CaptureSink& sink, CaptureOptions options)
    : ForwardingOsApi(inner), impl_(std::make_unique<Impl>(inner, sink, std::move(options))) {}

CaptureOsApi::~CaptureOsApi() { Finish(); }

void CaptureOsApi::Note(const std::string& kind, const std::vector<std::pair<std::string, std::string>>& fields) {
  Impl::Locked lock(*impl_);
  impl_->NoteLocked(kind, fields);
}

bool CaptureOsApi::Finish() {
  // A write under way ends first; the rest is written here.
  std::lock_guard<std::mutex> file(impl_->fileLock);
  bool close = false;
  {
    std::lock_guard<StateLock> lock(impl_->state);
    if (!impl_->finished) {
      impl_->finished = true;
      impl_->HandOver();
      close = true;
    }
  }
  if (close) {
    const DWORD error = inner_.GetLastError();
    bool ok = impl_->writingSize == 0 || impl_->sink.Write(impl_->writing.data(), impl_->writingSize);
    ok = impl_->sink.Close() && ok;
    inner_.SetLastError(error);
    std::lock_guard<StateLock> lock(impl_->state);
    if (!ok) impl_->failed = true;
  }
  std::lock_guard<StateLock> lock(impl_->state);
  return !impl_->failed;
}

std::uint32_t CaptureOsApi::Records() {
  Impl::Locked lock(*impl_);
  return impl_->records;
}

HANDLE CaptureOsApi::CreateFileW(LPCWSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                                 DWORD disposition, DWORD flags, HANDLE templateFile) {
  HANDLE handle = inner_.CreateFileW(path, access, share, security, disposition, flags, templateFile);
  if (!IsDevicePath(path)) return handle;
  const bool forIo = path[2] == u'?' && (access & (GENERIC_READ | GENERIC_WRITE)) != 0;
  if (handle == INVALID_HANDLE_VALUE) {
    // A device interface that refuses to open for I/O: the run saw it.
    if (!forIo) return handle;
    const DWORD error = inner_.GetLastError();
    Impl::Locked lock(*impl_);
    if (!impl_->finished) {
      const std::u16string original = Terminated(path, 4096);
      impl_->InterfaceAt(Lower(original), &original);
      Impl::Life& life = impl_->LifeFor(Lower(original));
      impl_->NoteLocked("open", {{"life", std::to_string(life.id)}, {"error", std::to_string(error)}});
    }
    inner_.SetLastError(error);
    return handle;
  }
  Impl::Locked lock(*impl_);
  const std::u16string original = Terminated(path, 4096);
  const std::u16string key = Lower(original);
  Impl::Handle h;
  h.path = key;
  if (path[2] == u'.') {
    h.kind = Impl::Kind::Hub;
  } else {
    Impl::Interface& i = impl_->InterfaceAt(key, &original);
    h.kind = i.kind;
  }
  auto& stored = impl_->handles[handle] = h;
  // A device interface opened for I/O is in the run's use from here, traffic
  // or not. A HID interface is described now; a WinUSB device once its
  // interface has been queried, at its first transfer.
  if (forIo && !impl_->finished) {
    const DWORD error = inner_.GetLastError();
    stored.life = &impl_->LifeFor(key);
    impl_->NoteLocked("open", {{"life", std::to_string(stored.life->id)}, {"error", "0"}});
    if (h.kind == Impl::Kind::Hid) impl_->LifeOf(stored);
    inner_.SetLastError(error);
  }
  return handle;
}

BOOL CaptureOsApi::CloseHandle(HANDLE handle) {
  {
    Impl::Locked lock(*impl_);
    if (impl_->handles.Erase(handle)) {
      // Closing cancels what is still pending on the handle, taken in the
      // order of their OVERLAPPED records.
      std::vector<Impl::Pending> cancelled;
      for (std::size_t i = 0; i < impl_->pending.size();) {
        if (impl_->pending[i].file != handle) {
          ++i;
          continue;
        }
        cancelled.push_back(impl_->pending[i]);
        impl_->DropPending(&impl_->pending[i]);
      }
      std::sort(cancelled.begin(), cancelled.end(), [](const Impl::Pending& a, const Impl::Pending& b) {
        return std::less<const OVERLAPPED*>()(a.overlapped, b.overlapped);
      });
      for (const auto& p : cancelled)
        impl_->Complete(*p.life, p.endpoint, kTransferInterrupt, p.irp, ERROR_OPERATION_ABORTED, nullptr, 0);
    }
  }
  return inner_.CloseHandle(handle);
}

BOOL CaptureOsApi::ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped) {
  std::uint64_t irp = 0;
  Impl::Life* life = nullptr;
  UCHAR endpoint = 0;
  {
    Impl::Locked lock(*impl_);
    Impl::Handle* h = impl_->handles.Find(file);
    if (h != nullptr && h->kind == Impl::Kind::Hid && !impl_->finished) {
      endpoint = impl_->HidEndpoints(*h).first;
      life = h->life;
      irp = impl_->Submit(*life, endpoint, kTransferInterrupt, nullptr, 0);
      // Registered before the call: the transfer may complete, and another
      // thread learn of it, before this one returns.
      if (overlapped != nullptr) impl_->AddPending({overlapped, file, true, buffer, toRead, irp, life, endpoint});
    }
  }
  const BOOL ok = inner_.ReadFile(file, buffer, toRead, read, overlapped);
  if (life == nullptr) return ok;
  // Only a failure is read and put back: nothing the capture does on success
  // sets the last error (a file write keeps it).
  const DWORD error = ok ? ERROR_SUCCESS : inner_.GetLastError();
  if (!ok && overlapped != nullptr && error == ERROR_IO_PENDING) return ok;  // completes later
  {
    Impl::Locked lock(*impl_);
    bool mine = true;
    if (overlapped != nullptr) {
      Impl::Pending* p = impl_->PendingOf(overlapped);
      mine = p != nullptr && p->irp == irp;
      if (mine) impl_->DropPending(p);
    }
    if (mine) {
      if (ok) {
        const DWORD n = read != nullptr ? *read : static_cast<DWORD>(overlapped->InternalHigh);
        impl_->Complete(*life, endpoint, kTransferInterrupt, irp, ERROR_SUCCESS,
                        static_cast<const std::uint8_t*>(buffer), std::min(n, toRead));
      } else {
        impl_->Failed(*life, error);
        impl_->Complete(*life, endpoint, kTransferInterrupt, irp, error, nullptr, 0);
      }
    }
  }
  if (!ok) inner_.SetLastError(error);
  return ok;
}

BOOL CaptureOsApi::WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped) {
  std::uint64_t irp = 0;
  Impl::Life* life = nullptr;
  UCHAR endpoint = 0;
  {
    Impl::Locked lock(*impl_);
    Impl::Handle* h = impl_->handles.Find(file);
    if (h != nullptr && h->kind == Impl::Kind::Hid && !impl_->finished) {
      endpoint = impl_->HidEndpoints(*h).second;
      if (endpoint == 0) endpoint = 0x01;
      life = h->life;
      irp = impl_->Submit(*life, endpoint, kTransferInterrupt, static_cast<const std::uint8_t*>(buffer), toWrite);
      if (overlapped != nullptr) impl_->AddPending({overlapped, file, false, buffer, toWrite, irp, life, endpoint});
    }
  }
  const BOOL ok = inner_.WriteFile(file, buffer, toWrite, written, overlapped);
  if (life == nullptr) return ok;
  // Only a failure is read and put back: nothing the capture does on success
  // sets the last error (a file write keeps it).
  const DWORD error = ok ? ERROR_SUCCESS : inner_.GetLastError();
  if (!ok && overlapped != nullptr && error == ERROR_IO_PENDING) return ok;  // completes later
  {
    Impl::Locked lock(*impl_);
    bool mine = true;
    if (overlapped != nullptr) {
      Impl::Pending* p = impl_->PendingOf(overlapped);
      mine = p != nullptr && p->irp == irp;
      if (mine) impl_->DropPending(p);
    }
    if (mine) {
      if (ok) {
        const DWORD n = written != nullptr ? *written : static_cast<DWORD>(overlapped->InternalHigh);
        impl_->Complete(*life, endpoint, kTransferInterrupt, irp, ERROR_SUCCESS, nullptr, 0, toWrite, n);
      } else {
        impl_->Failed(*life, error);
        impl_->Complete(*life, endpoint, kTransferInterrupt, irp, error, nullptr, 0, toWrite, 0);
      }
    }
  }
  if (!ok) inner_.SetLastError(error);
  return ok;
}

BOOL CaptureOsApi::GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, LPDWORD transferred, BOOL wait) {
  const BOOL ok = inner_.GetOverlappedResult(file, overlapped, transferred, wait);
  const DWORD error = ok ? ERROR_SUCCESS : inner_.GetLastError();
  if (!ok && error == ERROR_IO_INCOMPLETE) return ok;  // still running
  {
    Impl::Locked lock(*impl_);
    Impl::Pending* found = impl_->PendingOf(overlapped);
    if (found != nullptr && found->file == file) {
      const Impl::Pending p = *found;
      impl_->DropPending(found);
      const DWORD n = transferred != nullptr ? *transferred : static_cast<DWORD>(overlapped->InternalHigh);
      if (ok && p.read) {
        impl_->Complete(*p.life, p.endpoint, kTransferInterrupt, p.irp, ERROR_SUCCESS,
                        static_cast<const std::uint8_t*>(p.buffer), std::min(n, p.length));
      } else if (ok) {
        impl_->Complete(*p.life, p.endpoint, kTransferInterrupt, p.irp, ERROR_SUCCESS, nullptr, 0, p.length, n);
      } else {
        impl_->Failed(*p.life, error);
        impl_->Complete(*p.life, p.endpoint, kTransferInterrupt, p.irp, error, nullptr, 0, p.read ? 0 : p.length, 0);
      }
    }
  }
  if (!ok) inner_.SetLastError(error);
  return ok;
}

BOOL CaptureOsApi::DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                   LPDWORD returned, OVERLAPPED* overlapped) {
  std::u16string hub;
  {
    Impl::Locked lock(*impl_);
    Impl::Handle* h = impl_->handles.Find(device);
    if (h != nullptr && h->kind == Impl::Kind::Hub) hub = h->path;
  }
  if (hub.empty()) return inner_.DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);

  if (code == IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION && in != nullptr &&
      inSize >= sizeof(USB_DESCRIPTOR_REQUEST)) {
    USB_DESCRIPTOR_REQUEST request{};
    std::memcpy(&request, in, sizeof request);
    // The hub driver puts a standard GET_DESCRIPTOR on the bus with the
    // request's value, index and length.
    const std::uint8_t setup[8] = {0x80,
                                   6,
                                   static_cast<std::uint8_t>(request.SetupPacket.wValue),
                                   static_cast<std::uint8_t>(request.SetupPacket.wValue >> 8),
                                   static_cast<std::uint8_t>(request.SetupPacket.wIndex),
                                   static_cast<std::uint8_t>(request.SetupPacket.wIndex >> 8),
                                   static_cast<std::uint8_t>(request.SetupPacket.wLength),
                                   static_cast<std::uint8_t>(request.SetupPacket.wLength >> 8)};
    Impl::Life* life = nullptr;
    std::uint64_t irp = 0;
    {
      Impl::Locked lock(*impl_);
      if (!impl_->finished) {
        const ULONG connection = request.ConnectionIndex;  // out of a byte-packed record
        life = &impl_->PortLife({hub, connection});
        irp = impl_->ControlSetup(*life, setup, kUrbGetDescriptorFromDevice, {});
      }
    }
    DWORD got = 0;
    const BOOL ok = inner_.DeviceIoControl(device, code, in, inSize, out, outSize, &got, overlapped);
    if (returned != nullptr) *returned = got;
    const DWORD error = inner_.GetLastError();
    if (life != nullptr) {
      Impl::Locked lock(*impl_);
      const DWORD header = sizeof(USB_DESCRIPTOR_REQUEST);
      const DWORD n = ok && out != nullptr && got > header && outSize > header ? std::min(got, outSize) - header : 0;
      if (ok) {
        impl_->ControlComplete(*life, irp, ERROR_SUCCESS, static_cast<const std::uint8_t*>(out) + header, n);
      } else {
        impl_->Failed(*life, error);
        impl_->ControlComplete(*life, irp, error != 0 ? error : ERROR_GEN_FAILURE, nullptr, 0);
      }
    }
    inner_.SetLastError(error);
    return ok;
  }

  DWORD got = 0;
  const BOOL ok = inner_.DeviceIoControl(device, code, in, inSize, out, outSize, &got, overlapped);
  if (returned != nullptr) *returned = got;
  if (ok && code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION && out != nullptr &&
      got >= sizeof(USB_NODE_CONNECTION_INFORMATION) && outSize >= got) {
    const DWORD error = inner_.GetLastError();
    Impl::Locked lock(*impl_);
    Impl::Port port;
    std::memcpy(&port.info, out, sizeof port.info);
    const auto* bytes = static_cast<const std::uint8_t*>(out);
    const DWORD room = (got - sizeof(USB_NODE_CONNECTION_INFORMATION)) / sizeof(USB_PIPE_INFO);
    // The record is byte-packed: its fields are copied out, never bound to a
    // reference (std::min, a pair's constructor).
    const DWORD openPipes = port.info.NumberOfOpenPipes;
    const ULONG connection = port.info.ConnectionIndex;
    const DWORD pipes = std::min<DWORD>(openPipes, room);
    for (DWORD p = 0; p < pipes; ++p) {
      USB_PIPE_INFO info{};
      std::memcpy(&info, bytes + sizeof(USB_NODE_CONNECTION_INFORMATION) + p * sizeof(USB_PIPE_INFO), sizeof info);
      port.pipes.push_back(info.EndpointDescriptor);
    }
    impl_->ports[{hub, connection}] = port;
    inner_.SetLastError(error);
  }
  return ok;
}

HDEVINFO CaptureOsApi::SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent, DWORD flags) {
  HDEVINFO set = inner_.SetupDiGetClassDevsW(classGuid, enumerator, parent, flags);
  if (set != INVALID_HANDLE_VALUE && classGuid != nullptr) {
    Impl::Locked lock(*impl_);
    impl_->listings[set] = Impl::Listing{*classGuid, {}};
  }
  return set;
}

BOOL CaptureOsApi::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* devInfo, const GUID* classGuid,
                                               DWORD index, SP_DEVICE_INTERFACE_DATA* data) {
  const BOOL ok = inner_.SetupDiEnumDeviceInterfaces(set, devInfo, classGuid, index, data);
  if (ok) return ok;
  const DWORD error = inner_.GetLastError();
  if (error == ERROR_NO_MORE_ITEMS) {
    // A whole listing: a device of the class with traffic that is not in it
    // has gone.
    Impl::Locked lock(*impl_);
    auto it = impl_->listings.find(set);
    if (it != impl_->listings.end()) {
      std::vector<Impl::Life*> gone;
      for (auto& [key, life] : impl_->active) {
        if (it->second.keys.count(key) != 0) continue;
        bool ofClass = false;
        for (const auto& [path, i] : impl_->interfaces)
          if (i.guid && *i.guid == it->second.guid && DeviceKey(path) == key) ofClass = true;
        if (ofClass) gone.push_back(life);
      }
      for (auto* life : gone) impl_->Remove(*life, "no longer listed by SetupAPI");
    }
  }
  inner_.SetLastError(error);
  return ok;
}

BOOL CaptureOsApi::SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                                    SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                                    DWORD* requiredSize, SP_DEVINFO_DATA* devInfo) {
  const BOOL ok = inner_.SetupDiGetDeviceInterfaceDetailW(set, data, detail, detailSize, requiredSize, devInfo);
  if (!ok || detail == nullptr || detailSize <= kDeviceInterfaceDetailFixedSize) return ok;
  const DWORD error = inner_.GetLastError();
  {
    Impl::Locked lock(*impl_);
    auto it = impl_->listings.find(set);
    const std::size_t units = (detailSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
    const std::u16string original = Terminated(detail->DevicePath, units);
    const std::u16string key = Lower(original);
    Impl::Interface& i = impl_->InterfaceAt(key, &original);
    if (it != impl_->listings.end()) {
      it->second.keys.insert(DeviceKey(key));
      impl_->Seen(i, it->second.guid);
    } else {
      impl_->Seen(i, std::nullopt);
    }
  }
  inner_.SetLastError(error);
  return ok;
}

BOOL CaptureOsApi::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  {
    Impl::Locked lock(*impl_);
    if (auto it = impl_->listings.find(set); it != impl_->listings.end()) {
      if (!impl_->ClassListed(it->second.guid)) impl_->classesListed.push_back(it->second.guid);
      impl_->listings.erase(it);
    }
  }
  return inner_.SetupDiDestroyDeviceInfoList(set);
}

BOOLEAN CaptureOsApi::HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) {
  const BOOLEAN ok = inner_.HidD_GetAttributes(device, attributes);
  if (ok && attributes != nullptr) {
    Impl::Locked lock(*impl_);
    if (Impl::Handle* h = impl_->handles.Find(device)) impl_->InterfaceAt(h->path).attributes = *attributes;
  }
  return ok;
}

BOOLEAN CaptureOsApi::HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
  const BOOLEAN ok = inner_.HidD_GetPreparsedData(device, data);
  if (ok && data != nullptr) {
    Impl::Locked lock(*impl_);
    if (Impl::Handle* h = impl_->handles.Find(device)) impl_->preparsed[*data] = h->path;
  }
  return ok;
}

BOOLEAN CaptureOsApi::HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
  {
    Impl::Locked lock(*impl_);
    impl_->preparsed.erase(data);
  }
  return inner_.HidD_FreePreparsedData(data);
}

NTSTATUS CaptureOsApi::HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) {
  const NTSTATUS status = inner_.HidP_GetCaps(data, caps);
  if (status == HIDP_STATUS_SUCCESS && caps != nullptr) {
    Impl::Locked lock(*impl_);
    if (auto p = impl_->preparsed.find(data); p != impl_->preparsed.end()) impl_->InterfaceAt(p->second).caps = *caps;
  }
  return status;
}

NTSTATUS CaptureOsApi::HidP_GetSpecificButtonCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                                  USAGE usage, HIDP_BUTTON_CAPS* caps, USHORT* length,
                                                  PHIDP_PREPARSED_DATA data) {
  const NTSTATUS status = inner_.HidP_GetSpecificButtonCaps(type, usagePage, linkCollection, usage, caps, length, data);
  if (status == HIDP_STATUS_SUCCESS && caps != nullptr && length != nullptr && *length != 0 && caps[0].ReportID != 0) {
    Impl::Locked lock(*impl_);
    if (auto p = impl_->preparsed.find(data); p != impl_->preparsed.end())
      impl_->InterfaceAt(p->second).reportId = caps[0].ReportID;
  }
  return status;
}

NTSTATUS CaptureOsApi::HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                                 USAGE usage, HIDP_VALUE_CAPS* caps, USHORT* length,
                                                 PHIDP_PREPARSED_DATA data) {
  const NTSTATUS status = inner_.HidP_GetSpecificValueCaps(type, usagePage, linkCollection, usage, caps, length, data);
  if (status == HIDP_STATUS_SUCCESS && caps != nullptr && length != nullptr && *length != 0 && caps[0].ReportID != 0) {
    Impl::Locked lock(*impl_);
    if (auto p = impl_->preparsed.find(data); p != impl_->preparsed.end())
      impl_->InterfaceAt(p->second).reportId = caps[0].ReportID;
  }
  return status;
}

BOOL CaptureOsApi::WinUsb_Initialize(HANDLE device, WINUSB_INTERFACE_HANDLE* handle) {
  const BOOL ok = inner_.WinUsb_Initialize(device, handle);
  if (ok && handle != nullptr) {
    Impl::Locked lock(*impl_);
    if (Impl::Handle* h = impl_->handles.Find(device)) {
      Impl::Handle& w = impl_->winusb[*handle];
      w = Impl::Handle{};
      w.path = h->path;
      w.kind = Impl::Kind::WinUsb;
      impl_->InterfaceAt(h->path).kind = Impl::Kind::WinUsb;
      h->kind = Impl::Kind::WinUsb;
    }
  }
  return ok;
}

BOOL CaptureOsApi::WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
  {
    Impl::Locked lock(*impl_);
    impl_->winusb.Erase(handle);
  }
  return inner_.WinUsb_Free(handle);
}

BOOL CaptureOsApi::WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting,
                                                 USB_INTERFACE_DESCRIPTOR* descriptor) {
  const BOOL ok = inner_.WinUsb_QueryInterfaceSettings(handle, alternateSetting, descriptor);
  if (ok && alternateSetting == 0 && descriptor != nullptr) {
    Impl::Locked lock(*impl_);
    if (Impl::Handle* w = impl_->winusb.Find(handle)) impl_->InterfaceAt(w->path).usbInterface = *descriptor;
  }
  return ok;
}

BOOL CaptureOsApi::WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting, UCHAR pipeIndex,
                                    WINUSB_PIPE_INFORMATION* pipe) {
  const BOOL ok = inner_.WinUsb_QueryPipe(handle, alternateSetting, pipeIndex, pipe);
  if (ok && alternateSetting == 0 && pipe != nullptr) {
    Impl::Locked lock(*impl_);
    if (Impl::Handle* w = impl_->winusb.Find(handle)) {
      auto& pipes = impl_->InterfaceAt(w->path).pipes;
      auto same = std::find_if(pipes.begin(), pipes.end(), [&](const auto& p) { return p.PipeId == pipe->PipeId; });
      if (same != pipes.end())
        *same = *pipe;
      else
        pipes.push_back(*pipe);
      // The transfer types the handles worked out may have changed.
      for (auto& [key, other] : impl_->winusb.all()) other.transferOf = {};
    }
  }
  return ok;
}

BOOL CaptureOsApi::WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                                    PULONG transferred, OVERLAPPED* overlapped) {
  // The system moves pipe data synchronously only; an overlapped pipe
  // transfer passes uncaptured.
  Impl::Life* life = nullptr;
  std::uint64_t irp = 0;
  std::uint8_t transfer = kTransferBulk;
  if (overlapped == nullptr) {
    Impl::Locked lock(*impl_);
    Impl::Handle* w = impl_->winusb.Find(handle);
    if (w != nullptr && !impl_->finished) {
      life = &impl_->LifeOf(*w);
      transfer = impl_->PipeTransfer(*w, pipeId);
      irp = impl_->Submit(*life, pipeId, transfer, buffer, buffer != nullptr ? length : 0);
    }
  }
  ULONG moved = 0;
  const BOOL ok = inner_.WinUsb_WritePipe(handle, pipeId, buffer, length, &moved, overlapped);
  if (transferred != nullptr) *transferred = moved;
  if (life == nullptr) return ok;
  if (ok) {
    // A completion calls nothing that sets the last error (a file write keeps
    // it): the inner call's stays.
    Impl::Locked lock(*impl_);
    impl_->Complete(*life, pipeId, transfer, irp, ERROR_SUCCESS, nullptr, 0, length, moved);
    return ok;
  }
  const DWORD error = inner_.GetLastError();
  {
    Impl::Locked lock(*impl_);
    impl_->Failed(*life, error);
    impl_->Complete(*life, pipeId, transfer, irp, error, nullptr, 0, length, 0);
  }
  inner_.SetLastError(error);
  return ok;
}

BOOL CaptureOsApi::WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                                   PULONG transferred, OVERLAPPED* overlapped) {
  Impl::Life* life = nullptr;
  std::uint64_t irp = 0;
  std::uint8_t transfer = kTransferBulk;
  if (overlapped == nullptr) {
    Impl::Locked lock(*impl_);
    Impl::Handle* w = impl_->winusb.Find(handle);
    if (w != nullptr && !impl_->finished) {
      life = &impl_->LifeOf(*w);
      transfer = impl_->PipeTransfer(*w, pipeId);
      irp = impl_->Submit(*life, pipeId, transfer, nullptr, 0);
    }
  }
  ULONG moved = 0;
  const BOOL ok = inner_.WinUsb_ReadPipe(handle, pipeId, buffer, length, &moved, overlapped);
  if (transferred != nullptr) *transferred = moved;
  if (life == nullptr) return ok;
  if (ok) {
    Impl::Locked lock(*impl_);
    impl_->Complete(*life, pipeId, transfer, irp, ERROR_SUCCESS, buffer,
                    buffer != nullptr ? std::min<ULONG>(moved, length) : 0);
    return ok;
  }
  const DWORD error = inner_.GetLastError();
  {
    Impl::Locked lock(*impl_);
    impl_->Failed(*life, error);
    impl_->Complete(*life, pipeId, transfer, irp, error, buffer, 0);
  }
  inner_.SetLastError(error);
  return ok;
}

}  // namespace kv27::capture
