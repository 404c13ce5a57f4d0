#include "tests/host/kernel_model.h"

#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>

#include "app/simulation.h"
#include "app/upgrade_sequence.h"
#include "image/image_file.h"
#include "res/ui_text.h"
#include "sim/virtual_mouse.h"
#include "tests/support/upgrade_expectations.h"

// After the system's headers: GLib has TRUE and FALSE macros of its own.
#include <umockdev.h>

namespace kv27::test {

using namespace w32;
using namespace std::chrono_literals;

namespace {

constexpr char kRootHub[] = "/sys/devices/usb1";
constexpr char kPortDevice[] = "/devices/usb1/1-2";  // root hub port 2
constexpr int kBus = 1;

std::string Hex(const std::uint8_t* data, std::size_t size) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text.push_back(digits[data[i] >> 4]);
    text.push_back(digits[data[i] & 15]);
  }
  return text;
}

std::string Format(const char* format, int value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

void Put16(std::vector<std::uint8_t>& out, unsigned value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

// A device descriptor, as usbfs hands it out first when its node is read.
std::vector<std::uint8_t> DeviceDescriptor(USHORT vendor, USHORT product, USHORT bcdDevice) {
  std::vector<std::uint8_t> d = {18, 1};
  Put16(d, 0x0200);
  d.insert(d.end(), {0, 0, 0, 64});
  Put16(d, vendor);
  Put16(d, product);
  Put16(d, bcdDevice);
  d.insert(d.end(), {1, 2, 0, 1});
  return d;
}

// The configuration descriptor with one interface and its endpoints.
std::vector<std::uint8_t> ConfigDescriptor(const USB_INTERFACE_DESCRIPTOR& intf,
                                           const std::vector<WINUSB_PIPE_INFORMATION>& pipes) {
  std::vector<std::uint8_t> d = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
  d.insert(d.end(), {9, 4, intf.bInterfaceNumber, intf.bAlternateSetting, static_cast<std::uint8_t>(pipes.size()),
                     intf.bInterfaceClass, intf.bInterfaceSubClass, intf.bInterfaceProtocol, 0});
  for (const auto& pipe : pipes) {
    d.insert(d.end(), {7, 5, pipe.PipeId, static_cast<std::uint8_t>(pipe.PipeType)});
    Put16(d, pipe.MaximumPacketSize);
    d.push_back(pipe.Interval);
  }
  d[2] = static_cast<std::uint8_t>(d.size());
  return d;
}

// The configuration descriptor of a mouse layout: each HID interface with its
// HID descriptor (bcdHID 1.11, one report descriptor of its length) and its
// interrupt endpoints, as the device declares them.
std::vector<std::uint8_t> LayoutConfigDescriptor(const sim::MouseLayout& layout) {
  std::vector<std::uint8_t> d = {9, 2, 0, 0, static_cast<std::uint8_t>(layout.interfaces.size()), 1, 0, 0xA0, 50};
  for (const sim::HidInterfaceLayout& intf : layout.interfaces) {
    const std::uint8_t endpoints = intf.outEndpoint != 0 ? 2 : 1;
    d.insert(d.end(), {9, 4, intf.number, 0, endpoints, 3, intf.subClass, intf.protocol, 0});
    d.insert(d.end(), {9, 0x21, 0x11, 0x01, 0, 1, 0x22});
    Put16(d, static_cast<unsigned>(intf.reportDescriptor.size()));
    d.insert(d.end(), {7, 5, intf.inEndpoint, 3});
    Put16(d, intf.inMaxPacketSize);
    d.push_back(intf.inInterval);
    if (intf.outEndpoint != 0) {
      d.insert(d.end(), {7, 5, intf.outEndpoint, 3});
      Put16(d, intf.outMaxPacketSize);
      d.push_back(intf.outInterval);
    }
  }
  d[2] = static_cast<std::uint8_t>(d.size() & 0xFF);
  d[3] = static_cast<std::uint8_t>(d.size() >> 8);
  return d;
}

}  // namespace

// ---------------------------------------------------------------- usbfs

// One usbfs node at the kernel interface: the I/O controls libusb makes on
// it. Control URBs (the setup packet first, then room for the data stage) are
// answered by the virtual mouse at once; bulk URBs wait in the node until the
// pump has carried them to the virtual bootloader; every URB is reaped once
// complete. After the device has left, the URBs still in flight complete with
// -ESHUTDOWN (as the host controller gives them back on a disconnect), the
// ones complete can still be reaped, and every other call fails with ENODEV.
class UsbfsNode {
 public:
  enum class Kind { kMouse, kBootloader };

  UsbfsNode(KernelModel& model, UMockdevTestbed* testbed, std::string node, int devnum, Kind kind,
            std::vector<WINUSB_PIPE_INFORMATION> pipes = {})
      : model_(model), node_(std::move(node)), devnum_(devnum), kind_(kind), pipes_(std::move(pipes)) {
    handler_ = static_cast<UMockdevIoctlBase*>(g_object_new(umockdev_ioctl_base_get_type(), nullptr));
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbfsNode::OnIoctl), this);
    GError* error = nullptr;
    attached_ = umockdev_testbed_attach_ioctl(testbed, node_.c_str(), handler_, &error);
    if (!attached_) {
      std::fprintf(stderr, "usbfs model: cannot attach %s: %s\n", node_.c_str(), error ? error->message : "?");
      if (error != nullptr) g_error_free(error);
    }
  }
  ~UsbfsNode() {
    std::lock_guard<std::mutex> lk(mutex_);
    g_signal_handlers_disconnect_by_data(handler_, this);
    for (auto& urb : flying_) Free(*urb);
    for (auto& urb : done_) Free(*urb);
    for (auto* client : claims_) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      g_object_unref(client);
    }
    g_object_unref(handler_);
  }
  const std::string& node() const { return node_; }

  // The pump: claims and releases, then the bulk URBs, in order on each
  // endpoint. Returns the write blocks carried by this call.
  std::size_t Serve(sim::World& world, const std::u16string& path, std::size_t stopAfterBlocks) {
    std::lock_guard<std::mutex> lk(mutex_);
    for (auto* client : claims_) {
      const bool claim = umockdev_ioctl_client_get_request(client) != USBDEVFS_RELEASEINTERFACE;
      const int error = gone_ ? ENODEV : claim ? Claim(world, path) : (Release(world), 0);
      umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
      g_object_unref(client);
    }
    claims_.clear();
    std::size_t blocks = 0;
    std::vector<unsigned char> busy;  // endpoints with an earlier URB still in flight
    for (auto it = flying_.begin(); it != flying_.end();) {
      Urb& urb = **it;
      const bool blocked = std::find(busy.begin(), busy.end(), urb.endpoint) != busy.end();
      if (blocked || urb.hung || winusb_ == nullptr || gone_ || (stopAfterBlocks != 0 && blocks >= stopAfterBlocks)) {
        busy.push_back(urb.endpoint);
        ++it;
        continue;
      }
      ULONG moved = 0;
      DWORD error = ERROR_SUCCESS;
      if ((urb.endpoint & 0x80) == 0) {
        if (!world.WinUsb_WritePipe(winusb_, urb.endpoint, urb.out.data(), static_cast<ULONG>(urb.out.size()), &moved,
                                    nullptr))
          error = world.GetLastError();
      } else {
        urb.in.resize(static_cast<std::size_t>(urb.length));
        if (!world.WinUsb_ReadPipe(winusb_, urb.endpoint, urb.in.data(), static_cast<ULONG>(urb.in.size()), &moved,
                                   nullptr))
          error = world.GetLastError();
      }
      if (error == ERROR_SEM_TIMEOUT && (urb.endpoint & 0x80) != 0) {
        // Nothing to give yet: the device NAKs the IN token and the URB
        // stays in flight.
        busy.push_back(urb.endpoint);
        ++it;
        continue;
      }
      if (error == ERROR_SEM_TIMEOUT || error == ERROR_DEVICE_NOT_CONNECTED) {
        // A device that NAKs an OUT for good, or one that has left (its
        // disconnect completes the URB): in flight until then.
        urb.hung = error == ERROR_SEM_TIMEOUT;
        busy.push_back(urb.endpoint);
        ++it;
        continue;
      }
      urb.status = error == ERROR_SUCCESS ? 0 : -EPIPE;  // a stall
      urb.actual = error == ERROR_SUCCESS ? static_cast<int>(moved) : 0;
      if (error == ERROR_SUCCESS && (urb.endpoint & 0x80) == 0 && urb.out.size() == 64) ++blocks;
      done_.push_back(*it);
      it = flying_.erase(it);
    }
    return blocks;
  }

  // The device left: what was in flight completes as on a disconnect.
  void Disconnect(sim::World& world) {
    std::lock_guard<std::mutex> lk(mutex_);
    gone_ = true;
    for (auto& urb : flying_) {
      urb->status = -ESHUTDOWN;
      urb->actual = 0;
      done_.push_back(urb);
    }
    flying_.clear();
    for (auto* client : claims_) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      g_object_unref(client);
    }
    claims_.clear();
    Release(world);
  }

 private:
  struct Urb {
    UMockdevIoctlData* data = nullptr;  // the client's struct usbdevfs_urb
    UMockdevIoctlData* buffer = nullptr;
    unsigned char type = 0, endpoint = 0;
    int length = 0;
    std::vector<std::uint8_t> out, in;
    bool hung = false;
    int status = 0, actual = 0;
  };

  static void Free(Urb& urb) {
    if (urb.buffer != nullptr) g_object_unref(urb.buffer);
    if (urb.data != nullptr) g_object_unref(urb.data);
    urb.buffer = urb.data = nullptr;
  }

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<UsbfsNode*>(self)->Handle(client);
  }

  // The GLib thread: nothing here waits on the world.
  gboolean Handle(UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* error = nullptr;
    if (std::getenv("KV_MODEL_TRACE") != nullptr && request != USBDEVFS_REAPURBNDELAY)
      std::fprintf(stderr, "usbfs model: %s: ioctl 0x%lx\n", node_.c_str(), static_cast<unsigned long>(request));
    std::unique_lock<std::mutex> lk(mutex_);
    const bool reap = request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB;
    if (gone_ && !(reap && !done_.empty())) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      std::lock_guard<std::mutex> counted(model_.mutex_);
      ++model_.refusedGone_;
      return TRUE;
    }
    switch (request) {
      case USBDEVFS_CONNECTINFO: {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_connectinfo), &error);
        auto* info = reinterpret_cast<usbdevfs_connectinfo*>(d->data);
        info->devnum = static_cast<unsigned>(devnum_);
        info->slow = 0;
        g_object_unref(d);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      }
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), &error);
        const std::uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(d->data, &caps, sizeof caps);
        g_object_unref(d);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      }
      case USBDEVFS_CONTROL:
        return SyncControl(client, arg);
      case USBDEVFS_IOCTL: {
        // libusb gives the interface back to a kernel driver after its
        // release: none binds to it (0), and there is none to take it from.
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), &error);
        const int code = reinterpret_cast<usbdevfs_ioctl*>(d->data)->ioctl_code;
        g_object_unref(d);
        if (code == static_cast<int>(USBDEVFS_CONNECT))
          umockdev_ioctl_client_complete(client, 0, 0);
        else
          umockdev_ioctl_client_complete(client, -1, code == static_cast<int>(USBDEVFS_DISCONNECT) ? ENODATA : ENOTTY);
        return TRUE;
      }
      case USBDEVFS_GET_SPEED:
        umockdev_ioctl_client_complete(client, 2, 0);  // USB_SPEED_FULL
        return TRUE;
      case USBDEVFS_GETDRIVER:
        umockdev_ioctl_client_complete(client, -1, ENODATA);  // no kernel driver on the interface
        return TRUE;
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_DISCONNECT_CLAIM:
      case USBDEVFS_RELEASEINTERFACE:
        if (kind_ != Kind::kBootloader) {
          umockdev_ioctl_client_complete(client, -1, EBUSY);  // the HID driver holds the mouse's
          return TRUE;
        }
        // Opening the interface is the pump's: it completes the call.
        claims_.push_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)));
        model_.Wake();
        return TRUE;
      case USBDEVFS_SUBMITURB:
        return Submit(client, arg);
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY: {
        if (done_.empty()) {
          umockdev_ioctl_client_complete(client, -1, EAGAIN);
          return TRUE;
        }
        std::shared_ptr<Urb> urb = done_.front();
        done_.pop_front();
        auto* u = reinterpret_cast<usbdevfs_urb*>(urb->data->data);
        u->status = urb->status;
        u->actual_length = urb->actual;
        if ((urb->endpoint & 0x80) != 0 && urb->type == USBDEVFS_URB_TYPE_BULK && urb->actual > 0)
          std::memcpy(urb->buffer->data, urb->in.data(), static_cast<std::size_t>(urb->actual));
        UMockdevIoctlData* where = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
        umockdev_ioctl_data_set_ptr(where, 0, urb->data);
        g_object_unref(where);
        Free(*urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      }
      case USBDEVFS_DISCARDURB: {
        // The argument is the client's URB address itself.
        gulong address = 0;
        std::memcpy(&address, arg->data, sizeof address);
        for (auto it = flying_.begin(); it != flying_.end(); ++it) {
          if ((*it)->data->client_addr != address) continue;
          (*it)->status = -ENOENT;  // unlinked: reaped with -ENOENT
          (*it)->actual = 0;
          done_.push_back(*it);
          flying_.erase(it);
          umockdev_ioctl_client_complete(client, 0, 0);
          return TRUE;
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);  // already complete
        return TRUE;
      }
      default:
        std::fprintf(stderr, "usbfs model: %s: ioctl 0x%lx is not modelled\n", node_.c_str(),
                     static_cast<unsigned long>(request));
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
  }

  // USBDEVFS_CONTROL, the synchronous control request libusb makes for the
  // active configuration.
  gboolean SyncControl(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    GError* error = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ctrltransfer), &error);
    auto* ctrl = reinterpret_cast<usbdevfs_ctrltransfer*>(d->data);
    if (ctrl->bRequestType == 0x80 && ctrl->bRequest == 8 && ctrl->wLength >= 1) {  // GET_CONFIGURATION
      UMockdevIoctlData* data =
          umockdev_ioctl_data_resolve(d, offsetof(usbdevfs_ctrltransfer, data), ctrl->wLength, &error);
      data->data[0] = 1;
      g_object_unref(data);
      g_object_unref(d);
      umockdev_ioctl_client_complete(client, 1, 0);
      return TRUE;
    }
    g_object_unref(d);
    umockdev_ioctl_client_complete(client, -1, EPIPE);
    return TRUE;
  }

  gboolean Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    GError* error = nullptr;
    auto urb = std::make_shared<Urb>();
    urb->data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    auto* u = reinterpret_cast<usbdevfs_urb*>(urb->data->data);
    urb->type = u->type;
    urb->endpoint = u->endpoint;
    urb->length = u->buffer_length;
    if (u->buffer_length < 0 || u->buffer_length > 16384 ||
        (u->type != USBDEVFS_URB_TYPE_CONTROL && u->type != USBDEVFS_URB_TYPE_BULK) ||
        (u->type == USBDEVFS_URB_TYPE_CONTROL && u->buffer_length < 8)) {
      Free(*urb);
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return TRUE;
    }
    if (u->buffer_length > 0)
      urb->buffer = umockdev_ioctl_data_resolve(urb->data, offsetof(usbdevfs_urb, buffer),
                                                static_cast<gsize>(u->buffer_length), &error);
    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
      USB_SETUP_PACKET setup{};
      std::memcpy(&setup, urb->buffer->data, sizeof setup);
      sim::ControlReply reply;
      reply.error = ERROR_GEN_FAILURE;
      if (kind_ == Kind::kMouse) {
        sim::VirtualMouse& mouse = model_.rig_->mouse();
        auto lock = model_.world_->Lock();
        reply = mouse.OnGetDescriptor(2, setup, urb->buffer->data + 8, static_cast<DWORD>(u->buffer_length - 8));
        std::lock_guard<std::mutex> counted(model_.mutex_);
        model_.mouseSetups_.push_back(setup);
      }
      urb->status = reply.error == ERROR_SUCCESS ? 0 : -EPIPE;  // a stall
      urb->actual = reply.error == ERROR_SUCCESS ? static_cast<int>(reply.length) : 0;
      done_.push_back(urb);
    } else {
      const bool known = std::any_of(pipes_.begin(), pipes_.end(),
                                     [&](const WINUSB_PIPE_INFORMATION& p) { return p.PipeId == u->endpoint; });
      if (!known) {
        Free(*urb);
        umockdev_ioctl_client_complete(client, -1, ENOENT);  // no such endpoint on the interface
        return TRUE;
      }
      if ((u->endpoint & 0x80) == 0) urb->out.assign(urb->buffer->data, urb->buffer->data + u->buffer_length);
      flying_.push_back(urb);
      model_.Wake();
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
  }

  // The pump, node locked: the program claims the interface; the device is
  // opened in the world as WinUSB opens it. Its IN pipes time out at once, so
  // that a read with nothing to give comes back to the pump.
  int Claim(sim::World& world, const std::u16string& path) {
    if (winusb_ != nullptr) return 0;
    file_ = world.CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) {
      const DWORD error = world.GetLastError();
      return error == ERROR_FILE_NOT_FOUND || error == ERROR_DEVICE_NOT_CONNECTED ? ENODEV : EBUSY;
    }
    if (!world.WinUsb_Initialize(file_, &winusb_)) {
      winusb_ = nullptr;
      world.CloseHandle(file_);
      file_ = INVALID_HANDLE_VALUE;
      return EBUSY;
    }
    ULONG timeout = 1;
    for (const auto& pipe : pipes_)
      if ((pipe.PipeId & 0x80) != 0)
        world.WinUsb_SetPipePolicy(winusb_, pipe.PipeId, PIPE_TRANSFER_TIMEOUT, sizeof timeout, &timeout);
    return 0;
  }
  void Release(sim::World& world) {
    if (winusb_ != nullptr) world.WinUsb_Free(winusb_);
    if (file_ != INVALID_HANDLE_VALUE) world.CloseHandle(file_);
    winusb_ = nullptr;
    file_ = INVALID_HANDLE_VALUE;
  }

  KernelModel& model_;
  std::string node_;
  int devnum_;
  Kind kind_;
  std::vector<WINUSB_PIPE_INFORMATION> pipes_;
  UMockdevIoctlBase* handler_ = nullptr;
  bool attached_ = false;

  std::mutex mutex_;
  std::deque<std::shared_ptr<Urb>> flying_;  // submitted, not complete
  std::deque<std::shared_ptr<Urb>> done_;    // complete, to be reaped
  std::vector<UMockdevIoctlClient*> claims_;
  bool gone_ = false;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  WINUSB_INTERFACE_HANDLE winusb_ = nullptr;
};

