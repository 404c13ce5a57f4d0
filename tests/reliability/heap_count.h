// Live heap blocks taken through operator new and not yet given back, counted
// by the reliability program's own global operator new and delete.
#pragma once

namespace kv27::test {
long long LiveHeapBlocks();
}  // namespace kv27::test
