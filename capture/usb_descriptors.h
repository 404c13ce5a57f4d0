// Standard USB descriptors (USB 2.0 chapter 9) and HID report descriptors
// (HID 1.11 chapter 6), built from what a program learns of a device through
// the platform (the hub's connection record, HID capabilities, WinUSB's
// interface and pipe queries), and read back.
//
// A capture begins each device's traffic with its GET_DESCRIPTOR answers
// (device, configuration, HID report descriptors), so that Wireshark knows
// which endpoints carry HID reports and how to decode them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/win32_types.h"

namespace kv27::capture {

inline constexpr std::uint8_t kDescriptorDevice = 1;
inline constexpr std::uint8_t kDescriptorConfiguration = 2;
inline constexpr std::uint8_t kDescriptorString = 3;
inline constexpr std::uint8_t kDescriptorInterface = 4;
inline constexpr std::uint8_t kDescriptorEndpoint = 5;
inline constexpr std::uint8_t kDescriptorHid = 0x21;
inline constexpr std::uint8_t kDescriptorHidReport = 0x22;
inline constexpr std::uint8_t kInterfaceClassHid = 3;

// One top-level collection of a HID interface, as HidP_GetCaps gives it: the
// report lengths count the report id byte (0 when the collection has none).
struct HidCollectionFacts {
  w32::USAGE usagePage = 0;
  w32::USAGE usage = 0;
  w32::USHORT inputLength = 0;
  w32::USHORT outputLength = 0;
  w32::USHORT featureLength = 0;
  std::optional<std::uint8_t> reportId;
};

struct InterfaceFacts {
  std::uint8_t number = 0;
  std::uint8_t interfaceClass = kInterfaceClassHid;
  std::uint8_t subClass = 0;
  std::uint8_t protocol = 0;
  std::vector<w32::USB_ENDPOINT_DESCRIPTOR> endpoints;
  std::vector<HidCollectionFacts> collections;  // HID interfaces
};

// A HID report descriptor with one application collection per entry: its
// usage, its report id (when it has one) and one byte-wide array of vendor
// data per report type.
std::vector<std::uint8_t> BuildReportDescriptor(const std::vector<HidCollectionFacts>& collections);
// A configuration descriptor (value `configurationValue`, bus-powered, 100 mA)
// with its interfaces, their HID descriptors (HID interfaces) and endpoints.
std::vector<std::uint8_t> BuildConfigurationDescriptor(const std::vector<InterfaceFacts>& interfaces,
                                                       std::uint8_t configurationValue = 1);
std::vector<std::uint8_t> DeviceDescriptorBytes(const w32::USB_DEVICE_DESCRIPTOR& descriptor);
// A device descriptor for a device of which only the ids are known.
w32::USB_DEVICE_DESCRIPTOR MakeDeviceDescriptor(w32::USHORT vendorId, w32::USHORT productId, w32::USHORT bcdDevice);

// Reading back. nullopt for a malformed descriptor.
std::optional<w32::USB_DEVICE_DESCRIPTOR> ParseDeviceDescriptor(const std::uint8_t* data, std::size_t size);
// The interfaces (alternate setting 0) with their endpoints; `collections`
// stays empty (the report descriptors come apart).
std::optional<std::vector<InterfaceFacts>> ParseConfigurationDescriptor(const std::uint8_t* data, std::size_t size);
// The top-level application collections with their report lengths (report
// id byte included), as the HID class driver computes them.
std::optional<std::vector<HidCollectionFacts>> ParseReportDescriptor(const std::uint8_t* data, std::size_t size);

}  // namespace kv27::capture
