// The pcapng reader against any bytes, as a user may hand a file to --replay.
//
// Checks: the reader never reads outside the input (AddressSanitizer); a
// refusal has a reason; records are numbered 1, 2, ... in file order and
// packets name interface 0; and reading the same bytes as a stream handed
// over a few bytes at a time gives the same records, or ends with the same
// refusal, as reading them whole (the replay reads files a piece at a time).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture/pcapng.h"

using namespace kv27::capture;

namespace {

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_pcapng_reader: %s\n", what);
    std::abort();
  }
}

bool Same(const PcapngRecord& a, const PcapngRecord& b) {
  return a.kind == b.kind && a.number == b.number && a.interfaceId == b.interfaceId && a.timestamp == b.timestamp &&
         a.pen == b.pen && a.data == b.data && a.comment == b.comment;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string error;
  const auto whole = ReadPcapng(data, size, &error);
  if (!whole) {
    Require(!error.empty(), "a refusal without a reason");
  } else {
    for (std::size_t i = 0; i < whole->records.size(); ++i) {
      const PcapngRecord& r = whole->records[i];
      Require(r.number == i + 1, "records not numbered in file order");
      Require(r.interfaceId == 0, "a packet on an interface the file does not describe");
      Require(r.data.size() <= size, "a record larger than the file");
    }
  }

  // The same bytes in pieces of odd sizes: one byte, then more, so that
  // pieces end inside block headers, frames and options.
  std::size_t offset = 0, call = 0;
  PcapngReader reader([&](std::uint8_t* to, std::size_t n, std::size_t* read) {
    const std::size_t piece = std::min({n, size - offset, call++ % 2 == 0 ? std::size_t{1} : 1 + call * 37 % 509});
    if (piece != 0) std::memcpy(to, data + offset, piece);
    offset += piece;
    *read = piece;
    return true;
  });
  PcapngRecord record;
  std::size_t count = 0;
  while (reader.Next(record)) {
    // A stream hands over the records before a fault; a file read whole is
    // refused at once.
    Require(record.number == count + 1, "the stream's records are not numbered in file order");
    if (whole) {
      Require(count < whole->records.size(), "the stream gives a record the whole file does not");
      Require(Same(record, whole->records[count]), "the stream gives another record than the whole file");
    }
    ++count;
  }
  if (whole) {
    Require(reader.error().empty(), "the stream refuses what the whole file passes");
    Require(count == whole->records.size(), "the stream ends early");
    Require(reader.application() == whole->application && reader.linkType() == whole->linkType &&
                reader.tsResolution() == whole->tsResolution,
            "the stream's section or interface differs");
  } else {
    Require(reader.error() == error, "the stream refuses with another reason");
  }
  return 0;
}
