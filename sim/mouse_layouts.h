// The ways an N4 mouse may lay out its HID interfaces, as a USB device
// declares them: for each layout its interfaces in the order of the
// configuration descriptor, each with its number, its boot subclass and
// protocol, its report descriptor and its interrupt endpoints.
//
// What stays the same in every layout: the device's ids (0x4E5B/0x002A), the
// command collection (usage page 0xFFB4, usage 1, report id 0xB4, 7 data bytes
// each way: 8-byte reports with the id) on one of the interfaces, and the
// bootloader-entry request on the default pipe. What a mouse of the family
// may do differently, and what the host side must therefore not assume: how
// many HID interfaces there are, which number carries the commands, which
// other collections share that interface's descriptor, and whether output
// reports go out on an interrupt OUT endpoint or as SET_REPORT on the default
// pipe.
//
// Header only, with nothing but the standard library, so that a device-side
// program can present the same layouts to a real kernel.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kv27::sim {

// The vendor interface's report descriptor as the virtual mouse has always
// declared it: four top-level collections in the order the class driver
// lists them, each with its own report id: a pointer (report 0x01, 4 bytes),
// a vendor collection on 0xFFB4 with usage 2 (report 0xB5, 64 bytes each
// way), the command collection (report 0xB4) and consumer controls (report
// 0x03, one 16-bit usage).
inline constexpr std::uint8_t kMouseReportDescriptor[] = {
    // Mouse: buttons and X, Y, wheel (report 0x01, 4 bytes).
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01, 0x29, 0x05, 0x15,
    0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x05, 0x81, 0x02, 0x75, 0x03, 0x95, 0x01, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30,
    0x09, 0x31, 0x09, 0x38, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x03, 0x81, 0x06, 0xC0, 0xC0,
    // Vendor page 0xFFB4, usage 2: 64-byte reports both ways (report 0xB5).
    0x06, 0xB4, 0xFF, 0x09, 0x02, 0xA1, 0x01, 0x85, 0xB5, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x09,
    0x01, 0x81, 0x02, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02, 0xC0,
    // Vendor page 0xFFB4, usage 1: the command collection, 7 bytes both ways
    // (report 0xB4).
    0x06, 0xB4, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0xB4, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x07, 0x09,
    0x01, 0x81, 0x02, 0x95, 0x07, 0x09, 0x01, 0x91, 0x02, 0xC0,
    // Consumer control: one 16-bit usage (report 0x03).
    0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x03, 0x15, 0x00, 0x26, 0xFF, 0x03, 0x19, 0x00, 0x2A, 0xFF, 0x03, 0x75,
    0x10, 0x95, 0x01, 0x81, 0x00, 0xC0};

// A boot mouse without report ids, its first three bytes as the boot
// protocol has them: five buttons and three bits of padding, X, Y, then the
// wheel (4 bytes).
inline constexpr std::uint8_t kBootMouseReportDescriptor[] = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01, 0x29, 0x05, 0x15, 0x00,
    0x25, 0x01, 0x95, 0x05, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x03, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30,
    0x09, 0x31, 0x09, 0x38, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x03, 0x81, 0x06, 0xC0, 0xC0};

// The vendor interface of a mouse whose pointer has an interface of its own:
// a vendor collection on 0xFFB4 with usage 2 (report 0xB3, 63 bytes each way,
// so that a report with its id fills one 64-byte packet), the command
// collection (report 0xB4) and consumer controls (report 0x03).
inline constexpr std::uint8_t kVendorReportDescriptor[] = {
    // Vendor page 0xFFB4, usage 2 (report 0xB3).
    0x06, 0xB4, 0xFF, 0x09, 0x02, 0xA1, 0x01, 0x85, 0xB3, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x3F, 0x09,
    0x01, 0x81, 0x02, 0x95, 0x3F, 0x09, 0x01, 0x91, 0x02, 0xC0,
    // Vendor page 0xFFB4, usage 1: the command collection (report 0xB4).
    0x06, 0xB4, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0xB4, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x07, 0x09,
    0x01, 0x81, 0x02, 0x95, 0x07, 0x09, 0x01, 0x91, 0x02, 0xC0,
    // Consumer control: one 16-bit usage (report 0x03).
    0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x03, 0x15, 0x00, 0x26, 0xFF, 0x03, 0x19, 0x00, 0x2A, 0xFF, 0x03, 0x75,
    0x10, 0x95, 0x01, 0x81, 0x00, 0xC0};

// A boot keyboard, without report ids, for the macro keys: the modifiers, a
// reserved byte and six key codes (8 bytes in), five LEDs (1 byte out).
inline constexpr std::uint8_t kBootKeyboardReportDescriptor[] = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

// bInterfaceSubClass and bInterfaceProtocol of a HID interface.
inline constexpr std::uint8_t kHidSubClassNone = 0;
inline constexpr std::uint8_t kHidSubClassBoot = 1;
inline constexpr std::uint8_t kHidProtocolNone = 0;
inline constexpr std::uint8_t kHidProtocolKeyboard = 1;
inline constexpr std::uint8_t kHidProtocolMouse = 2;

