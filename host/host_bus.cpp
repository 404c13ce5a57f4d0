#include "host/host_bus.h"

#include <fcntl.h>
#include <libudev.h>
#include <libusb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <thread>

#include "host/host_devices.h"
#include "protocol/kv8b05_comm.h"
#include "sim/hid_device.h"
#include "sim/usb_tree.h"

namespace kv27::host {
namespace {

// How long the monitor thread waits for a uevent before it looks at sysfs
// again by itself.
constexpr int kLookAgainMs = 500;

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::u16string Upper(std::u16string text) {
  for (auto& c : text)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return text;
}

// A child instance id as the bus drivers make one: a level, a hash of the
// parent, the place.
std::u16string ChildInstance(char level, const std::u16string& parent, const char* tail) {
  char text[48];
  std::snprintf(text, sizeof text, "%c&%08zx&0&%s", level, std::hash<std::u16string>{}(parent)&0xFFFFFFFFu, tail);
  return Wide(text);
}

unsigned long Number(const char* text, int base) { return text == nullptr ? 0 : std::strtoul(text, nullptr, base); }

std::string Attr(udev_device* device, const char* name) {
  const char* value = udev_device_get_sysattr_value(device, name);
  std::string text = value == nullptr ? std::string() : value;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// One USB device as sysfs shows it.
struct UsbRecord {
  std::string sysname;  // "usb1" for a root hub, "1-2.3" below it
  int bus = 0;
  int devnum = 0;
  USHORT vendorId = 0, productId = 0, bcdDevice = 0;
  int deviceClass = 0;
  int maxchild = 0;
  std::vector<int> ports;  // the port path; empty for a root hub
  bool operator==(const UsbRecord& o) const {
    return sysname == o.sysname && bus == o.bus && devnum == o.devnum && vendorId == o.vendorId &&
           productId == o.productId;
  }
};

// One hidraw node of the mouse.
struct HidrawRecord {
  std::string sysname;  // hidrawN
  std::string usbSysname;
  int interfaceNumber = -1;
  // The USB device is composite as Windows tells one (its interfaces each a
  // device of their own under the generic parent driver): the HID interfaces
  // are then named with their interface number (&mi_NN).
  bool composite = false;
  std::shared_ptr<HidrawNode> node;
};

// Windows loads the generic parent driver (USB\COMPOSITE) for a device with
// one configuration and more than one interface whose device class is 0, or
// the interface-association triple EF/02/01; a device with one interface is
// the HID device itself.
bool CompositeDevice(udev_device* usb) {
  const auto number = [&](const char* name, int base) { return Number(Attr(usb, name).c_str(), base); };
  const unsigned long deviceClass = number("bDeviceClass", 16);
  const bool association =
      deviceClass == 0xEF && number("bDeviceSubClass", 16) == 0x02 && number("bDeviceProtocol", 16) == 0x01;
  return number("bNumInterfaces", 10) > 1 && number("bNumConfigurations", 10) == 1 && (deviceClass == 0 || association);
}

std::optional<UsbRecord> ReadUsb(udev_device* device) {
  const char* devtype = udev_device_get_devtype(device);
  if (devtype == nullptr || std::strcmp(devtype, "usb_device") != 0) return std::nullopt;
  UsbRecord r;
  r.sysname = udev_device_get_sysname(device);
  r.bus = static_cast<int>(Number(Attr(device, "busnum").c_str(), 10));
  r.devnum = static_cast<int>(Number(Attr(device, "devnum").c_str(), 10));
  r.vendorId = static_cast<USHORT>(Number(Attr(device, "idVendor").c_str(), 16));
  r.productId = static_cast<USHORT>(Number(Attr(device, "idProduct").c_str(), 16));
  r.bcdDevice = static_cast<USHORT>(Number(Attr(device, "bcdDevice").c_str(), 16));
  r.deviceClass = static_cast<int>(Number(Attr(device, "bDeviceClass").c_str(), 16));
  r.maxchild = static_cast<int>(Number(Attr(device, "maxchild").c_str(), 10));
  if (r.bus <= 0) return std::nullopt;
  if (r.sysname.rfind("usb", 0) != 0) {
    // "B-P1.P2...": the port path below the root hub.
    const auto dash = r.sysname.find('-');
    if (dash == std::string::npos) return std::nullopt;
    std::string rest = r.sysname.substr(dash + 1);
    std::size_t start = 0;
    while (start <= rest.size()) {
      const auto dot = rest.find('.', start);
      const std::string part = rest.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
      const int port = std::atoi(part.c_str());
      if (port <= 0 || port > 255) return std::nullopt;
      r.ports.push_back(port);
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
  }
  return r;
}

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> bytes;
  if (!in) return bytes;
  char buffer[kMaxReportDescriptorSize + 1];
  in.read(buffer, sizeof buffer);
  bytes.assign(buffer, buffer + in.gcount());
  return bytes;
}

// One HID interface of a USB device as attached: its collections' interface
// paths and their device nodes.
struct AttachedHid {
  std::vector<std::u16string> paths;
  std::vector<std::u16string> nodes;
};

// What is plugged into the world for one USB device.
struct Plugged {
  UsbRecord record;
  std::optional<sim::UsbHub> hub;          // when it is a hub
  std::optional<sim::UsbPort> port;        // where it sits (not for root hubs)
  std::map<std::string, AttachedHid> hid;  // its HID interfaces, by hidraw node (hidrawN)
  std::u16string bootPath;                 // its bootloader interface, when attached
};

}  // namespace

struct HostBus::Impl {
  Impl(USHORT v, USHORT p, USHORT bv, USHORT bp) : vendorId(v), productId(p), bootVendorId(bv), bootProductId(bp) {}

