// The entries of the compiled .res as plain standard types, for test code that
// includes <windows.h> and so cannot see the w32 declarations.
#pragma once

#include <cstdint>
#include <vector>

namespace kv27::testing {

struct ResEntry {
  bool numeric = false;  // type and name are ordinals
  std::uint16_t type = 0, id = 0, language = 0;
  std::vector<std::uint8_t> data;
};

// Empty when the compiled resources do not parse.
std::vector<ResEntry> CompiledResEntries();

}  // namespace kv27::testing
