// The simulated world: SetupAPI device-interface lists and the HID class driver.
#include "sim/world_impl.h"

namespace kv27::sim {

// ------------------------------------------------------------------ OsApi: SetupAPI

HDEVINFO World::SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR, HWND, DWORD flags) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("SetupDiGetClassDevsW", {})) {
    t_lastError = *f;
    return INVALID_HANDLE_VALUE;
  }
  if (!classGuid || !(flags & DIGCF_DEVICEINTERFACE) || (flags & DIGCF_ALLCLASSES)) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_shared<Impl::DevInfoObj>();
  set->classGuid = *classGuid;
  for (auto& p : impl_->paths)
    if (p.interfaceClass && *p.interfaceClass == *classGuid && (p.present || !(flags & DIGCF_PRESENT)))
      set->paths.push_back(p.path);
  Impl::Entry e{Impl::Kind::DevInfo};
  e.devinfo = set;
  t_lastError = 0;
  return impl_->Add(std::move(e));
}

BOOL World::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA*, const GUID* classGuid, DWORD index,
                                        SP_DEVICE_INTERFACE_DATA* data) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto* e = impl_->Find(set, Impl::Kind::DevInfo);
  std::u16string path;
  if (e && index < e->devinfo->paths.size()) path = e->devinfo->paths[index];
  if (auto f = impl_->Fault("SetupDiEnumDeviceInterfaces", path)) {
    t_lastError = *f;
    return FALSE;
  }
  if (!e) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || !classGuid) {
    t_lastError = ERROR_INVALID_USER_BUFFER;
    return FALSE;
  }
  if (!(*classGuid == e->devinfo->classGuid) || index >= e->devinfo->paths.size()) {
    t_lastError = ERROR_NO_MORE_ITEMS;
    return FALSE;
  }
  data->InterfaceClassGuid = e->devinfo->classGuid;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index + 1;
  t_lastError = 0;
  return TRUE;
}

BOOL World::SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                             SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                             DWORD* requiredSize, SP_DEVINFO_DATA* devInfo) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto* e = impl_->Find(set, Impl::Kind::DevInfo);
  std::u16string path;
  if (e && data && data->Reserved >= 1 && data->Reserved <= e->devinfo->paths.size())
    path = e->devinfo->paths[data->Reserved - 1];
  if (auto f = impl_->Fault("SetupDiGetDeviceInterfaceDetailW", path)) {
    t_lastError = *f;
    return FALSE;
  }
  if (!e) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (path.empty()) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  const DWORD required =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(WCHAR));
  if (requiredSize) *requiredSize = required;
  if (!detail) {
    t_lastError = detailSize ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  if (detail->cbSize != kDeviceInterfaceDetailFixedSize) {
    t_lastError = ERROR_INVALID_USER_BUFFER;
    return FALSE;
  }
  if (detailSize < required) {
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  // The device the interface belongs to; the caller states the record's size,
  // as for the detail record.
  if (devInfo != nullptr && devInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
    t_lastError = ERROR_INVALID_USER_BUFFER;
    return FALSE;
  }
  std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  if (devInfo != nullptr) {
    const DEVINST node = impl_->InterfaceNode(path);
    devInfo->ClassGuid = impl_->Node(node)->setupClass;
    devInfo->DevInst = node;
    devInfo->Reserved = data->Reserved;
  }
  t_lastError = 0;
  return TRUE;
}

BOOL World::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("SetupDiDestroyDeviceInfoList");
  if (!impl_->Find(set, Impl::Kind::DevInfo)) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  impl_->handles.erase(reinterpret_cast<std::uintptr_t>(set));
  return TRUE;
}

// ------------------------------------------------------------------ OsApi: HID

void World::HidD_GetHidGuid(GUID* guid) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("HidD_GetHidGuid");
  if (guid) *guid = GUID_DEVINTERFACE_HID;
}

BOOLEAN World::HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("HidD_GetAttributes", impl_->HandlePath(device))) {
    t_lastError = *f;
    return FALSE;
  }
  auto* e = impl_->Find(device, Impl::Kind::File);
  if (!e || !attributes) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (e->file->gone) {
    t_lastError = ERROR_DEVICE_NOT_CONNECTED;
    return FALSE;
  }
  HIDD_ATTRIBUTES a{};
  DWORD err = e->file->device->OnHidGetAttributes(*e->file, &a);
  if (err != ERROR_SUCCESS) {
    t_lastError = err;
    return FALSE;
  }
  a.Size = sizeof(HIDD_ATTRIBUTES);
  *attributes = a;
  return TRUE;
}