// ---------------------------------------------------------------- the test bed

bool KernelTestbed::UnderWrapper() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "umockdev") != nullptr;
}

KernelTestbed::KernelTestbed() {
  testbed_ = umockdev_testbed_new();
  gchar* root = umockdev_testbed_get_root_dir(testbed_);  // the caller's to free
  root_ = root;
  g_free(root);
  GError* error = nullptr;
  const std::string hub =
      "P: /devices/usb1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: busnum=1\nA: devnum=1\n"
      "A: idVendor=1d6b\nA: idProduct=0002\nA: bDeviceClass=09\nA: maxchild=4\n\n";
  if (!umockdev_testbed_add_from_string(testbed_, hub.c_str(), &error) && error != nullptr) g_error_free(error);
  // The test bed answers the preload library's calls on emulated nodes from
  // the default main context.
  glib_ = std::thread([this] {
    while (!stop_) g_main_context_iteration(nullptr, TRUE);
  });
}

KernelTestbed::~KernelTestbed() {
  stop_ = true;
  g_main_context_wakeup(nullptr);
  glib_.join();
  g_object_unref(testbed_);
}

// ---------------------------------------------------------------- the model

KernelModel::KernelModel(KernelTestbed& testbed, KernelModelOptions options)
    : testbed_(testbed),
      options_(std::move(options)),
      layout_(options_.layout != nullptr ? *options_.layout : sim::MouseLayouts().front()) {
  imagePath_ = testbed_.root() + "/KV27M_FW_UPGRADE.bimg";
  std::promise<void> ready;
  auto started = ready.get_future();
  pump_ = std::thread([this, &ready] { Run(&ready); });
  started.wait();
}

