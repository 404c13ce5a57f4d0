#include "host/host_devices.h"

#include <fcntl.h>
#include <libusb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "sim/hid_device.h"

namespace kv27::host {

void HostShared::Refused(const std::string& node) {
  std::lock_guard<std::mutex> lk(mutex);
  if (std::find(refused.begin(), refused.end(), node) == refused.end()) refused.push_back(node);
}

void HostShared::Opened(const std::string& node) {
  std::lock_guard<std::mutex> lk(mutex);
  refused.erase(std::remove(refused.begin(), refused.end(), node), refused.end());
}

std::string UsbfsNode(int bus, int devnum) {
  char text[40];
  std::snprintf(text, sizeof text, "/dev/bus/usb/%03d/%03d", bus, devnum);
  return text;
}

DWORD ErrorOfErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN:
      return ERROR_DEVICE_NOT_CONNECTED;
    case EBUSY:
      return ERROR_BUSY;
    case ETIMEDOUT:
      return ERROR_SEM_TIMEOUT;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

namespace {

// A libusb result as WinUSB reports it.
DWORD ErrorOfLibusb(int result) {
  switch (result) {
    case LIBUSB_SUCCESS:
      return ERROR_SUCCESS;
    case LIBUSB_ERROR_TIMEOUT:
      return ERROR_SEM_TIMEOUT;  // PIPE_TRANSFER_TIMEOUT's documented result
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
      return ERROR_DEVICE_NOT_CONNECTED;
    case LIBUSB_ERROR_ACCESS:
      return ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_BUSY:
      return ERROR_BUSY;
    case LIBUSB_ERROR_NO_MEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case LIBUSB_ERROR_INVALID_PARAM:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_GEN_FAILURE;  // a stall, an overflow, a bus error
  }
}

// Opens a usbfs node and hands it to libusb, which then does no enumeration
// of its own. The node's errno decides the error (EACCES is remembered).
DWORD OpenUsbfs(HostShared& shared, int bus, int devnum, libusb_device_handle** handle, int* fdOut) {
  const std::string node = UsbfsNode(bus, devnum);
  const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == EACCES || error == EPERM) shared.Refused(node);
    return ErrorOfErrno(error);
  }
  shared.Opened(node);
  const int result = libusb_wrap_sys_device(shared.usb, static_cast<intptr_t>(fd), handle);
  if (result != LIBUSB_SUCCESS) {
    ::close(fd);
    *handle = nullptr;
    return ErrorOfLibusb(result);
  }
  *fdOut = fd;
  return ERROR_SUCCESS;
}

// libusb_close leaves a wrapped descriptor open: it is closed here.
void CloseUsbfs(libusb_device_handle* handle, int fd) {
  if (handle != nullptr) libusb_close(handle);
  if (fd >= 0) ::close(fd);
}

// A standard request from the device to the host: 0x80.
constexpr std::uint8_t kGetDescriptorRequestType = 0x80;

// Reports a handle keeps while nobody reads, as the class driver's input
// buffer does (its default size).
constexpr std::size_t kInputBufferReports = 32;

}  // namespace

// ---------------------------------------------------------------- hidraw

struct HidrawCollection::Handle {
  int fd = -1;
  int wake = -1;  // eventfd: the reader thread's stop signal
  bool readable = false;
  bool stop = false;  // world locked
  bool gone = false;  // the node failed: the device left
  std::deque<std::vector<std::uint8_t>> reports;
  struct Pending {
    std::uint64_t id;
    void* buffer;
    DWORD length;
  };
  std::deque<Pending> pending;
  ~Handle() {
    if (fd >= 0) ::close(fd);
    if (wake >= 0) ::close(wake);
  }
};

HidrawCollection::HidrawCollection(std::shared_ptr<HostShared> shared, std::shared_ptr<const HidrawNode> node,
                                   std::size_t index)
    : shared_(std::move(shared)), node_(std::move(node)), index_(index) {}

