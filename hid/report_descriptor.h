// A HID report descriptor, read the way the HID class driver reads it.
//
// The descriptor a device hands over (on Linux: a hidraw node's
// report_descriptor) is a stream of short and long items. What the system
// needs from it is what HidP_GetCaps gives for each top-level collection: the
// collection's usage page and usage, and its input, output and feature report
// lengths in bytes as Windows counts them, that is the longest report of that
// type in the collection plus one byte for the report id (a byte that is
// there even when the device uses no report ids, then always 0).
//
// The parser is bounded: it never reads outside the bytes it is given, takes
// at most kMaxReportDescriptorSize bytes, and refuses a descriptor whose
// global stack, collection nesting, collection count or report sizes pass
// the limits below instead of growing without end. A refused descriptor gives
// no collections and a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv27 {

// The largest descriptor a HID device can hand over (the kernel's limit).
inline constexpr std::size_t kMaxReportDescriptorSize = 4096;
// Depth of Push without Pop, nesting of collections, top-level collections.
inline constexpr std::size_t kMaxGlobalStack = 16;
inline constexpr std::size_t kMaxCollectionDepth = 32;
inline constexpr std::size_t kMaxTopCollections = 64;

// One top-level collection.
struct HidTopCollection {
  std::uint16_t usagePage = 0;
  std::uint16_t usage = 0;
  // Bytes, report id byte included; 0 when the collection has no report of
  // that type.
  std::uint16_t inputLength = 0;
  std::uint16_t outputLength = 0;
  std::uint16_t featureLength = 0;
  // The report ids its main items carry, ascending, each once (empty when the
  // device uses no report ids).
  std::vector<std::uint8_t> reportIds;
};

struct ParsedReportDescriptor {
  bool ok = false;
  std::string error;  // why the descriptor was refused (empty when ok)
  std::vector<HidTopCollection> collections;
  bool usesReportIds = false;
};

ParsedReportDescriptor ParseReportDescriptor(const std::uint8_t* data, std::size_t size);

// The top-level collection that report `reportId` belongs to (the first byte
// of a report read from a node that carries the whole interface); -1 when no
// collection carries it. Without report ids every report is the first
// collection's.
int CollectionOfReport(const ParsedReportDescriptor& descriptor, std::uint8_t reportId);

}  // namespace kv27