KernelModel::~KernelModel() {
  stop_ = true;
  pump_.join();
}

bool KernelModel::Eventually(const std::function<bool()>& done, int seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return done();
}

sim::BootloaderFlash KernelModel::Flash() { return rig_->mouse().Flash(); }
sim::VirtualMouse::Mode KernelModel::Mode() { return rig_->mouse().CurrentMode(); }
std::vector<sim::WireTransfer> KernelModel::BootloaderWire() { return rig_->mouse().Bootloader()->WireLog(); }
unsigned KernelModel::BootloaderOpens() { return rig_->mouse().Bootloader()->OpenCount(); }
std::size_t KernelModel::MouseControlRequests() {
  std::lock_guard<std::mutex> lk(mutex_);
  return mouseSetups_.size();
}
std::vector<USB_SETUP_PACKET> KernelModel::MouseControlSetups() {
  std::lock_guard<std::mutex> lk(mutex_);
  return mouseSetups_;
}
std::size_t KernelModel::MouseRequests() { return rig_->mouse().RequestCount(); }
std::size_t KernelModel::WriteBlocks() {
  std::lock_guard<std::mutex> lk(mutex_);
  return writeBlocks_;
}
std::size_t KernelModel::CallsAfterDisconnect() {
  std::lock_guard<std::mutex> lk(mutex_);
  return refusedGone_;
}
std::vector<std::string> KernelModel::Nodes() {
  std::lock_guard<std::mutex> lk(mutex_);
  return nodes_;
}