  USHORT vendorId, productId, bootVendorId, bootProductId;
  sim::World world;
  std::optional<sim::UsbTree> tree;
  std::shared_ptr<HostShared> shared = std::make_shared<HostShared>();
  std::string problem;
  std::mutex scanMutex;  // one look at sysfs at a time
  std::map<int, sim::UsbController> controllers;
  std::map<std::string, Plugged> plugged;  // by sysname
  std::thread monitorThread;
  int stopFd = -1, rescanFd = -1;

  struct Scan {
    std::vector<UsbRecord> usb;
    std::vector<HidrawRecord> hidraw;
  };

  // One look at sysfs, through a libudev context of its own: the monitor
  // thread and the caller's both look, and a context with everything made
  // from it must never be used by two threads at once (one costs little).
  Scan Look() {
    Scan scan;
    udev* context = udev_new();
    if (context == nullptr) return scan;
    udev_enumerate* e = udev_enumerate_new(context);
    if (e == nullptr) {
      udev_unref(context);
      return scan;
    }
    udev_enumerate_add_match_subsystem(e, "usb");
    udev_enumerate_add_match_subsystem(e, "hidraw");
    udev_enumerate_scan_devices(e);
    for (udev_list_entry* entry = udev_enumerate_get_list_entry(e); entry != nullptr;
         entry = udev_list_entry_get_next(entry)) {
      udev_device* device = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
      if (device == nullptr) continue;
      const char* subsystem = udev_device_get_subsystem(device);
      if (subsystem != nullptr && std::strcmp(subsystem, "usb") == 0) {
        if (auto r = ReadUsb(device)) scan.usb.push_back(*r);
      } else if (subsystem != nullptr && std::strcmp(subsystem, "hidraw") == 0) {
        if (auto r = ReadHidraw(device)) scan.hidraw.push_back(std::move(*r));
      }
      udev_device_unref(device);
    }
    udev_enumerate_unref(e);
    udev_unref(context);
    return scan;
  }

