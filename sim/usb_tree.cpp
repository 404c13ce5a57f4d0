#include "sim/usb_tree.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace kv27::sim {

namespace detail {

// What one hub port reports. The descriptor, configuration and pipes are a
// snapshot taken when the device enumerated.
struct PortNode {
  std::shared_ptr<UsbFunction> device;
  std::shared_ptr<HubNode> hub;
  USB_DEVICE_DESCRIPTOR descriptor{};
  UCHAR configurationValue = 0;
  bool lowSpeed = false;
  std::vector<USB_PIPE_INFO> pipes;
  USHORT address = 0;
  ULONG status = NoDeviceConnected;
  std::optional<NameReply> nameReply;
  // The device's interface under GUID_DEVINTERFACE_USB_DEVICE while a device
  // (not a hub) is on the port; empty otherwise.
  std::u16string usbInterfacePath;
  // The device node of what is on the port; empty while it is empty.
  std::u16string instanceId;
};

struct HubNode {
  std::u16string name;
  std::u16string instanceId;  // its device node
  std::vector<PortNode> ports;
  DWORD openError = ERROR_SUCCESS;
  ControllerNode* controller = nullptr;  // builder use only
};

// Behaviour shared by every node of one tree.
struct TreeSettings {
  // Whether the byte count a name reply returns takes in the name's NUL.
  bool nameCountsTerminator = true;
};

struct ControllerNode {
  int number = 0;
  std::u16string path;
  std::u16string instanceId;  // its device node, under the root
  std::shared_ptr<HubNode> root;
  std::optional<NameReply> nameReply;
  DWORD openError = ERROR_SUCCESS;
  USHORT nextAddress = 1;
};

}  // namespace detail

