// A virtual USB topology: host controllers, root hubs, external hubs and the
// devices on their ports, served to the OsApi through the hub driver's I/O
// controls.
//
//   - Host controllers sit at "\\.\HCD<n>" (any n, gaps allowed) and answer
//     IOCTL_USB_GET_ROOT_HUB_NAME with their root hub's symbolic name.
//   - Every hub sits at "\\.\" followed by its name and answers
//     IOCTL_USB_GET_NODE_INFORMATION (port count at offset 6),
//     IOCTL_USB_GET_NODE_CONNECTION_INFORMATION (the packed 365-byte record),
//     IOCTL_USB_GET_NODE_CONNECTION_NAME (the name of an external hub on a
//     port), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME (the driver key of
//     the device on a port) and IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
//     whose setup packet it hands unchanged to the device on that port.
//   - The tree keeps the world's device nodes: the controller under the root,
//     each hub under the node of what it hangs on, each device plugged into a
//     port under its hub ("USB\VID_v&PID_p\5&<hub>&0&<port>": an instance id
//     made from the place on the bus, as Windows makes it for a device without
//     a serial number), each gone with what is unplugged.
//
// Building a tree:
//
//   UsbTree tree(world);
//   UsbController hc = tree.AddController(0);           // root hub with 4 ports
//   std::shared_ptr<UsbDeviceStub> mouse = hc.Root().Port(3).Plug(0x1234, 0x5678);
//   UsbHub hub = hc.Root().Port(1).PlugHub(4);
//   hub.Port(2).Plug(0x1111, 0x2222);
//   hc.Root().Port(3).Reenumerate();                      // same device, new address
//   hc.Root().Port(3).Unplug();
//
// Devices answer descriptor requests through UsbFunction::OnGetDescriptor. The
// stub records every request it receives; a device of one's own derives from
// UsbFunction (the virtual mouse takes its orders there). Device callbacks run
// with the world locked: they must not call OsApi operations nor the builder;
// World::ScheduleLocked runs a builder step (say, Unplug) once the call is done.
//
// Faults: a hub or controller that refuses opens (SetOpenError, or Unplug of a
// hub), a port still enumerating (SetStatus), hostile name replies
// (SetRootHubNameReply, SetHubNameReply), malformed descriptor replies
// (UsbDeviceStub::SetRawReply); failing I/O controls come from
// World::InjectFault with the hub's name as the path part.
//
// Destroy the tree before its world: the destructor detaches every path.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/world.h"

namespace kv27::sim {

// The hub interface class, as the end of every hub's symbolic name.
inline constexpr char16_t kHubClassSuffix[] = u"#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
// Pipes a 365-byte connection record has room for.
inline constexpr std::size_t kMaxRecordPipes = 30;

// The instance id of the device with these ids on `port` of the hub named
// `hubName`; its GUID_DEVINTERFACE_USB_DEVICE interface is named after it.
std::u16string UsbDeviceInstanceId(USHORT vendorId, USHORT productId, const std::u16string& hubName, int port);

// What a device answered to a request carried through its hub.
struct ControlReply {
  DWORD error = ERROR_SUCCESS;  // non-zero: the request failed (the device stalled)
  DWORD length = 0;             // data bytes the hub reports, after its 12-byte header
};

// A device on a hub port.
class UsbFunction {
 public:
  UsbFunction(USHORT vendorId, USHORT productId);
  virtual ~UsbFunction() = default;

  // What the hub reports for the port. Read when the device is plugged (and
  // re-read on Reenumerate); set them up before that.
  USB_DEVICE_DESCRIPTOR descriptor{};
  UCHAR configurationValue = 1;
  bool lowSpeed = false;
  std::vector<USB_PIPE_INFO> openPipes;
  // The setup class its device node installs under.
  GUID setupClass = kUsbSetupClass;

  // A GET_DESCRIPTOR request from the host, the setup packet exactly as the
  // host built it. `data` has room for `room` bytes. The default stalls.
  virtual ControlReply OnGetDescriptor(ULONG connectionIndex, const USB_SETUP_PACKET& setup, BYTE* data, DWORD room);
};

// A plain device: answers the string descriptors it was given and stalls on
// anything else, and keeps a log of every request.
class UsbDeviceStub : public UsbFunction {
 public:
  struct Request {
    ULONG connectionIndex = 0;
    USB_SETUP_PACKET setup{};
    DWORD room = 0;
  };

  UsbDeviceStub(USHORT vendorId, USHORT productId);

  // String descriptor `index` in language `language`.
  void SetString(UCHAR index, USHORT language, std::u16string text);
  // From now on every request is answered with exactly `bytes` (as far as the
  // room goes) and the hub reports `length` data bytes (default: the size of
  // `bytes`): for malformed and lying replies.
  void SetRawReply(std::vector<BYTE> bytes, std::optional<DWORD> length = std::nullopt);
  // From now on every request fails with `error`.
  void SetStall(DWORD error = ERROR_GEN_FAILURE);

  std::vector<Request> Requests() const;