void KernelModel::Pull() {
  std::future<void> done = pulled_.get_future();
  pull_ = true;
  Wake();
  if (done.wait_for(10s) != std::future_status::ready) std::fprintf(stderr, "kernel model: the pull was not made\n");
}

bool KernelModel::ShareWithOtherUsers() {
  if (std::system(("chmod -R a+rwX '" + testbed_.root() + "'").c_str()) != 0) return false;
  // chmod leaves the ptys behind the hidraw links as they are (it follows no
  // link it meets on its way); usbfs nodes are files of the test bed.
  std::vector<std::string> denied;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    denied = denied_;
  }
  for (const auto& node : denied) Permit(node, false);
  return true;
}

void KernelModel::Wake() {
  std::lock_guard<std::mutex> lk(wakeMutex_);
  woken_ = true;
  wakeUp_.notify_one();
}

// The pump: builds the world (so that it is the world's own thread, whose
// waits let the virtual clock move) and serves the devices until the end.
void KernelModel::Run(std::promise<void>* ready) {
  sim::World world;
  const std::vector<std::uint8_t> image = SampleImageBytes();
  sim::MouseRig rig(world, image);
  world_ = &world;
  rig_ = &rig;
  {
    std::ofstream file(imagePath_, std::ios::binary);
    file.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  }
  std::vector<std::vector<std::uint8_t>> pages;
  for (std::size_t p = 0; p < sim::kMouseUserDataPages; ++p) {
    pages.push_back(rig.mouse().UserPage(p));
    settings_.insert(settings_.end(), pages.back().begin(), pages.back().end());
  }
  {
    sim::World files;
    files.AddFile(u"C:\\x.bimg", image);
    expected_ = FlashAfterUpgrade(LoadImageFile(files, u"C:\\x.bimg").payload, pages);
  }
  if (options_.prepare) options_.prepare(rig, expected_);
  Mirror();
  ready->set_value();

  while (!stop_) {
    {
      std::deque<std::packaged_task<void()>> tasks;
      {
        std::lock_guard<std::mutex> lk(tasksMutex_);
        tasks.swap(tasks_);
      }
      for (auto& task : tasks) task();
    }
    if (pull_.exchange(false)) {
      rig.mouse().Unplug();
      Mirror();
      pulled_.set_value();
    }
    Mirror();
    if (!permitNode_.empty() && std::chrono::steady_clock::now() >= permitAt_) {
      Permit(permitNode_, true);
      permitNode_.clear();
    }
    ServeHid();
    if (usbfs_ && shown_ == Shown::kBootloader) {
      std::size_t limit = 0;
      if (options_.pullAfterWriteBlocks != 0) {
        std::lock_guard<std::mutex> lk(mutex_);
        limit = writeBlocks_ < options_.pullAfterWriteBlocks ? options_.pullAfterWriteBlocks - writeBlocks_ : 0;
      }
      const bool pull = options_.pullAfterWriteBlocks != 0 && limit == 0;
      if (pull) {
        // The cable is pulled: the device leaves in whichever state it is.
        rig.mouse().Unplug();
        options_.pullAfterWriteBlocks = 0;
        continue;
      }
      const std::size_t blocks = usbfs_->Serve(world, rig.mouse().BootloaderPath(), limit);
      std::lock_guard<std::mutex> lk(mutex_);
      writeBlocks_ += blocks;
    }
    // The world's clock moves on while nothing happens (at once: this thread
    // is the only one taking part).
    world.Sleep(5);
  }
  HideCurrent();
  oldNodes_.clear();
  rig_ = nullptr;
  world_ = nullptr;
}