namespace {

using detail::ControllerNode;
using detail::HubNode;
using detail::PortNode;

const std::u16string kDevicePrefix = u"\\\\.\\";

// The hub driver registers an instance of GUID_DEVINTERFACE_USB_DEVICE for
// every USB device attached to a hub port, so every device on a port shows an
// interface of that class (and its arrival and removal reach windows
// registered for it), named after its device node: its ids and its place on
// the bus.
std::u16string UsbDeviceInterfacePath(const std::u16string& instanceId) {
  std::u16string path = u"\\\\?\\";
  for (char16_t c : instanceId) {
    if (c == u'\\') c = u'#';
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    path.push_back(c);
  }
  return path + u"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}

// A hub's device node, named by its symbolic name as its interface path is.
std::u16string HubInstanceId(const std::u16string& hubName) { return InstanceIdOfInterface(u"\\\\.\\" + hubName); }

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

template <typename T>
void Put(BYTE* out, std::size_t offset, const T& value) {
  std::memcpy(out + offset, &value, sizeof value);
}

template <typename T>
T Get(const void* in, std::size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const BYTE*>(in) + offset, sizeof value);
  return value;
}

// A name reply (USB_ROOT_HUB_NAME or USB_NODE_CONNECTION_NAME): ActualLength
// at `lengthOffset`, the text from `textOffset`. The caller has written any
// header field before the length.
// ActualLength is the size of the whole structure, terminator included; the
// byte count returned is the driver's own, with or without the terminator as
// `countsTerminator` says.
DWORD WriteNameReply(BYTE* out, DWORD outSize, std::size_t lengthOffset, std::size_t textOffset,
                     const std::u16string& name, const std::optional<NameReply>& forced, bool countsTerminator,
                     DWORD* returned) {
  if (forced) {
    if (outSize < lengthOffset + sizeof(ULONG)) return ERROR_INSUFFICIENT_BUFFER;
    Put<ULONG>(out, lengthOffset, forced->actualLength);
    std::size_t at = textOffset;
    for (char16_t unit : forced->text) {
      if (at + 2 > outSize) break;
      Put<char16_t>(out, at, unit);
      at += 2;
    }
    if (forced->terminated && at + 2 <= outSize) {
      Put<char16_t>(out, at, u'\0');
      at += 2;
    }
    *returned = static_cast<DWORD>(std::min<std::size_t>(at, outSize));
    return ERROR_SUCCESS;
  }
  // As the hub driver does it: a buffer too small for the name gets the
  // length the whole reply needs and an empty name.
  if (outSize < textOffset + 2) return ERROR_INSUFFICIENT_BUFFER;
  auto actual = static_cast<ULONG>(textOffset + 2 * (name.size() + 1));
  Put<ULONG>(out, lengthOffset, actual);
  if (outSize < actual) {
    Put<char16_t>(out, textOffset, u'\0');
    *returned = static_cast<DWORD>(textOffset + 2);
    return ERROR_SUCCESS;
  }
  std::size_t at = textOffset;
  for (char16_t unit : name) {
    Put<char16_t>(out, at, unit);
    at += 2;
  }
  Put<char16_t>(out, at, u'\0');
  *returned = countsTerminator ? actual : static_cast<DWORD>(actual - 2);
  return ERROR_SUCCESS;
}

// A string descriptor: bLength, type 3, then UTF-16LE units. bLength is one
// byte: at most 126 units fit.
std::vector<BYTE> StringDescriptor(const std::u16string& text) {
  std::size_t units = std::min<std::size_t>(text.size(), 126);
  std::vector<BYTE> descriptor;
  descriptor.push_back(static_cast<BYTE>(2 + 2 * units));
  descriptor.push_back(3);
  for (std::size_t i = 0; i < units; ++i) {
    descriptor.push_back(static_cast<BYTE>(text[i] & 0xFF));
    descriptor.push_back(static_cast<BYTE>(text[i] >> 8));
  }
  return descriptor;
}

// A control transfer's data stage: the device sends at most wLength bytes
// (and never more than the caller has room for); bLength keeps the full size.
ControlReply SendDescriptor(const std::vector<BYTE>& descriptor, const USB_SETUP_PACKET& setup, BYTE* data,
                            DWORD room) {
  std::size_t sent = std::min<std::size_t>({descriptor.size(), setup.wLength, room});
  if (sent != 0) std::memcpy(data, descriptor.data(), sent);
  return ControlReply{ERROR_SUCCESS, static_cast<DWORD>(sent)};
}

// What an external hub answers to GET_DESCRIPTOR: its device descriptor, the
// language list (US English only) and its two strings; any other request is
// stalled, as a hub without that descriptor does.
constexpr USHORT kHubLanguage = 0x0409;
ControlReply HubGetDescriptor(const PortNode& port, const USB_SETUP_PACKET& setup, BYTE* data, DWORD room) {
  const UCHAR type = static_cast<UCHAR>(setup.wValue >> 8);
  const UCHAR index = static_cast<UCHAR>(setup.wValue & 0xFF);
  std::vector<BYTE> descriptor;
  if (type == 1 && index == 0) {
    descriptor.resize(sizeof port.descriptor);
    std::memcpy(descriptor.data(), &port.descriptor, sizeof port.descriptor);
  } else if (type == 3 && index == 0) {
    descriptor = {4, 3, kHubLanguage & 0xFF, kHubLanguage >> 8};
  } else if (type == 3 && setup.wIndex == kHubLanguage && index == port.descriptor.iManufacturer) {
    descriptor = StringDescriptor(u"Generic");
  } else if (type == 3 && setup.wIndex == kHubLanguage && index == port.descriptor.iProduct) {
    descriptor = StringDescriptor(u"USB2.0 Hub");
  } else {
    return ControlReply{ERROR_GEN_FAILURE, 0};
  }
  return SendDescriptor(descriptor, setup, data, room);
}

class HostControllerDevice : public Device {
 public:
  HostControllerDevice(std::shared_ptr<ControllerNode> node, std::shared_ptr<const detail::TreeSettings> settings)
      : node_(std::move(node)), settings_(std::move(settings)) {}

  DWORD OnOpen(FileObject&) override { return node_->openError; }

  DWORD OnIoctl(FileObject&, DWORD code, const void*, DWORD, void* out, DWORD outSize, DWORD* returned,
                CallEffects&) override {
    *returned = 0;
    if (code != IOCTL_USB_GET_ROOT_HUB_NAME) return ERROR_INVALID_FUNCTION;
    if (out == nullptr) return ERROR_INVALID_PARAMETER;
    return WriteNameReply(static_cast<BYTE*>(out), outSize, 0, offsetof(USB_ROOT_HUB_NAME, RootHubName),
                          node_->root->name, node_->nameReply, settings_->nameCountsTerminator, returned);
  }

 private:
  std::shared_ptr<ControllerNode> node_;
  std::shared_ptr<const detail::TreeSettings> settings_;
};

class HubDevice : public Device {
 public:
  HubDevice(std::shared_ptr<HubNode> node, std::shared_ptr<const detail::TreeSettings> settings)
      : node_(std::move(node)), settings_(std::move(settings)) {}