DWORD HidrawCollection::OnOpen(sim::FileObject& file) {
  auto handle = std::make_shared<Handle>();
  const bool read = (file.access & GENERIC_READ) != 0;
  const bool write = (file.access & GENERIC_WRITE) != 0;
  // A handle without access reads the attributes and the capabilities only;
  // they come from sysfs, and the node is not opened.
  if (read || write) {
    const int mode = read && write ? O_RDWR : read ? O_RDONLY : O_WRONLY;
    handle->fd = ::open(node_->devnode.c_str(), mode | O_CLOEXEC | O_NONBLOCK);
    if (handle->fd < 0) {
      const int error = errno;
      if (error == EACCES || error == EPERM) shared_->Refused(node_->devnode);
      return ErrorOfErrno(error);
    }
    shared_->Opened(node_->devnode);
  }
  handle->readable = read;
  handles_[file.id] = handle;
  return ERROR_SUCCESS;
}

// The handle's reader thread, started with its first read. Until then the
// kernel keeps the reports that come in the node's own queue for this open
// file, as the class driver keeps them for a handle on Windows; from then on
// the thread reads them as they come and keeps them for the next ReadFile.
bool HidrawCollection::StartReader(const std::shared_ptr<Handle>& handle) {
  handle->wake = ::eventfd(0, EFD_CLOEXEC);
  if (handle->wake < 0) return false;
  {
    std::lock_guard<std::mutex> lk(shared_->mutex);
    ++shared_->readerThreads;
  }
  std::weak_ptr<Device> self = weak_from_this();
  std::shared_ptr<HostShared> shared = shared_;
  std::thread([this, self, handle, shared] {
    // The device stays alive for the loop: a detached path keeps its open
    // handles until they are closed.
    if (auto device = self.lock()) ReaderLoop(handle);
    std::lock_guard<std::mutex> lk(shared->mutex);
    --shared->readerThreads;
    shared->threadsDone.notify_all();
  }).detach();
  return true;
}