  // A hidraw node of the mouse: HID_ID from the HID device above it, the
  // interface number and the USB device above that, the report descriptor.
  std::optional<HidrawRecord> ReadHidraw(udev_device* device) {
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(device, "hid", nullptr);
    udev_device* intf = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_interface");
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
    if (hid == nullptr || intf == nullptr || usb == nullptr) return std::nullopt;
    const char* id = udev_device_get_property_value(hid, "HID_ID");  // "0003:00004E5B:0000002A"
    unsigned bus = 0, vendor = 0, product = 0;
    if (id == nullptr || std::sscanf(id, "%x:%x:%x", &bus, &vendor, &product) != 3) return std::nullopt;
    if (vendor != vendorId || product != productId) return std::nullopt;
    HidrawRecord r;
    r.sysname = udev_device_get_sysname(device);
    r.usbSysname = udev_device_get_sysname(usb);
    r.interfaceNumber = static_cast<int>(Number(Attr(intf, "bInterfaceNumber").c_str(), 16));
    r.composite = CompositeDevice(usb);
    auto node = std::make_shared<HidrawNode>();
    const char* devnode = udev_device_get_devnode(device);
    node->devnode = devnode != nullptr ? devnode : "/dev/" + r.sysname;
    node->attributes.Size = sizeof(HIDD_ATTRIBUTES);
    node->attributes.VendorID = static_cast<USHORT>(vendor);
    node->attributes.ProductID = static_cast<USHORT>(product);
    node->attributes.VersionNumber = static_cast<USHORT>(Number(Attr(usb, "bcdDevice").c_str(), 16));
    const std::vector<std::uint8_t> bytes =
        ReadFileBytes(std::string(udev_device_get_syspath(hid)) + "/report_descriptor");
    node->descriptor = ParseReportDescriptor(bytes.data(), bytes.size());
    if (!node->descriptor.ok) return std::nullopt;  // nothing the class driver would list either
    r.node = node;
    return r;
  }

  static std::size_t Depth(const UsbRecord& r) { return r.ports.size(); }

  // The collections of one HID interface leave the boundary and the device
  // tree; the interface's own node stays with its USB device.
  void DetachHid(AttachedHid& hid) {
    for (const auto& path : hid.paths) world.Detach(path);
    for (const auto& node : hid.nodes) world.RemoveDevNode(node);
    hid.paths.clear();
    hid.nodes.clear();
  }

  void DetachAll(Plugged& p) {
    for (auto& [name, hid] : p.hid) DetachHid(hid);
    p.hid.clear();
    if (!p.bootPath.empty()) world.Detach(p.bootPath);
    p.bootPath.clear();
  }

  void Unplug(const std::string& sysname) {
    auto it = plugged.find(sysname);
    if (it == plugged.end()) return;
    Plugged& p = it->second;
    DetachAll(p);
    if (p.port) p.port->Unplug();
    plugged.erase(it);
  }

  // Brings the world in line with sysfs: what left goes leaf first, what came
  // is plugged from the root down.
  void Apply(const Scan& scan) {
    std::map<std::string, const UsbRecord*> now;
    for (const auto& r : scan.usb) now[r.sysname] = &r;
    std::map<std::string, const HidrawRecord*> hidNow;
    for (const auto& h : scan.hidraw) hidNow[h.usbSysname + "/" + h.sysname] = &h;

    std::vector<std::string> gone;
    for (const auto& [name, p] : plugged) {
      auto found = now.find(name);
      if (found == now.end() || !(*found->second == p.record)) gone.push_back(name);
    }
    std::sort(gone.begin(), gone.end(), [&](const std::string& a, const std::string& b) {
      return Depth(plugged.at(a).record) > Depth(plugged.at(b).record);
    });
    for (const auto& name : gone) {
      // A hub's unplug took what was below it along.
      for (auto it = plugged.begin(); it != plugged.end();) {
        const bool below = it->first != name && it->first.rfind(name + ".", 0) == 0;
        if (below) {
          DetachAll(it->second);
          it = plugged.erase(it);
        } else {
          ++it;
        }
      }
      Unplug(name);
    }
    // HID interfaces that left while their device stayed (a node each).
    for (auto& [name, p] : plugged) {
      for (auto it = p.hid.begin(); it != p.hid.end();) {
        if (hidNow.count(name + "/" + it->first) != 0) {
          ++it;
          continue;
        }
        DetachHid(it->second);
        it = p.hid.erase(it);
      }
    }

    std::vector<const UsbRecord*> fresh;
    for (const auto& r : scan.usb)
      if (plugged.count(r.sysname) == 0) fresh.push_back(&r);
    std::sort(fresh.begin(), fresh.end(), [](const UsbRecord* a, const UsbRecord* b) { return Depth(*a) < Depth(*b); });
    for (const UsbRecord* r : fresh) Plug(*r);

    // Every HID interface of a device, each through its own hidraw node.
    for (const auto& h : scan.hidraw) {
      auto it = plugged.find(h.usbSysname);
      if (it == plugged.end() || !it->second.port || it->second.hid.count(h.sysname) != 0) continue;
      AttachHid(it->second, h);
    }
  }

