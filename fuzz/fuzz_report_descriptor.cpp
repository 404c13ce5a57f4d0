// The report descriptor parser against arbitrary bytes, as a device may hand
// them over.
//
// Checks: the parser never reads outside the input (AddressSanitizer), a
// refused descriptor has a reason and no collections, an accepted one has at
// least one and at most kMaxTopCollections collections, and every id a collection lists
// leads back to that collection.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "hid/report_descriptor.h"

using namespace kv27;

namespace {
void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_report_descriptor: %s\n", what);
  std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ParsedReportDescriptor parsed = ParseReportDescriptor(data, size);
  if (!parsed.ok) {
    Check(!parsed.error.empty(), "a refusal without a reason");
    Check(parsed.collections.empty(), "a refused descriptor with collections");
    return 0;
  }
  Check(!parsed.collections.empty() && parsed.collections.size() <= kMaxTopCollections, "collection count");
  for (std::size_t c = 0; c < parsed.collections.size(); ++c) {
    const HidTopCollection& top = parsed.collections[c];
    Check(parsed.usesReportIds || top.reportIds.empty(), "ids listed without report ids");
    for (std::uint8_t id : top.reportIds) {
      Check(id != 0, "report id 0");
      Check(CollectionOfReport(parsed, id) == static_cast<int>(c), "an id that leads to another collection");
    }
  }
  return 0;
}