// Brings the test bed in line with the device's mode.
void KernelModel::Mirror() {
  const sim::VirtualMouse::Mode mode = rig_->mouse().CurrentMode();
  const Shown want = mode == sim::VirtualMouse::Mode::kNormal       ? Shown::kMouse
                     : mode == sim::VirtualMouse::Mode::kBootloader ? Shown::kBootloader
                                                                    : Shown::kNone;
  if (want == shown_) return;
  if (want == Shown::kBootloader && shown_ == Shown::kNone && std::chrono::steady_clock::now() < showBootloaderAt_)
    return;  // still on its way
  if (std::getenv("KV_MODEL_TRACE") != nullptr)
    std::fprintf(stderr, "kernel model: %d -> %d\n", static_cast<int>(shown_), static_cast<int>(want));
  if (want == Shown::kBootloader && shown_ == Shown::kMouse && options_.bootloaderAppearsAfterMs > 0) {
    HideCurrent();
    showBootloaderAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.bootloaderAppearsAfterMs);
    return;
  }
  HideCurrent();
  if (want == Shown::kMouse) ShowMouse();
  if (want == Shown::kBootloader) ShowBootloader();
  shown_ = want;
}

std::string KernelModel::NextUsbNode() {
  ++devnum_;
  std::string node = Format("/dev/bus/usb/%03d/", kBus) + Format("%03d", devnum_);
  std::lock_guard<std::mutex> lk(mutex_);
  nodes_.push_back(node);
  return node;
}

