#include "tests/res/res_entries.h"

#include "res/compiled_resources.h"
#include "sim/resources.h"

namespace kv27::testing {

std::vector<ResEntry> CompiledResEntries() {
  const auto [data, size] = res::CompiledResources();
  const auto set = sim::ResourceSet::Parse(data, size);
  std::vector<ResEntry> out;
  if (!set) return out;
  for (const sim::ResourceEntry& e : set->entries()) {
    out.push_back({e.typeName.empty() && e.name.empty(), e.typeOrdinal, e.nameOrdinal, e.language, e.data});
  }
  return out;
}

}  // namespace kv27::testing