  ControlReply OnGetDescriptor(ULONG connectionIndex, const USB_SETUP_PACKET& setup, BYTE* data, DWORD room) override;

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<UCHAR, USHORT>, std::u16string> strings_;
  std::optional<std::pair<std::vector<BYTE>, DWORD>> rawReply_;
  DWORD stall_ = ERROR_SUCCESS;
  std::vector<Request> requests_;
};

// A name reply under the test's control: the driver claims `actualLength`,
// writes `text` after the header as far as the caller's buffer goes, then a
// NUL unit if `terminated`, and reports the bytes it wrote.
struct NameReply {
  ULONG actualLength = 0;
  std::u16string text;
  bool terminated = true;
};

namespace detail {
struct HubNode;
struct ControllerNode;
struct TreeSettings;
}  // namespace detail

class UsbTree;
class UsbHub;

// One port of a hub (1-based).
class UsbPort {
 public:
  // Plugs a device; whatever was on the port leaves first. It gets a fresh
  // address and its port reports DeviceConnected.
  void Plug(std::shared_ptr<UsbFunction> device);
  std::shared_ptr<UsbDeviceStub> Plug(USHORT vendorId, USHORT productId);
  // Plugs an external hub with `ports` ports; its name is made up unless given.
  UsbHub PlugHub(int ports, std::u16string name = {});
  // The device (or hub, with everything below it) leaves.
  void Unplug();
  // The device on the port goes through enumeration again and gets a new
  // address; its descriptor and pipes are read again.
  void Reenumerate();
  // The status the port reports (DeviceConnected after a plug).
  void SetStatus(USB_CONNECTION_STATUS status);
  // Replaces the hub's answer to IOCTL_USB_GET_NODE_CONNECTION_NAME for this
  // port; nullopt restores it.
  void SetHubNameReply(std::optional<NameReply> reply);

  int Number() const { return index_; }
  std::u16string HubPath() const;
  // The hub's symbolic name.
  std::u16string HubName() const;
  // The device node of the device (or hub) on the port; empty when empty.
  std::u16string DeviceInstanceId() const;
  USHORT Address() const;
  std::shared_ptr<UsbFunction> Device() const;

 private:
  friend class UsbHub;
  UsbPort(UsbTree* tree, std::shared_ptr<detail::HubNode> hub, int index)
      : tree_(tree), hub_(std::move(hub)), index_(index) {}
  UsbTree* tree_;
  std::shared_ptr<detail::HubNode> hub_;
  int index_;
};

class UsbHub {
 public:
  // Port `number` (1-based); throws std::out_of_range past the port count.
  UsbPort Port(int number) const;
  int PortCount() const;
  // Symbolic name, and the device path "\\.\" + name.
  std::u16string Name() const;
  std::u16string Path() const;
  // Opens fail with `error` (ERROR_SUCCESS lets them through again).
  void SetOpenError(DWORD error);

 private:
  friend class UsbPort;
  friend class UsbController;
  UsbHub(UsbTree* tree, std::shared_ptr<detail::HubNode> node) : tree_(tree), node_(std::move(node)) {}
  UsbTree* tree_;
  std::shared_ptr<detail::HubNode> node_;
};

class UsbController {
 public:
  UsbHub Root() const;
  std::u16string Path() const;  // "\\.\HCD<n>"
  // Replaces the answer to IOCTL_USB_GET_ROOT_HUB_NAME; nullopt restores it.
  void SetRootHubNameReply(std::optional<NameReply> reply);
  void SetOpenError(DWORD error);

 private:
  friend class UsbTree;
  UsbController(UsbTree* tree, std::shared_ptr<detail::ControllerNode> node) : tree_(tree), node_(std::move(node)) {}
  UsbTree* tree_;
  std::shared_ptr<detail::ControllerNode> node_;
};

class UsbTree {
 public:
  explicit UsbTree(World& world);
  ~UsbTree();
  UsbTree(const UsbTree&) = delete;
  UsbTree& operator=(const UsbTree&) = delete;

  // Host controller "\\.\HCD<number>" with a root hub of `rootPorts` ports
  // (0 to 255). The root hub's name is made up unless given.
  UsbController AddController(int number, int rootPorts = 4, std::u16string rootHubName = {});

  World& world() { return world_; }

  // Name replies (root hub names and external hub names) always carry the
  // terminator and an ActualLength that counts it, the size of the whole
  // structure. Whether the byte count the call returns counts the terminator
  // as well is the driver's own choice; this picks it (default: counted).
  void SetNameCountsTerminator(bool counted);

 private:
  friend class UsbPort;
  friend class UsbHub;
  friend class UsbController;

  std::shared_ptr<detail::HubNode> NewHub(int ports, std::u16string name, detail::ControllerNode* controller);
  std::u16string MakeHubName();
  // Paths of a hub and of every hub below it, to detach once the world's lock
  // is dropped.
  static void CollectDetach(const std::shared_ptr<detail::HubNode>& hub, std::vector<std::u16string>& paths);

  World& world_;
  std::shared_ptr<detail::TreeSettings> settings_;
  std::vector<std::shared_ptr<detail::ControllerNode>> controllers_;
  unsigned hubSerial_ = 0;
};

}  // namespace kv27::sim
