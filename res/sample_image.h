// The bundled sample image res/KV27M_FW_UPGRADE.bimg, linked in as bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace kv27::res {

std::pair<const std::uint8_t*, std::size_t> SampleImage();

}  // namespace kv27::res