  DWORD OnOpen(FileObject&) override { return node_->openError; }

  DWORD OnIoctl(FileObject&, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                CallEffects&) override {
    *returned = 0;
    auto* bytes = static_cast<BYTE*>(out);
    switch (code) {
      case IOCTL_USB_GET_NODE_INFORMATION:
        return NodeInformation(bytes, outSize, returned);
      case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
        return DriverKeyName(in, inSize, bytes, outSize, returned);
      case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
        return ConnectionInformation(in, inSize, bytes, outSize, returned);
      case IOCTL_USB_GET_NODE_CONNECTION_NAME:
        return ConnectionName(in, inSize, bytes, outSize, returned);
      case IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION:
        return DescriptorRequest(in, inSize, bytes, outSize, returned);
      default:
        return ERROR_INVALID_FUNCTION;
    }
  }

 private:
  PortNode* PortAt(ULONG index) {
    if (index == 0 || index > node_->ports.size()) return nullptr;
    return &node_->ports[index - 1];
  }

  DWORD NodeInformation(BYTE* out, DWORD outSize, DWORD* returned) {
    if (out == nullptr || outSize < sizeof(USB_NODE_INFORMATION)) return ERROR_INSUFFICIENT_BUFFER;
    USB_NODE_INFORMATION info{};
    info.NodeType = 0;  // UsbHub
    USB_HUB_DESCRIPTOR& hub = info.u.HubInformation.HubDescriptor;
    hub.bDescriptorLength = 9;
    hub.bDescriptorType = 0x29;
    hub.bNumberOfPorts = static_cast<UCHAR>(node_->ports.size());
    hub.bPowerOnToPowerGood = 50;
    hub.bHubControlCurrent = 100;
    std::memcpy(out, &info, sizeof info);
    *returned = sizeof info;
    return ERROR_SUCCESS;
  }

  DWORD ConnectionInformation(const void* in, DWORD inSize, BYTE* out, DWORD outSize, DWORD* returned) {
    if (in == nullptr || inSize < sizeof(ULONG)) return ERROR_INVALID_PARAMETER;
    if (out == nullptr || outSize < sizeof(USB_NODE_CONNECTION_INFORMATION)) return ERROR_INSUFFICIENT_BUFFER;
    const auto index = Get<ULONG>(in, 0);
    PortNode* port = PortAt(index);
    if (port == nullptr) return ERROR_INVALID_PARAMETER;
    USB_NODE_CONNECTION_INFORMATION info{};
    info.ConnectionIndex = index;
    if (port->device || port->hub) {
      info.DeviceDescriptor = port->descriptor;
      info.CurrentConfigurationValue = port->configurationValue;
      info.LowSpeed = port->lowSpeed ? 1 : 0;
      info.DeviceIsHub = port->hub ? 1 : 0;
      info.DeviceAddress = port->address;
      info.NumberOfOpenPipes = static_cast<ULONG>(port->pipes.size());
    }
    info.ConnectionStatus = port->status;
    std::memcpy(out, &info, sizeof info);
    std::size_t at = sizeof info;
    for (const USB_PIPE_INFO& pipe : port->pipes) {
      if (at + sizeof pipe > outSize) break;
      std::memcpy(out + at, &pipe, sizeof pipe);
      at += sizeof pipe;
    }
    *returned = static_cast<DWORD>(at);
    return ERROR_SUCCESS;
  }

  DWORD ConnectionName(const void* in, DWORD inSize, BYTE* out, DWORD outSize, DWORD* returned) {
    if (in == nullptr || inSize < sizeof(ULONG)) return ERROR_INVALID_PARAMETER;
    if (out == nullptr || outSize < offsetof(USB_NODE_CONNECTION_NAME, ActualLength) + sizeof(ULONG))
      return ERROR_INSUFFICIENT_BUFFER;
    const auto index = Get<ULONG>(in, 0);
    PortNode* port = PortAt(index);
    if (port == nullptr) return ERROR_INVALID_PARAMETER;
    Put<ULONG>(out, 0, index);
    std::u16string name = port->hub ? port->hub->name : std::u16string();
    return WriteNameReply(out, outSize, offsetof(USB_NODE_CONNECTION_NAME, ActualLength),
                          offsetof(USB_NODE_CONNECTION_NAME, NodeName), name, port->nameReply,
                          settings_->nameCountsTerminator, returned);
  }