// The mouse in normal mode on port 2, with the layout's HID interfaces: a new
// device number, its interfaces, and below each the HID device and its hidraw
// node (ShowHid).
void KernelModel::ShowMouse() {
  Silence();
  const std::string node = NextUsbNode();
  usbfs_ = std::make_shared<UsbfsNode>(*this, testbed_.get(), node, devnum_, UsbfsNode::Kind::kMouse);
  OpenIoctlSocket(node);
  // The device descriptor as the virtual mouse has it: the kernel's HID
  // devices take their version from its bcdDevice (usbhid), as the Windows HID
  // class driver does for HidD_GetAttributes.
  USHORT version = 0;
  {
    auto lock = world_->Lock();
    version = rig_->mouse().descriptor.bcdDevice;
  }
  std::vector<std::uint8_t> descriptors = DeviceDescriptor(sim::kMouseVendorId, sim::kMouseProductId, version);
  const std::vector<std::uint8_t> config = LayoutConfigDescriptor(layout_);
  descriptors.insert(descriptors.end(), config.begin(), config.end());

  const std::string usb = kPortDevice;
  std::string records =
      "P: " + usb + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + node + "\nN: " + node.substr(5) + "=" +
      Hex(descriptors.data(), descriptors.size()) + "\nA: dev=189:" + std::to_string(devnum_ - 1) +
      "\nA: busnum=1\nA: devnum=" + std::to_string(devnum_) + Format("\nA: idVendor=%04x", sim::kMouseVendorId) +
      Format("\nA: idProduct=%04x", sim::kMouseProductId) + Format("\nA: bcdDevice=%04x", version) +
      "\nA: bDeviceClass=00\nA: bDeviceSubClass=00\nA: bDeviceProtocol=00\nA: bNumConfigurations=1" +
      Format("\nA: bNumInterfaces=%2d", static_cast<int>(layout_.interfaces.size())) + "\n\n";
  std::vector<std::string> remove;
  for (const sim::HidInterfaceLayout& intf : layout_.interfaces) {
    const std::string path = InterfacePath(intf.number);
    records += "P: " + path + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface" +
               Format("\nA: bInterfaceNumber=%02x", intf.number) + "\nA: bInterfaceClass=03" +
               Format("\nA: bInterfaceSubClass=%02x", intf.subClass) +
               Format("\nA: bInterfaceProtocol=%02x", intf.protocol) + "\n\n";
    remove.push_back("/sys" + path);
  }
  remove.push_back("/sys" + usb);
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_.get(), records.c_str(), &error)) {
    std::fprintf(stderr, "kernel model: %s\n", error ? error->message : "cannot add the mouse");
    if (error != nullptr) g_error_free(error);
  }
  Permit(node, !options_.denyMouseUsbNode);
  for (const sim::HidInterfaceLayout& intf : layout_.interfaces) ShowHid(intf);
  removeOnHide_ = remove;
  Uevent("/sys" + usb, "add");
}

// The sysfs path of the mouse's interface `number` (configuration 1).
std::string KernelModel::InterfacePath(int number) {
  return std::string(kPortDevice) + "/1-2:1." + std::to_string(number);
}

// The HID driver takes an interface: the HID device with the interface's
// report descriptor and its hidraw node, under new numbers (the kernel numbers
// HID devices and hidraw nodes anew each time). The command interface's node
// is served by the virtual mouse; the others are open to the program but
// carry nothing.
void KernelModel::ShowHid(const sim::HidInterfaceLayout& intf) {
  Silence();
  ++hidrawIndex_;
  ++hidDeviceIndex_;
  ShownHid shown;
  shown.number = intf.number;
  shown.commands = intf.commands;
  const std::string hidraw = "hidraw" + std::to_string(hidrawIndex_);
  shown.node = "/dev/" + hidraw;
  shown.hid = InterfacePath(intf.number) + Format("/0003:4E5B:002A.%04X", hidDeviceIndex_);
  shown.raw = shown.hid + "/hidraw/" + hidraw;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    nodes_.push_back(shown.node);
  }
  const std::string records =
      "P: " + shown.hid + "\nE: SUBSYSTEM=hid\nE: HID_ID=0003:00004E5B:0000002A\n" +
      "H: report_descriptor=" + Hex(intf.reportDescriptor.data(), intf.reportDescriptor.size()) +
      "\n\nP: " + shown.raw + "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=" + shown.node + "\nN: " + hidraw +
      "\nA: dev=244:" + std::to_string(hidrawIndex_) + "\nL: device=../../../" +
      shown.hid.substr(shown.hid.rfind('/') + 1) + "\n\n";
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_.get(), records.c_str(), &error)) {
    std::fprintf(stderr, "kernel model: %s\n", error ? error->message : "cannot add a HID interface");
    if (error != nullptr) g_error_free(error);
  }
  shown.master = umockdev_testbed_get_dev_fd(testbed_.get(), shown.node.c_str());
  if (shown.master >= 0) {
    // hidraw passes every byte: no line discipline (the pty's ISIG and IXON
    // would take 0x03 or 0x13 out of a report).
    termios raw{};
    if (::tcgetattr(shown.master, &raw) == 0) {
      ::cfmakeraw(&raw);
      ::tcsetattr(shown.master, TCSANOW, &raw);
    }
  }
  Permit(shown.node, !(intf.commands && options_.denyMouseHidraw));
  if (intf.commands) {
    master_ = shown.master;
    requestBytes_ = 0;
    OpenCommandCollection();
  }
  hidraws_.push_back(shown);
}

// The HID driver lets an interface go: its hidraw node hangs up, its records
// go leaf first; the USB device and its other interfaces stay.
void KernelModel::HideHid(const ShownHid& shown) {
  if (shown.commands) {
    CloseCommandCollection();
    master_ = -1;
  }
  HangUp(shown.node, shown.master);
  umockdev_testbed_remove_device(testbed_.get(), ("/sys" + shown.raw).c_str());
  umockdev_testbed_remove_device(testbed_.get(), ("/sys" + shown.hid).c_str());
}