  void Plug(const UsbRecord& r) {
    Plugged p;
    p.record = r;
    if (r.ports.empty()) {
      // A root hub: its bus is host controller n - 1.
      if (controllers.count(r.bus) == 0) {
        controllers.emplace(r.bus, tree->AddController(r.bus - 1, std::clamp(r.maxchild, 0, 255)));
      }
      p.hub = controllers.at(r.bus).Root();
      plugged[r.sysname] = std::move(p);
      return;
    }
    // The hub it hangs on: the root hub of its bus, or the device one port up.
    std::string parentName = "usb" + std::to_string(r.bus);
    if (r.ports.size() > 1) {
      parentName = std::to_string(r.bus) + "-";
      for (std::size_t i = 0; i + 1 < r.ports.size(); ++i) parentName += (i ? "." : "") + std::to_string(r.ports[i]);
    }
    auto parent = plugged.find(parentName);
    if (parent == plugged.end() || !parent->second.hub) return;
    if (r.ports.back() > parent->second.hub->PortCount()) return;
    sim::UsbPort port = parent->second.hub->Port(r.ports.back());
    p.port = port;
    if (r.deviceClass == 9) {
      p.hub = port.PlugHub(std::clamp(r.maxchild, 0, 255));
    } else {
      auto function = std::make_shared<HostUsbFunction>(shared, r.bus, r.devnum, r.vendorId, r.productId, r.bcdDevice);
      if (r.vendorId == bootVendorId && r.productId == bootProductId) function->setupClass = sim::kUsbDeviceSetupClass;
      port.Plug(function);
      if (r.vendorId == bootVendorId && r.productId == bootProductId) {
        // The bootloader's WinUSB interface is named after the device node
        // of its place on the bus, as Windows names it.
        std::u16string path = u"\\\\?\\";
        for (char16_t c : port.DeviceInstanceId()) {
          if (c == u'\\') c = u'#';
          if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
          path.push_back(c);
        }
        path += u"#{6e0b2f48-95d1-4c37-b2a6-1f9d83e45c70}";
        world.Attach(path, std::make_shared<HostBootloader>(shared, r.bus, r.devnum), IspInterfaceGuid);
        p.bootPath = path;
      }
    }
    plugged[r.sysname] = std::move(p);
  }