// One HID interface (bInterfaceClass 3) as the device declares it.
struct HidInterfaceLayout {
  std::uint8_t number;    // bInterfaceNumber
  std::uint8_t subClass;  // bInterfaceSubClass
  std::uint8_t protocol;  // bInterfaceProtocol
  std::span<const std::uint8_t> reportDescriptor;
  // The interrupt IN endpoint: bEndpointAddress, wMaxPacketSize, bInterval
  // (frames of 1 ms at full speed).
  std::uint8_t inEndpoint;
  std::uint16_t inMaxPacketSize;
  std::uint8_t inInterval;
  // The interrupt OUT endpoint, when the interface has one (address 0: none;
  // output reports then go as SET_REPORT requests on the default pipe).
  std::uint8_t outEndpoint;
  std::uint16_t outMaxPacketSize;
  std::uint8_t outInterval;
  // This interface carries the command collection (0xFFB4/1, report 0xB4).
  bool commands;
  std::string_view role;  // "boot mouse", "vendor", "boot keyboard"
};

// A whole device: its HID interfaces, in the order of the configuration
// descriptor (bNumInterfaces is their count).
struct MouseLayout {
  std::string_view name;
  std::string_view summary;
  std::span<const HidInterfaceLayout> interfaces;
};

namespace layout_detail {

constexpr HidInterfaceLayout VendorInterface(std::uint8_t number, std::span<const std::uint8_t> descriptor,
                                             std::uint8_t in, std::uint8_t out) {
  return {.number = number,
          .subClass = kHidSubClassNone,
          .protocol = kHidProtocolNone,
          .reportDescriptor = descriptor,
          .inEndpoint = in,
          .inMaxPacketSize = 64,
          .inInterval = 1,
          .outEndpoint = out,
          .outMaxPacketSize = static_cast<std::uint16_t>(out != 0 ? 64 : 0),
          .outInterval = static_cast<std::uint8_t>(out != 0 ? 1 : 0),
          .commands = true,
          .role = "vendor"};
}
constexpr HidInterfaceLayout BootInterface(std::uint8_t number, std::uint8_t protocol, std::uint8_t in) {
  return {.number = number,
          .subClass = kHidSubClassBoot,
          .protocol = protocol,
          .reportDescriptor = protocol == kHidProtocolMouse
                                  ? std::span<const std::uint8_t>(kBootMouseReportDescriptor)
                                  : std::span<const std::uint8_t>(kBootKeyboardReportDescriptor),
          .inEndpoint = in,
          .inMaxPacketSize = 8,
          .inInterval = 1,
          .outEndpoint = 0,
          .outMaxPacketSize = 0,
          .outInterval = 0,
          .commands = false,
          .role = protocol == kHidProtocolMouse ? "boot mouse" : "boot keyboard"};
}

inline constexpr HidInterfaceLayout kVendorAlone[] = {VendorInterface(0, kMouseReportDescriptor, 0x81, 0x01)};
inline constexpr HidInterfaceLayout kMouseThenVendor[] = {BootInterface(0, kHidProtocolMouse, 0x81),
                                                          VendorInterface(1, kVendorReportDescriptor, 0x82, 0x02)};
inline constexpr HidInterfaceLayout kMouseVendorKeyboard[] = {BootInterface(0, kHidProtocolMouse, 0x81),
                                                              VendorInterface(1, kVendorReportDescriptor, 0x82, 0x02),
                                                              BootInterface(2, kHidProtocolKeyboard, 0x83)};
// The vendor interface without an OUT endpoint: its output reports go as
// SET_REPORT on the default pipe.
inline constexpr HidInterfaceLayout kVendorThenMouse[] = {VendorInterface(0, kVendorReportDescriptor, 0x81, 0),
                                                          BootInterface(1, kHidProtocolMouse, 0x82)};

inline constexpr MouseLayout kLayouts[] = {
    {"vendor", "the vendor interface alone (its descriptor with the pointer's collection too)", kVendorAlone},
    {"mouse-vendor", "boot mouse on interface 0, vendor interface on 1", kMouseThenVendor},
    {"mouse-vendor-keyboard", "boot mouse on 0, vendor interface on 1, boot keyboard (macro keys) on 2",
     kMouseVendorKeyboard},
    {"vendor-mouse", "vendor interface on 0 (output reports as SET_REPORT), boot mouse on 1", kVendorThenMouse},
};

}  // namespace layout_detail

// Every layout, the first the one the virtual mouse has always shown.
constexpr std::span<const MouseLayout> MouseLayouts() { return layout_detail::kLayouts; }

// The layout of that name, or null.
constexpr const MouseLayout* FindMouseLayout(std::string_view name) {
  for (const MouseLayout& layout : layout_detail::kLayouts)
    if (layout.name == name) return &layout;
  return nullptr;
}

// The interface that carries the command collection (every layout has one).
constexpr const HidInterfaceLayout* CommandInterface(const MouseLayout& layout) {
  for (const HidInterfaceLayout& intf : layout.interfaces)
    if (intf.commands) return &intf;
  return nullptr;
}

}  // namespace kv27::sim