// The bootloader on the same port, with its ids, a new device number and the
// interface the virtual bootloader has (its pipes).
void KernelModel::ShowBootloader() {
  Silence();
  USB_INTERFACE_DESCRIPTOR intf{};
  std::vector<WINUSB_PIPE_INFORMATION> pipes;
  {
    auto boot = rig_->mouse().Bootloader();
    auto lock = world_->Lock();
    boot->OnWinUsbQueryInterface(0, &intf);
    WINUSB_PIPE_INFORMATION pipe{};
    for (UCHAR i = 0; boot->OnWinUsbQueryPipe(0, i, &pipe) == ERROR_SUCCESS; ++i) pipes.push_back(pipe);
  }
  const std::string node = NextUsbNode();
  usbfs_ = std::make_shared<UsbfsNode>(*this, testbed_.get(), node, devnum_, UsbfsNode::Kind::kBootloader, pipes);
  OpenIoctlSocket(node);
  std::vector<std::uint8_t> descriptors = DeviceDescriptor(sim::kMouseBootVendorId, sim::kMouseBootProductId, 0x0100);
  const std::vector<std::uint8_t> config = ConfigDescriptor(intf, pipes);
  descriptors.insert(descriptors.end(), config.begin(), config.end());
  const std::string usb = kPortDevice;
  const std::string usbIntf = usb + "/1-2:1.0";
  const std::string records =
      "P: " + usb + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + node + "\nN: " + node.substr(5) + "=" +
      Hex(descriptors.data(), descriptors.size()) + "\nA: dev=189:" + std::to_string(devnum_ - 1) +
      "\nA: busnum=1\nA: devnum=" + std::to_string(devnum_) + Format("\nA: idVendor=%04x", sim::kMouseBootVendorId) +
      Format("\nA: idProduct=%04x", sim::kMouseBootProductId) + "\nA: bcdDevice=0100\nA: bDeviceClass=00\n\n" +
      "P: " + usbIntf + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\nA: bInterfaceClass=" +
      Format("%02x", intf.bInterfaceClass) + "\n\n";
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_.get(), records.c_str(), &error)) {
    std::fprintf(stderr, "kernel model: %s\n", error ? error->message : "cannot add the bootloader");
    if (error != nullptr) g_error_free(error);
  }
  Permit(node, !options_.denyBootloaderNode);
  if (options_.denyBootloaderNode && options_.permitBootloaderNodeAfterMs > 0) {
    permitNode_ = node;
    permitAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.permitBootloaderNodeAfterMs);
  }
  removeOnHide_ = {"/sys" + usbIntf, "/sys" + usb};
  Uevent("/sys" + usb, "add");
}

// What is shown leaves: its node's URBs end as on a disconnect, a hidraw node
// hangs up (its readers see POLLHUP, its reads and writes fail), its records
// go leaf first, and a uevent of the root hub makes listeners look again
// (umockdev sends no "remove").
void KernelModel::HideCurrent() {
  Silence();
  if (shown_ == Shown::kNone) return;
  CloseCommandCollection();
  for (const auto& hidraw : hidraws_) HideHid(hidraw);
  hidraws_.clear();
  master_ = -1;
  if (usbfs_) {
    usbfs_->Disconnect(*world_);
    oldNodes_.push_back(usbfs_);
    usbfs_.reset();
  }
  for (const auto& path : removeOnHide_) umockdev_testbed_remove_device(testbed_.get(), path.c_str());
  removeOnHide_.clear();
  Uevent(kRootHub, "change");
  shown_ = Shown::kNone;
}

// A uevent for udev listeners, unless this model runs without them (a system
// without udevd: libudev reads sysfs, but nothing announces a change).
void KernelModel::Uevent(const std::string& sysPath, const char* action) {
  if (options_.noUevents) return;
  umockdev_testbed_uevent(testbed_.get(), sysPath.c_str(), action);
}

// Before a change of the test bed in a model without uevents: the test bed
// sends an "add" for every record it adds, to each listener's socket in its
// root ("event<N>", bound when a program subscribes); with the sockets'
// names gone, the listeners stay subscribed and hear nothing, as under a
// kernel without udevd to pass its events on.
void KernelModel::Silence() {
  if (!options_.noUevents) return;
  glob_t found{};
  if (::glob((testbed_.root() + "/event[0-9]*").c_str(), 0, nullptr, &found) == 0)
    for (std::size_t i = 0; i < found.gl_pathc; ++i) ::unlink(found.gl_pathv[i]);
  ::globfree(&found);
}

void KernelModel::OnPump(std::function<void()> task) {
  std::packaged_task<void()> job(std::move(task));
  std::future<void> done = job.get_future();
  {
    std::lock_guard<std::mutex> lk(tasksMutex_);
    tasks_.push_back(std::move(job));
  }
  Wake();
  if (done.wait_for(10s) != std::future_status::ready) std::fprintf(stderr, "kernel model: a pump task did not run\n");
}

void KernelModel::UnbindInterface(int number) {
  OnPump([this, number] {
    for (auto it = hidraws_.begin(); it != hidraws_.end(); ++it) {
      if (it->number != number) continue;
      HideHid(*it);
      hidraws_.erase(it);
      Uevent(kRootHub, "change");
      return;
    }
  });
}

void KernelModel::BindInterface(int number) {
  OnPump([this, number] {
    if (shown_ != Shown::kMouse) return;
    for (const auto& shown : hidraws_)
      if (shown.number == number) return;
    for (const sim::HidInterfaceLayout& intf : layout_.interfaces) {
      if (intf.number != number) continue;
      ShowHid(intf);
      Uevent("/sys" + hidraws_.back().raw, "add");
    }
  });
}

// A hidraw node's pty hangs up (its readers see POLLHUP, its reads and writes
// fail). The test bed keeps the master's descriptor and closes it at its end:
// the pty is hung up by putting /dev/null in its place. Its number may then go
// to the next pty, which the test bed would refuse while it still maps the old
// one to this node: the mapping goes too.
void KernelModel::HangUp(const std::string& node, int master) {
  if (master < 0) return;
  char pts[256] = {};
  const ssize_t length = ::readlink((testbed_.root() + node).c_str(), pts, sizeof pts - 1);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, master);
    ::close(null);
  }
  if (length > 0) {
    std::string name(pts, static_cast<std::size_t>(length));
    for (auto& c : name)
      if (c == '/') c = '_';
    ::unlink((testbed_.root() + "/dev/.ptymap/" + name).c_str());
  }
}