  // One HID interface as the Windows HID class driver names it: on a
  // composite device the generic parent's node of the interface
  // ("USB\VID_v&PID_p&MI_NN\...") below the port's node, and its collections
  // named with "&mi_NN"; on a device with one interface the collections hang
  // on the port's node itself, without. "&colNN" only when the interface's
  // descriptor has more than one top-level collection; one HID interface per
  // collection, one device node each.
  void AttachHid(Plugged& p, const HidrawRecord& h) {
    const std::u16string deviceInstance = p.port->DeviceInstanceId();
    const unsigned number = static_cast<unsigned>(h.interfaceNumber & 0xFF);
    std::u16string parent = deviceInstance;
    std::u16string instance = ChildInstance('6', deviceInstance, "0000");
    if (h.composite) {
      char ids[48], tail[8];
      std::snprintf(ids, sizeof ids, "USB\\VID_%04X&PID_%04X&MI_%02X\\", vendorId, productId, number);
      std::snprintf(tail, sizeof tail, "%04X", number);
      parent = Wide(ids) + ChildInstance('6', deviceInstance, tail);
      instance = ChildInstance('7', parent, "0000");
      world.AddDevNode(parent, deviceInstance, sim::kHidSetupClass);
    }
    AttachedHid& attached = p.hid[h.sysname];
    const auto& collections = h.node->descriptor.collections;
    for (std::size_t i = 0; i < collections.size(); ++i) {
      const int col = collections.size() > 1 ? static_cast<int>(i + 1) : 0;
      const std::u16string path =
          sim::HidInterfacePath(vendorId, productId, h.composite ? h.interfaceNumber : -1, col, instance);
      const std::u16string node = Upper(sim::InstanceIdOfInterface(path));
      world.AddDevNode(node, parent, sim::kHidSetupClass);
      world.Attach(path, std::make_shared<HidrawCollection>(shared, h.node, i), GUID_DEVINTERFACE_HID);
      attached.paths.push_back(path);
      attached.nodes.push_back(node);
    }
  }

  void Rescan() {
    std::lock_guard<std::mutex> lk(scanMutex);
    if (!tree) return;
    Apply(Look());
  }

