// The capture parser against any bytes: a pcapng file as --replay reads it
// (through the OS boundary, a piece at a time), its USBPcap frames, the
// program's records, and the descriptors the replay rebuilds devices from.
//
// Checks: a refusal has a reason; every frame holds as many bytes as its
// USBPcap header says; a record's kind is text without line breaks; reading
// the file through the boundary gives the same capture as parsing its bytes,
// and leaves no handle open; the descriptor parsers take every frame's data
// without reading outside it (AddressSanitizer), and a configuration they
// accept comes back the same through its builder.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/capture_log.h"
#include "capture/usb_descriptors.h"
#include "sim/world.h"

using namespace kv27;
using namespace kv27::capture;

namespace {

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_capture_parser: %s\n", what);
    std::abort();
  }
}

sim::World& TheWorld() {
  static sim::World* world = [] {
    auto* w = new sim::World();
    w->SetHostFiles(false);
    return w;
  }();
  return *world;
}

bool SameInterfaces(const std::vector<InterfaceFacts>& a, const std::vector<InterfaceFacts>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].number != b[i].number || a[i].interfaceClass != b[i].interfaceClass || a[i].subClass != b[i].subClass ||
        a[i].protocol != b[i].protocol || a[i].endpoints.size() != b[i].endpoints.size())
      return false;
    for (std::size_t e = 0; e < a[i].endpoints.size(); ++e) {
      const auto& x = a[i].endpoints[e];
      const auto& y = b[i].endpoints[e];
      if (x.bEndpointAddress != y.bEndpointAddress || x.bmAttributes != y.bmAttributes ||
          x.wMaxPacketSize != y.wMaxPacketSize || x.bInterval != y.bInterval)
        return false;
    }
  }
  return true;
}

void CheckDescriptors(const std::vector<std::uint8_t>& data) {
  ParseDeviceDescriptor(data.data(), data.size());
  ParseReportDescriptor(data.data(), data.size());
  if (auto interfaces = ParseConfigurationDescriptor(data.data(), data.size())) {
    const auto again = BuildConfigurationDescriptor(*interfaces);
    const auto reparsed = ParseConfigurationDescriptor(again.data(), again.size());
    Require(reparsed && SameInterfaces(*reparsed, *interfaces),
            "a configuration does not come back through its builder");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string error;
  const auto log = ParseCapture(data, size, &error);
  Require(log.has_value() || !error.empty(), "a refusal without a reason");

  static const std::u16string kPath = u"C:\\captures\\run.pcapng";
  sim::World& world = TheWorld();
  world.AddFile(kPath, std::vector<std::uint8_t>(data, data + size));
  std::string fileError;
  w32::DWORD osError = 0;
  const auto read = ReadCaptureFile(world, kPath, kCaptureFileLimit, &fileError, &osError);
  Require(world.OpenHandles().empty(), "the capture file is left open");
  Require(osError == 0, "an OS error reading a file in memory");
  Require(read.has_value() == log.has_value(), "the file and its bytes are parsed differently");
  if (!log) {
    Require(fileError == error, "the file and its bytes are refused for different reasons");
    return 0;
  }
  Require(read->records.size() == log->records.size() && read->application == log->application,
          "the file and its bytes give different captures");

  for (const auto& record : log->records) {
    if (record.note) {
      const CaptureNote& note = record.record;
      Require(note.kind.find('\n') == std::string::npos, "a record kind across lines");
      note.TimeUs();
      continue;
    }
    const CaptureFrame& f = record.frame;
    Require(f.header.dataLength == f.data.size(), "a frame holds another length than its header says");
    f.Error();
    f.Moved();
    f.Rebuilt();
    CheckDescriptors(f.data);
  }
  return 0;
}