  // The driver key of the device node on the port, laid out as a connection
  // name: a buffer too small for it gets the length the whole reply needs.
  // A port with nothing enumerated on it has no device node to name.
  DWORD DriverKeyName(const void* in, DWORD inSize, BYTE* out, DWORD outSize, DWORD* returned) {
    if (in == nullptr || inSize < sizeof(ULONG)) return ERROR_INVALID_PARAMETER;
    if (out == nullptr || outSize < offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, ActualLength) + sizeof(ULONG))
      return ERROR_INSUFFICIENT_BUFFER;
    const auto index = Get<ULONG>(in, 0);
    PortNode* port = PortAt(index);
    if (port == nullptr) return ERROR_INVALID_PARAMETER;
    const std::u16string key =
        port->status == DeviceConnected && world() != nullptr ? world()->DriverKeyLocked(port->instanceId) : u"";
    if (key.empty()) return ERROR_DEVICE_NOT_CONNECTED;
    Put<ULONG>(out, 0, index);
    return WriteNameReply(out, outSize, offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, ActualLength),
                          offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName), key, std::nullopt,
                          settings_->nameCountsTerminator, returned);
  }

  DWORD DescriptorRequest(const void* in, DWORD inSize, BYTE* out, DWORD outSize, DWORD* returned) {
    constexpr DWORD header = sizeof(USB_DESCRIPTOR_REQUEST);
    if (in == nullptr || inSize < header || out == nullptr || outSize < header) return ERROR_INVALID_PARAMETER;
    USB_DESCRIPTOR_REQUEST request;
    std::memcpy(&request, in, header);
    PortNode* port = PortAt(request.ConnectionIndex);
    if (port == nullptr) return ERROR_INVALID_PARAMETER;
    if (!port->device && !port->hub) return ERROR_DEVICE_NOT_CONNECTED;
    if (port->status != DeviceConnected) return ERROR_GEN_FAILURE;
    std::memcpy(out, &request, header);
    // The request goes to whatever is on the port: an external hub answers it
    // itself, as any USB device does.
    ControlReply reply = port->device ? port->device->OnGetDescriptor(request.ConnectionIndex, request.SetupPacket,
                                                                      out + header, outSize - header)
                                      : HubGetDescriptor(*port, request.SetupPacket, out + header, outSize - header);
    if (reply.error != ERROR_SUCCESS) return reply.error;
    *returned = header + reply.length;
    return ERROR_SUCCESS;
  }

  std::shared_ptr<HubNode> node_;
  std::shared_ptr<const detail::TreeSettings> settings_;
};

USB_DEVICE_DESCRIPTOR MakeDescriptor(USHORT vendorId, USHORT productId, UCHAR deviceClass) {
  USB_DEVICE_DESCRIPTOR d{};
  d.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
  d.bDescriptorType = 1;
  d.bcdUSB = 0x0200;
  d.bDeviceClass = deviceClass;
  d.bMaxPacketSize0 = 64;
  d.idVendor = vendorId;
  d.idProduct = productId;
  d.bcdDevice = 0x0100;
  d.iManufacturer = 1;
  d.iProduct = 2;
  d.bNumConfigurations = 1;
  return d;
}

USB_PIPE_INFO InterruptInPipe() {
  USB_PIPE_INFO pipe{};
  pipe.EndpointDescriptor = USB_ENDPOINT_DESCRIPTOR{7, 5, 0x81, 3, 8, 10};
  return pipe;
}

USHORT NextAddress(ControllerNode* controller) {
  USHORT address = controller->nextAddress;
  controller->nextAddress = static_cast<USHORT>(address >= 127 ? 1 : address + 1);
  return address;
}

void TakeSnapshot(PortNode& port, const UsbFunction& device) {
  port.descriptor = device.descriptor;
  port.configurationValue = device.configurationValue;
  port.lowSpeed = device.lowSpeed;
  port.pipes.assign(
      device.openPipes.begin(),
      device.openPipes.begin() + static_cast<std::ptrdiff_t>(std::min(device.openPipes.size(), kMaxRecordPipes)));
}

}  // namespace

// ---------------------------------------------------------------- devices on ports