  // The monitor thread: it looks at sysfs again on every uevent, when a node
  // failed, and when nothing came for kLookAgainMs, for a system without
  // udevd (a container, say), where libudev reads sysfs but no event ever
  // comes: a device that appears there is found within that time.
  void Monitor() {
    udev* context = udev_new();  // this thread's own
    udev_monitor* monitor = context != nullptr ? udev_monitor_new_from_netlink(context, "udev") : nullptr;
    if (monitor != nullptr) {
      udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", nullptr);
      udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr);
      if (udev_monitor_enable_receiving(monitor) < 0) {
        udev_monitor_unref(monitor);
        monitor = nullptr;
      }
    }
    // Everything that came between the first look and now.
    Rescan();
    for (;;) {
      pollfd fds[3] = {{stopFd, POLLIN, 0}, {rescanFd, POLLIN, 0}, {-1, POLLIN, 0}};
      if (monitor != nullptr) fds[2].fd = udev_monitor_get_fd(monitor);
      const int ready = ::poll(fds, 3, kLookAgainMs);
      if (ready < 0) continue;
      if (fds[0].revents != 0) break;
      bool look = ready == 0;
      if (fds[1].revents != 0) {
        std::uint64_t count = 0;
        (void)!::read(rescanFd, &count, sizeof count);
        look = true;
      }
      if (fds[2].revents != 0) {
        while (udev_device* device = udev_monitor_receive_device(monitor)) {
          udev_device_unref(device);
          look = true;
        }
      }
      if (look) Rescan();
    }
    if (monitor != nullptr) udev_monitor_unref(monitor);
    if (context != nullptr) udev_unref(context);
  }
};

HostBus::HostBus(std::uint16_t vendorId, std::uint16_t productId, std::uint16_t bootVendorId,
                 std::uint16_t bootProductId)
    : impl_(std::make_unique<Impl>(vendorId, productId, bootVendorId, bootProductId)) {
  Impl& m = *impl_;
  m.world.SetRealTime(true);
  // libusb finds nothing by itself: every device it drives is a usbfs node
  // this bus opened.
  libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
  if (libusb_init(&m.shared->usb) != LIBUSB_SUCCESS) {
    m.shared->usb = nullptr;
    m.problem = "libusb could not start";
    return;
  }
  if (udev* probe = udev_new()) {
    udev_unref(probe);
  } else {
    m.problem = "libudev could not start";
    return;
  }
  m.tree.emplace(m.world);
  m.stopFd = ::eventfd(0, EFD_CLOEXEC);
  m.rescanFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const int rescanFd = m.rescanFd;
  m.shared->requestRescan = [rescanFd] {
    const std::uint64_t one = 1;
    (void)!::write(rescanFd, &one, sizeof one);
  };
  m.Rescan();
  m.monitorThread = std::thread([&m] { m.Monitor(); });
}

HostBus::~HostBus() {
  Impl& m = *impl_;
  if (m.monitorThread.joinable()) {
    const std::uint64_t one = 1;
    (void)!::write(m.stopFd, &one, sizeof one);
    m.monitorThread.join();
  }
  {
    // The reader threads of handles closed last end on their own signal.
    std::unique_lock<std::mutex> lk(m.shared->mutex);
    m.shared->threadsDone.wait_for(lk, std::chrono::seconds(5), [&] { return m.shared->readerThreads == 0; });
  }
  for (auto& [name, p] : m.plugged) m.DetachAll(p);
  m.plugged.clear();
  m.tree.reset();
  if (m.stopFd >= 0) ::close(m.stopFd);
  if (m.rescanFd >= 0) ::close(m.rescanFd);
  if (m.shared->usb != nullptr) libusb_exit(m.shared->usb);
}

sim::World& HostBus::world() { return impl_->world; }
bool HostBus::ok() const { return impl_->problem.empty(); }
std::string HostBus::why() const { return impl_->problem; }
void HostBus::Rescan() { impl_->Rescan(); }

std::vector<std::string> HostBus::PermissionProblems() {
  std::lock_guard<std::mutex> lk(impl_->shared->mutex);
  return impl_->shared->refused;
}

std::vector<HostDeviceInfo> HostBus::List() {
  Impl& m = *impl_;
  if (!m.tree) return {};
  const Impl::Scan scan = m.Look();
  std::vector<HostDeviceInfo> out;
  auto tryOpen = [](const std::string& node, HostDeviceInfo& info) {
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
      ::close(fd);
      info.canOpen = true;
    } else {
      const int error = errno;
      info.problem = std::strerror(error);
      info.denied = error == EACCES || error == EPERM;
    }
  };
  for (const auto& r : scan.usb) {
    const bool mouse = r.vendorId == m.vendorId && r.productId == m.productId;
    const bool boot = r.vendorId == m.bootVendorId && r.productId == m.bootProductId;
    if (!mouse && !boot) continue;
    if (mouse) {
      for (const auto& h : scan.hidraw) {
        if (h.usbSysname != r.sysname) continue;
        HostDeviceInfo info{"mouse", r.sysname, h.node->devnode};
        tryOpen(h.node->devnode, info);
        out.push_back(info);
      }
      HostDeviceInfo usb{"mouse (USB device)", r.sysname, UsbfsNode(r.bus, r.devnum)};
      tryOpen(usb.node, usb);
      out.push_back(usb);
    } else {
      HostDeviceInfo info{"bootloader", r.sysname, UsbfsNode(r.bus, r.devnum)};
      tryOpen(info.node, info);
      out.push_back(info);
    }
  }
  return out;
}

std::vector<std::string> PermissionAdvice(const std::vector<std::string>& nodes) {
  std::vector<std::string> lines;
  for (const auto& node : nodes) lines.push_back("no permission to open " + node);
  if (nodes.empty()) return lines;
  lines.push_back(std::string("install the rule file ") + kRuleFileName +
                  " (res/linux in the source tree, or beside the program) and reload the rules:");
  lines.push_back(std::string("  sudo install -m 644 ") + kRuleFileName + " " + kRuleFileInstalled);
  lines.push_back("  sudo udevadm control --reload");
  lines.push_back("  sudo udevadm trigger --subsystem-match=usb --subsystem-match=hidraw");
  lines.push_back("then unplug the mouse and plug it in again, and run this program again as yourself (not as root)");
  return lines;
}

}  // namespace kv27::host