// Reads the node for as long as the handle is open. It waits with poll() on
// the node and on its stop signal, never in read(), so that closing the
// handle ends it at once.
void HidrawCollection::ReaderLoop(std::shared_ptr<Handle> handle) {
  sim::World* w = world();
  if (w == nullptr) return;
  std::uint8_t buffer[4096 + 1];
  for (;;) {
    pollfd fds[2] = {{handle->fd, POLLIN, 0}, {handle->wake, POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) return;
    bool gone = (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (fds[0].revents & POLLIN) == 0;
    ssize_t n = 0;
    if (!gone) {
      n = ::read(handle->fd, buffer, sizeof buffer);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      gone = n <= 0;
    }
    auto lock = w->Lock();
    if (handle->stop) return;
    if (gone) {
      // The device left: the reads waiting fail as the class driver fails
      // them, and the bus looks at sysfs again.
      handle->gone = true;
      for (const auto& p : handle->pending) w->CompleteIoLocked(p.id, ERROR_DEVICE_NOT_CONNECTED, 0);
      handle->pending.clear();
      lock.unlock();
      if (shared_->requestRescan) shared_->requestRescan();
      return;
    }
    // Only this collection's reports; without report ids the node carries one
    // collection's reports, and the byte Windows puts first is 0.
    std::vector<std::uint8_t> report;
    if (node_->descriptor.usesReportIds) {
      if (CollectionOfReport(node_->descriptor, buffer[0]) != static_cast<int>(index_)) continue;
      report.assign(buffer, buffer + n);
    } else {
      report.push_back(0);
      report.insert(report.end(), buffer, buffer + n);
    }
    const std::size_t length = node_->descriptor.collections[index_].inputLength;
    if (length != 0) report.resize(length, 0);  // the class driver's reads are always this long
    if (!handle->pending.empty()) {
      const auto p = handle->pending.front();
      handle->pending.pop_front();
      const DWORD copied = static_cast<DWORD>(std::min<std::size_t>(report.size(), p.length));
      std::memcpy(p.buffer, report.data(), copied);
      w->CompleteIoLocked(p.id, ERROR_SUCCESS, copied);
    } else {
      handle->reports.push_back(std::move(report));
      while (handle->reports.size() > kInputBufferReports) handle->reports.pop_front();
    }
  }
}

void HidrawCollection::OnClose(sim::FileObject& file) {
  auto it = handles_.find(file.id);
  if (it == handles_.end()) return;
  std::shared_ptr<Handle> handle = it->second;
  handles_.erase(it);
  handle->stop = true;
  handle->pending.clear();
  if (handle->wake >= 0) {
    const std::uint64_t one = 1;
    (void)!::write(handle->wake, &one, sizeof one);
  }
  // The reader thread holds the handle until it sees the signal; the node is
  // closed when the last of the two lets go.
}

DWORD HidrawCollection::OnRead(sim::IoRequest& request, DWORD* transferred, sim::CallEffects& fx) {
  const auto& caps = node_->descriptor.collections[index_];
  if (request.length < caps.inputLength) return ERROR_INVALID_USER_BUFFER;
  auto it = handles_.find(request.file->id);
  if (it == handles_.end()) return ERROR_INVALID_HANDLE;
  Handle& handle = *it->second;
  if (!handle.readable) return ERROR_ACCESS_DENIED;
  if (!handle.reports.empty()) {
    const std::vector<std::uint8_t> report = std::move(handle.reports.front());
    handle.reports.pop_front();
    const DWORD n = static_cast<DWORD>(std::min<std::size_t>(report.size(), request.length));
    std::memcpy(request.buffer, report.data(), n);
    *transferred = n;
    return ERROR_SUCCESS;
  }
  if (handle.gone) return ERROR_DEVICE_NOT_CONNECTED;
  if (!request.file->Overlapped()) return ERROR_NOT_SUPPORTED;  // the system reads overlapped only
  if (handle.wake < 0 && !StartReader(it->second)) return ERROR_NOT_ENOUGH_MEMORY;
  handle.pending.push_back({request.id, request.buffer, request.length});
  return ERROR_IO_PENDING;
}

DWORD HidrawCollection::OnWrite(sim::IoRequest& request, DWORD* transferred, sim::CallEffects& fx) {
  const auto& caps = node_->descriptor.collections[index_];
  // WriteFile on a HID collection takes exactly its output report length.
  if (caps.outputLength == 0 || request.length != caps.outputLength) return ERROR_INVALID_USER_BUFFER;
  auto it = handles_.find(request.file->id);
  if (it == handles_.end()) return ERROR_INVALID_HANDLE;
  Handle& handle = *it->second;
  if (handle.fd < 0) return ERROR_ACCESS_DENIED;
  const auto* bytes = static_cast<const std::uint8_t*>(request.buffer);
  // hidraw takes the report id first, as Windows does; without report ids the
  // first byte (0) is not sent.
  const std::uint8_t* out = bytes;
  std::size_t size = request.length;
  if (!node_->descriptor.usesReportIds) {
    ++out;
    --size;
  }
  for (;;) {
    const ssize_t n = ::write(handle.fd, out, size);
    if (n >= 0) break;
    if (errno == EINTR) continue;
    return ErrorOfErrno(errno == EIO || errno == EPIPE ? ENODEV : errno);
  }
  *transferred = request.length;
  return ERROR_SUCCESS;
}

void HidrawCollection::OnCancel(std::uint64_t requestId) {
  for (auto& [id, handle] : handles_) {
    auto& p = handle->pending;
    p.erase(std::remove_if(p.begin(), p.end(), [&](const Handle::Pending& x) { return x.id == requestId; }), p.end());
  }
}

DWORD HidrawCollection::OnHidGetAttributes(sim::FileObject& file, HIDD_ATTRIBUTES* attributes) {
  *attributes = node_->attributes;
  return ERROR_SUCCESS;
}

DWORD HidrawCollection::OnHidGetDescription(sim::FileObject& file, sim::HidDescription* description) {
  const auto& c = node_->descriptor.collections[index_];
  *description = sim::MakeHidDescription(c.usagePage, c.usage, c.inputLength, c.outputLength, c.featureLength);
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- a device on a port

HostUsbFunction::HostUsbFunction(std::shared_ptr<HostShared> shared, int bus, int devnum, USHORT vendorId,
                                 USHORT productId, USHORT bcdDevice)
    : UsbFunction(vendorId, productId), shared_(std::move(shared)), bus_(bus), devnum_(devnum) {
  descriptor.bcdDevice = bcdDevice;
}

// The hub driver's descriptor request becomes the same standard request sent
// to the device's default pipe. As the hub driver does, it is always a
// GET_DESCRIPTOR from the device (bmRequestType 0x80, bRequest 6) with the
// caller's wValue (type and index), wIndex (language) and wLength: callers
// leave the first two bytes of the setup packet as they please.
sim::ControlReply HostUsbFunction::OnGetDescriptor(ULONG connectionIndex, const USB_SETUP_PACKET& setup, BYTE* data,
                                                   DWORD room) {
  libusb_device_handle* handle = nullptr;
  int fd = -1;
  sim::ControlReply reply;
  reply.error = OpenUsbfs(*shared_, bus_, devnum_, &handle, &fd);
  if (reply.error != ERROR_SUCCESS) return reply;
  const std::uint16_t length = static_cast<std::uint16_t>(std::min<DWORD>(setup.wLength, room));
  const int n = libusb_control_transfer(handle, kGetDescriptorRequestType, LIBUSB_REQUEST_GET_DESCRIPTOR, setup.wValue,
                                        setup.wIndex, data, length, 5000);
  CloseUsbfs(handle, fd);
  if (n < 0) {
    reply.error = ErrorOfLibusb(n);
    return reply;
  }
  reply.length = static_cast<DWORD>(n);
  return reply;
}

// ---------------------------------------------------------------- the bootloader

HostBootloader::HostBootloader(std::shared_ptr<HostShared> shared, int bus, int devnum)
    : shared_(std::move(shared)), bus_(bus), devnum_(devnum) {}

HostBootloader::~HostBootloader() { Release(); }

void HostBootloader::Release() {
  if (handle_ == nullptr) return;
  if (claimed_) libusb_release_interface(handle_, 0);
  claimed_ = false;
  CloseUsbfs(handle_, fd_);
  handle_ = nullptr;
  fd_ = -1;
  leftover_.clear();
}

DWORD HostBootloader::OnOpen(sim::FileObject& file) {
  if (handle_ == nullptr) {
    const DWORD error = OpenUsbfs(*shared_, bus_, devnum_, &handle_, &fd_);
    if (error != ERROR_SUCCESS) return error;
  }
  ++opens_;
  return ERROR_SUCCESS;
}

void HostBootloader::OnClose(sim::FileObject& file) {
  if (opens_ > 0 && --opens_ == 0) Release();
}

DWORD HostBootloader::OnWinUsbInitialize(sim::FileObject& file) {
  if (handle_ == nullptr) return ERROR_INVALID_HANDLE;
  if (claimed_) return ERROR_SUCCESS;
  libusb_set_auto_detach_kernel_driver(handle_, 1);
  const int result = libusb_claim_interface(handle_, 0);
  if (result != LIBUSB_SUCCESS) return ErrorOfLibusb(result);
  claimed_ = true;
  return ERROR_SUCCESS;
}

DWORD HostBootloader::OnWinUsbQueryInterface(UCHAR alternateSetting, USB_INTERFACE_DESCRIPTOR* descriptor) {
  if (handle_ == nullptr) return ERROR_INVALID_HANDLE;
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(libusb_get_device(handle_), &config) != LIBUSB_SUCCESS)
    return ERROR_GEN_FAILURE;
  DWORD error = ERROR_NO_MORE_ITEMS;
  if (config->bNumInterfaces > 0 && alternateSetting < config->interface[0].num_altsetting) {
    const libusb_interface_descriptor& d = config->interface[0].altsetting[alternateSetting];
    *descriptor = USB_INTERFACE_DESCRIPTOR{
        d.bLength,         d.bDescriptorType,    d.bInterfaceNumber,   d.bAlternateSetting, d.bNumEndpoints,
        d.bInterfaceClass, d.bInterfaceSubClass, d.bInterfaceProtocol, d.iInterface};
    error = ERROR_SUCCESS;
  }
  libusb_free_config_descriptor(config);
  return error;
}

DWORD HostBootloader::OnWinUsbQueryPipe(UCHAR alternateSetting, UCHAR index, WINUSB_PIPE_INFORMATION* pipe) {
  if (handle_ == nullptr) return ERROR_INVALID_HANDLE;
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(libusb_get_device(handle_), &config) != LIBUSB_SUCCESS)
    return ERROR_GEN_FAILURE;
  DWORD error = ERROR_NO_MORE_ITEMS;
  if (config->bNumInterfaces > 0 && alternateSetting < config->interface[0].num_altsetting) {
    const libusb_interface_descriptor& d = config->interface[0].altsetting[alternateSetting];
    if (index < d.bNumEndpoints) {
      const libusb_endpoint_descriptor& e = d.endpoint[index];
      pipe->PipeType = static_cast<USBD_PIPE_TYPE>(e.bmAttributes & 3);
      pipe->PipeId = e.bEndpointAddress;
      pipe->MaximumPacketSize = e.wMaxPacketSize;
      pipe->Interval = e.bInterval;
      error = ERROR_SUCCESS;
    }
  }
  libusb_free_config_descriptor(config);
  return error;
}

void HostBootloader::OnWinUsbPipeTimeoutSet(UCHAR pipeId, ULONG timeoutMs) { timeouts_[pipeId] = timeoutMs; }

// A bulk transfer bounded by the pipe's time-out (none: libusb's 0, no limit,
// as WinUSB's default). A time-out fails with ERROR_SEM_TIMEOUT, nothing moved.
DWORD HostBootloader::OnWinUsbWritePipe(UCHAR pipeId, const UCHAR* data, ULONG length, ULONG* transferred,
                                        sim::CallEffects& fx) {
  if (handle_ == nullptr || !claimed_) return ERROR_INVALID_HANDLE;
  int n = 0;
  const int result =
      libusb_bulk_transfer(handle_, pipeId, const_cast<UCHAR*>(data), static_cast<int>(length), &n, timeouts_[pipeId]);
  if (result != LIBUSB_SUCCESS) return ErrorOfLibusb(result);
  *transferred = static_cast<ULONG>(n);
  return ERROR_SUCCESS;
}

// Reads whole packets: a read shorter than the packet waiting gets its first
// bytes and the rest waits for the next read, as WinUSB keeps it (a short read
// straight from usbfs would end in an overflow instead).
DWORD HostBootloader::OnWinUsbReadPipe(UCHAR pipeId, UCHAR* data, ULONG length, ULONG* transferred,
                                       sim::CallEffects& fx) {
  if (handle_ == nullptr || !claimed_) return ERROR_INVALID_HANDLE;
  if (leftover_.empty()) {
    UCHAR packet[64];
    int n = 0;
    const int result = libusb_bulk_transfer(handle_, pipeId, packet, sizeof packet, &n, timeouts_[pipeId]);
    if (result != LIBUSB_SUCCESS) return ErrorOfLibusb(result);
    leftover_.assign(packet, packet + n);
  }
  const std::size_t n = std::min<std::size_t>(length, leftover_.size());
  std::copy(leftover_.begin(), leftover_.begin() + static_cast<std::ptrdiff_t>(n), data);
  leftover_.erase(leftover_.begin(), leftover_.begin() + static_cast<std::ptrdiff_t>(n));
  *transferred = static_cast<ULONG>(n);
  return ERROR_SUCCESS;
}

}  // namespace kv27::host