std::u16string UsbDeviceInstanceId(USHORT vendorId, USHORT productId, const std::u16string& hubName, int port) {
  // The middle part stands for the parent's own instance (a hash of the hub's
  // name), the last for the port: unique for each place on the bus.
  char text[96];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X\\5&%08zX&0&%d", vendorId, productId,
                std::hash<std::u16string>{}(hubName)&0xFFFFFFFFu, port);
  return Widen(text);
}

UsbFunction::UsbFunction(USHORT vendorId, USHORT productId)
    : descriptor(MakeDescriptor(vendorId, productId, 0)), openPipes{InterruptInPipe()} {}

ControlReply UsbFunction::OnGetDescriptor(ULONG, const USB_SETUP_PACKET&, BYTE*, DWORD) {
  return ControlReply{ERROR_GEN_FAILURE, 0};
}

UsbDeviceStub::UsbDeviceStub(USHORT vendorId, USHORT productId) : UsbFunction(vendorId, productId) {}

void UsbDeviceStub::SetString(UCHAR index, USHORT language, std::u16string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  strings_[{index, language}] = std::move(text);
}

void UsbDeviceStub::SetRawReply(std::vector<BYTE> bytes, std::optional<DWORD> length) {
  std::lock_guard<std::mutex> lock(mutex_);
  DWORD reported = length ? *length : static_cast<DWORD>(bytes.size());
  rawReply_.emplace(std::move(bytes), reported);
}

void UsbDeviceStub::SetStall(DWORD error) {
  std::lock_guard<std::mutex> lock(mutex_);
  stall_ = error;
}

std::vector<UsbDeviceStub::Request> UsbDeviceStub::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

ControlReply UsbDeviceStub::OnGetDescriptor(ULONG connectionIndex, const USB_SETUP_PACKET& setup, BYTE* data,
                                            DWORD room) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(Request{connectionIndex, setup, room});
  if (stall_ != ERROR_SUCCESS) return ControlReply{stall_, 0};
  if (rawReply_) {
    const std::vector<BYTE>& bytes = rawReply_->first;
    if (!bytes.empty()) std::memcpy(data, bytes.data(), std::min<std::size_t>(bytes.size(), room));
    return ControlReply{ERROR_SUCCESS, rawReply_->second};
  }

  std::vector<BYTE> descriptor;
  const UCHAR type = static_cast<UCHAR>(setup.wValue >> 8);
  const UCHAR index = static_cast<UCHAR>(setup.wValue & 0xFF);
  if (type == 1) {
    descriptor.resize(sizeof this->descriptor);
    std::memcpy(descriptor.data(), &this->descriptor, sizeof this->descriptor);
  } else if (type == 3) {
    auto it = strings_.find({index, setup.wIndex});
    if (it == strings_.end()) return ControlReply{ERROR_GEN_FAILURE, 0};
    descriptor = StringDescriptor(it->second);
  } else {
    return ControlReply{ERROR_GEN_FAILURE, 0};
  }
  return SendDescriptor(descriptor, setup, data, room);
}

// ---------------------------------------------------------------- ports

void UsbPort::Plug(std::shared_ptr<UsbFunction> device) {
  std::vector<std::u16string> detach;
  std::u16string attach;
  std::u16string gone, node, hubNode;
  GUID setupClass{};
  {
    auto lock = tree_->world_.Lock();
    PortNode& port = hub_->ports[static_cast<std::size_t>(index_ - 1)];
    if (port.hub) UsbTree::CollectDetach(port.hub, detach);
    port.hub.reset();
    if (!port.usbInterfacePath.empty()) detach.push_back(port.usbInterfacePath);
    gone = port.instanceId;
    port.device = std::move(device);
    TakeSnapshot(port, *port.device);
    port.address = NextAddress(hub_->controller);
    port.status = DeviceConnected;
    port.instanceId = UsbDeviceInstanceId(port.descriptor.idVendor, port.descriptor.idProduct, hub_->name, index_);
    port.usbInterfacePath = UsbDeviceInterfacePath(port.instanceId);
    attach = port.usbInterfacePath;
    node = port.instanceId;
    hubNode = hub_->instanceId;
    setupClass = port.device->setupClass;
  }
  for (const auto& path : detach) tree_->world_.Detach(path);
  if (!gone.empty()) tree_->world_.RemoveDevNode(gone);
  tree_->world_.AddDevNode(node, hubNode, setupClass);
  tree_->world_.Attach(attach, std::make_shared<sim::Device>(), GUID_DEVINTERFACE_USB_DEVICE);
}