// A node's access as the rule file gives it (read and write for the user;
// here anyone, since a test may run the program as another user than
// itself), or none.
void KernelModel::Permit(const std::string& node, bool allowed) {
  {
    std::lock_guard<std::mutex> lk(mutex_);
    const auto it = std::find(denied_.begin(), denied_.end(), node);
    if (!allowed && it == denied_.end()) denied_.push_back(node);
    if (allowed && it != denied_.end()) denied_.erase(it);
  }
  const std::string path = testbed_.root() + node;
  char target[256] = {};
  const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);  // a pty
  ::chmod(length > 0 ? target : path.c_str(), allowed ? 0666 : 0);
}

// The preload library's socket for a node's I/O controls, open to anyone
// before the node appears (a program that cannot reach it is ended): the node
// itself is what permission is checked on.
void KernelModel::OpenIoctlSocket(const std::string& node) {
  const std::string socket = testbed_.root() + "/ioctl" + node;
  if (::chmod(socket.c_str(), 0666) != 0)
    std::fprintf(stderr, "kernel model: %s: %s\n", socket.c_str(), std::strerror(errno));
}

void KernelModel::OpenCommandCollection() {
  sim::World& world = *world_;
  command_ =
      world.CreateFileW(rig_->mouse().CommandPath().c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  readOv_ = OVERLAPPED{};
  readOv_.hEvent = world.CreateEventW(nullptr, TRUE, FALSE, nullptr);
  writeOv_ = OVERLAPPED{};
  writeOv_.hEvent = world.CreateEventW(nullptr, TRUE, FALSE, nullptr);
  reading_ = false;
}

void KernelModel::CloseCommandCollection() {
  sim::World& world = *world_;
  if (command_ != INVALID_HANDLE_VALUE) {
    world.CancelIo(command_);
    if (reading_) {
      DWORD n = 0;
      world.GetOverlappedResult(command_, &readOv_, &n, TRUE);
    }
    world.CloseHandle(command_);
  }
  if (readOv_.hEvent != nullptr) world.CloseHandle(readOv_.hEvent);
  if (writeOv_.hEvent != nullptr) world.CloseHandle(writeOv_.hEvent);
  command_ = INVALID_HANDLE_VALUE;
  readOv_ = OVERLAPPED{};
  writeOv_ = OVERLAPPED{};
  reading_ = false;
}

// The hidraw node: each output report the program wrote (report id first) goes
// to the virtual mouse's command collection; each input report of it is
// written to the node for the program to read. Waits at most 2 ms of real
// time for the program.
void KernelModel::ServeHid() {
  sim::World& world = *world_;
  if (master_ < 0 || command_ == INVALID_HANDLE_VALUE) {
    std::unique_lock<std::mutex> lk(wakeMutex_);
    wakeUp_.wait_for(lk, 1ms, [this] { return woken_; });
    woken_ = false;
    return;
  }
  DWORD n = 0;
  if (!reading_)
    reading_ =
        world.ReadFile(command_, reply_, sizeof reply_, &n, &readOv_) || world.GetLastError() == ERROR_IO_PENDING;
  auto forward = [&](DWORD waitMs) {
    if (!reading_ || world.WaitForSingleObject(readOv_.hEvent, waitMs) != WAIT_OBJECT_0) return;
    reading_ = false;
    if (world.GetOverlappedResult(command_, &readOv_, &n, FALSE)) (void)!::write(master_, reply_, n);
  };
  forward(0);  // a report the device sent by itself
  pollfd fd{master_, POLLIN, 0};
  if (::poll(&fd, 1, 2) <= 0 || (fd.revents & POLLIN) == 0) return;
  const ssize_t got = ::read(master_, request_ + requestBytes_, sizeof request_ - requestBytes_);
  if (got <= 0) return;
  requestBytes_ += static_cast<std::size_t>(got);
  if (requestBytes_ < sizeof request_) return;
  requestBytes_ = 0;
  if (!world.WriteFile(command_, request_, sizeof request_, &n, &writeOv_) && world.GetLastError() == ERROR_IO_PENDING)
    world.GetOverlappedResult(command_, &writeOv_, &n, TRUE);
  if (!reading_)
    reading_ =
        world.ReadFile(command_, reply_, sizeof reply_, &n, &readOv_) || world.GetLastError() == ERROR_IO_PENDING;
  // The mouse answers within its own time (virtual); none is an answer too.
  forward(200);
}

// ---------------------------------------------------------------- programs

ChildRun RunChild(const std::string& program, const std::vector<std::string>& args, int seconds,
                  const std::function<bool(const std::string& out)>& interruptWhen, bool asNobody) {
  ChildOptions options;
  options.seconds = seconds;
  options.interruptWhen = interruptWhen;
  if (asNobody && ::geteuid() == 0) options.uid = options.gid = 65534;
  return RunChild(program, args, options);
}

std::string WhyNotRunAsNobody(const ChildRun& run) {
  if (run.status == kCannotBecomeNobody) return "cannot run a program as another user here";
  if (run.status == kCannotStart)
    return "nobody cannot start the program: its build folder, or a folder above it, is closed to other users "
           "(a home folder of mode 700, say)";
  return {};
}

std::string EnglishMessage(int status) {
  return sim::ToUtf8(UpgradeMessage(static_cast<UpgradeStatus>(status), UiLanguage::English));
}

}  // namespace kv27::test