BOOLEAN World::HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("HidD_GetPreparsedData", impl_->HandlePath(device))) {
    t_lastError = *f;
    return FALSE;
  }
  auto* e = impl_->Find(device, Impl::Kind::File);
  if (!e || !data) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (e->file->gone) {
    t_lastError = ERROR_DEVICE_NOT_CONNECTED;
    return FALSE;
  }
  auto obj = std::make_shared<Impl::PreparsedObj>();
  DWORD err = e->file->device->OnHidGetDescription(*e->file, &obj->description);
  if (err != ERROR_SUCCESS) {
    t_lastError = err;
    return FALSE;
  }
  Impl::Entry entry{Impl::Kind::Preparsed};
  entry.preparsed = obj;
  *data = static_cast<PHIDP_PREPARSED_DATA>(impl_->Add(std::move(entry)));
  return TRUE;
}

BOOLEAN World::HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("HidD_FreePreparsedData");
  if (!impl_->Find(data, Impl::Kind::Preparsed)) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  impl_->handles.erase(reinterpret_cast<std::uintptr_t>(data));
  return TRUE;
}

NTSTATUS World::HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto* e = impl_->Find(data, Impl::Kind::Preparsed);
  if (auto f = impl_->Fault("HidP_GetCaps", {})) {
    if (caps) *caps = HIDP_CAPS{};
    return static_cast<NTSTATUS>(*f) == HIDP_STATUS_SUCCESS ? HIDP_STATUS_INVALID_PREPARSED_DATA
                                                            : static_cast<NTSTATUS>(*f);
  }
  if (!e || !caps) return HIDP_STATUS_INVALID_PREPARSED_DATA;
  const auto& d = e->preparsed->description;
  if (d.capsStatus != HIDP_STATUS_SUCCESS) {
    *caps = HIDP_CAPS{};
    return d.capsStatus;
  }
  *caps = d.caps;
  return HIDP_STATUS_SUCCESS;
}

namespace {
template <typename Caps>
NTSTATUS SelectCaps(const std::vector<Caps>& all, USAGE usagePage, USHORT link, USAGE usage, Caps* out,
                    USHORT* length) {
  std::vector<const Caps*> match;
  for (const auto& c : all) {
    if (usagePage && c.UsagePage != usagePage) continue;
    if (link && c.LinkCollection != link) continue;
    if (usage) {
      bool hit = c.IsRange ? (usage >= c.Range.UsageMin && usage <= c.Range.UsageMax) : c.NotRange.Usage == usage;
      if (!hit) continue;
    }
    match.push_back(&c);
  }
  USHORT room = *length;
  USHORT n = static_cast<USHORT>(std::min<size_t>(room, match.size()));
  for (USHORT i = 0; i < n; ++i) out[i] = *match[i];
  *length = n;
  if (match.empty()) return HIDP_STATUS_USAGE_NOT_FOUND;
  return match.size() > room ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}
}  // namespace

NTSTATUS World::HidP_GetSpecificButtonCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE usage,
                                           HIDP_BUTTON_CAPS* caps, USHORT* length, PHIDP_PREPARSED_DATA data) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("HidP_GetSpecificButtonCaps");
  auto* e = impl_->Find(data, Impl::Kind::Preparsed);
  if (!e || !length || (!caps && *length)) return HIDP_STATUS_INVALID_PREPARSED_DATA;
  if (type < HidP_Input || type > HidP_Feature) return static_cast<NTSTATUS>(0xC0110002u);
  return SelectCaps(e->preparsed->description.buttonCaps[type], usagePage, linkCollection, usage, caps, length);
}

NTSTATUS World::HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE usage,
                                          HIDP_VALUE_CAPS* caps, USHORT* length, PHIDP_PREPARSED_DATA data) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("HidP_GetSpecificValueCaps");
  auto* e = impl_->Find(data, Impl::Kind::Preparsed);
  if (!e || !length || (!caps && *length)) return HIDP_STATUS_INVALID_PREPARSED_DATA;
  if (type < HidP_Input || type > HidP_Feature) return static_cast<NTSTATUS>(0xC0110002u);
  return SelectCaps(e->preparsed->description.valueCaps[type], usagePage, linkCollection, usage, caps, length);
}

}  // namespace kv27::sim