std::shared_ptr<UsbDeviceStub> UsbPort::Plug(USHORT vendorId, USHORT productId) {
  auto stub = std::make_shared<UsbDeviceStub>(vendorId, productId);
  Plug(stub);
  return stub;
}

UsbHub UsbPort::PlugHub(int ports, std::u16string name) {
  std::shared_ptr<HubNode> node = tree_->NewHub(ports, std::move(name), hub_->controller);
  std::vector<std::u16string> detach;
  std::u16string gone, hubNode;
  {
    auto lock = tree_->world_.Lock();
    PortNode& port = hub_->ports[static_cast<std::size_t>(index_ - 1)];
    if (port.hub) UsbTree::CollectDetach(port.hub, detach);
    if (!port.usbInterfacePath.empty()) detach.push_back(port.usbInterfacePath);
    port.usbInterfacePath.clear();
    gone = port.instanceId;
    port.instanceId = node->instanceId;
    hubNode = hub_->instanceId;
    port.device.reset();
    port.hub = node;
    port.descriptor = MakeDescriptor(0x05E3, 0x0608, 9);
    port.configurationValue = 1;
    port.lowSpeed = false;
    port.pipes = {InterruptInPipe()};
    port.address = NextAddress(hub_->controller);
    port.status = DeviceConnected;
  }
  for (const auto& path : detach) tree_->world_.Detach(path);
  if (!gone.empty()) tree_->world_.RemoveDevNode(gone);
  tree_->world_.AddDevNode(node->instanceId, hubNode, kUsbSetupClass);
  tree_->world_.Attach(kDevicePrefix + node->name, std::make_shared<HubDevice>(node, tree_->settings_));
  return UsbHub(tree_, node);
}

void UsbPort::Unplug() {
  std::vector<std::u16string> detach;
  std::u16string gone;
  {
    auto lock = tree_->world_.Lock();
    PortNode& port = hub_->ports[static_cast<std::size_t>(index_ - 1)];
    if (port.hub) UsbTree::CollectDetach(port.hub, detach);
    if (!port.usbInterfacePath.empty()) detach.push_back(port.usbInterfacePath);
    port.usbInterfacePath.clear();
    gone = port.instanceId;
    port.instanceId.clear();
    port.hub.reset();
    port.device.reset();
    port.descriptor = {};
    port.configurationValue = 0;
    port.lowSpeed = false;
    port.pipes.clear();
    port.address = 0;
    port.status = NoDeviceConnected;
  }
  for (const auto& path : detach) tree_->world_.Detach(path);
  if (!gone.empty()) tree_->world_.RemoveDevNode(gone);
}

void UsbPort::Reenumerate() {
  auto lock = tree_->world_.Lock();
  PortNode& port = hub_->ports[static_cast<std::size_t>(index_ - 1)];
  if (!port.device && !port.hub) return;
  if (port.device) TakeSnapshot(port, *port.device);
  USHORT previous = port.address;
  port.address = NextAddress(hub_->controller);
  if (port.address == previous) port.address = NextAddress(hub_->controller);  // after a wrap
  port.status = DeviceConnected;
}

void UsbPort::SetStatus(USB_CONNECTION_STATUS status) {
  auto lock = tree_->world_.Lock();
  hub_->ports[static_cast<std::size_t>(index_ - 1)].status = status;
}

void UsbPort::SetHubNameReply(std::optional<NameReply> reply) {
  auto lock = tree_->world_.Lock();
  hub_->ports[static_cast<std::size_t>(index_ - 1)].nameReply = std::move(reply);
}

std::u16string UsbPort::HubPath() const { return kDevicePrefix + hub_->name; }
std::u16string UsbPort::HubName() const { return hub_->name; }

std::u16string UsbPort::DeviceInstanceId() const {
  auto lock = tree_->world_.Lock();
  return hub_->ports[static_cast<std::size_t>(index_ - 1)].instanceId;
}

USHORT UsbPort::Address() const {
  auto lock = tree_->world_.Lock();
  return hub_->ports[static_cast<std::size_t>(index_ - 1)].address;
}

std::shared_ptr<UsbFunction> UsbPort::Device() const {
  auto lock = tree_->world_.Lock();
  return hub_->ports[static_cast<std::size_t>(index_ - 1)].device;
}

// ---------------------------------------------------------------- hubs and controllers

UsbPort UsbHub::Port(int number) const {
  if (number < 1 || static_cast<std::size_t>(number) > node_->ports.size()) throw std::out_of_range("no such hub port");
  return UsbPort(tree_, node_, number);
}

int UsbHub::PortCount() const { return static_cast<int>(node_->ports.size()); }
std::u16string UsbHub::Name() const { return node_->name; }
std::u16string UsbHub::Path() const { return kDevicePrefix + node_->name; }

void UsbHub::SetOpenError(DWORD error) {
  auto lock = tree_->world_.Lock();
  node_->openError = error;
}

UsbHub UsbController::Root() const { return UsbHub(tree_, node_->root); }
std::u16string UsbController::Path() const { return node_->path; }

void UsbController::SetRootHubNameReply(std::optional<NameReply> reply) {
  auto lock = tree_->world_.Lock();
  node_->nameReply = std::move(reply);
}

void UsbController::SetOpenError(DWORD error) {
  auto lock = tree_->world_.Lock();
  node_->openError = error;
}

// ---------------------------------------------------------------- the tree

UsbTree::UsbTree(World& world) : world_(world), settings_(std::make_shared<detail::TreeSettings>()) {}

void UsbTree::SetNameCountsTerminator(bool counted) {
  auto lock = world_.Lock();
  settings_->nameCountsTerminator = counted;
}

UsbTree::~UsbTree() {
  std::vector<std::u16string> detach, nodes;
  {
    auto lock = world_.Lock();
    for (const auto& controller : controllers_) {
      detach.push_back(controller->path);
      CollectDetach(controller->root, detach);
      nodes.push_back(controller->instanceId);
    }
  }
  for (const auto& path : detach) world_.Detach(path);
  for (const auto& node : nodes) world_.RemoveDevNode(node);
}

std::u16string UsbTree::MakeHubName() {
  char text[64];
  unsigned serial = ++hubSerial_;
  std::snprintf(text, sizeof text, "USB#VID_05E3&PID_0608#5&%08x&0&%u", 0x2c3d4e5fu + serial * 0x10204u, serial);
  return Widen(text) + kHubClassSuffix;
}

std::shared_ptr<HubNode> UsbTree::NewHub(int ports, std::u16string name, ControllerNode* controller) {
  if (ports < 0 || ports > 255) throw std::invalid_argument("a hub has 0 to 255 ports");
  auto node = std::make_shared<HubNode>();
  node->name = name.empty() ? MakeHubName() : std::move(name);
  node->instanceId = HubInstanceId(node->name);
  node->ports.resize(static_cast<std::size_t>(ports));
  node->controller = controller;
  return node;
}

void UsbTree::CollectDetach(const std::shared_ptr<HubNode>& hub, std::vector<std::u16string>& paths) {
  paths.push_back(kDevicePrefix + hub->name);
  for (const PortNode& port : hub->ports) {
    if (port.hub) CollectDetach(port.hub, paths);
    if (!port.usbInterfacePath.empty()) paths.push_back(port.usbInterfacePath);
  }
}

UsbController UsbTree::AddController(int number, int rootPorts, std::u16string rootHubName) {
  auto controller = std::make_shared<ControllerNode>();
  controller->number = number;
  controller->path = kDevicePrefix + u"HCD" + Widen(std::to_string(number));
  if (rootHubName.empty()) {
    char text[64];
    std::snprintf(text, sizeof text, "USB#ROOT_HUB20#4&%08x&0", 0x1a2b3c4du + static_cast<unsigned>(number) * 0x1111u);
    rootHubName = Widen(text) + kHubClassSuffix;
  }
  controller->root = NewHub(rootPorts, std::move(rootHubName), controller.get());
  {
    char text[96];
    std::snprintf(text, sizeof text, "PCI\\VEN_8086&DEV_1E31&SUBSYS_00000000&REV_04\\3&11583659&0&%02X",
                  static_cast<unsigned>(number) & 0xFFu);
    controller->instanceId = Widen(text);
  }
  {
    auto lock = world_.Lock();
    controllers_.push_back(controller);
  }
  world_.AddDevNode(controller->instanceId, u"", kUsbSetupClass);
  world_.AddDevNode(controller->root->instanceId, controller->instanceId, kUsbSetupClass);
  world_.Attach(controller->path, std::make_shared<HostControllerDevice>(controller, settings_));
  world_.Attach(kDevicePrefix + controller->root->name, std::make_shared<HubDevice>(controller->root, settings_));
  return UsbController(this, controller);
}

}  // namespace kv27::sim
