// A simulated world with one virtual bootloader and a bootloader link on it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/kv8b05_comm.h"
#include "sim/bootloader.h"
#include "sim/world.h"

namespace kv27::test {

using sim::VirtualBootloader;
using sim::WireTransfer;
using sim::World;

// "25 00 FF" -> {0x25, 0x00, 0xFF}
inline std::vector<std::uint8_t> Hex(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::uint8_t> bytes;
  unsigned value;
  while (in >> std::hex >> value) bytes.push_back(static_cast<std::uint8_t>(value));
  return bytes;
}

// The transfers in one direction, in order.
inline std::vector<WireTransfer> Direction(const std::vector<WireTransfer>& log, bool out) {
  std::vector<WireTransfer> picked;
  for (const auto& t : log)
    if (t.out == out) picked.push_back(t);
  return picked;
}

// A 16 KiB image that is never 0xFF, so every programmed byte shows.
inline std::vector<std::uint8_t> TestImage(std::uint8_t seed = 1) {
  std::vector<std::uint8_t> image(kIspFlashSize);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>((i * 31 + seed) % 0xFF);
  return image;
}

class IspTest : public ::testing::Test {
 protected:
  World world;
  std::shared_ptr<VirtualBootloader> boot = std::make_shared<VirtualBootloader>();
  CKV8B05Comm link{world};

  void PlugAndOpen() {
    boot->Plug(world);
    ASSERT_EQ(link.Open(sim::kDefaultBootloaderPath), 0u);
    boot->ClearWireLog();
  }
};

}  // namespace kv27::test
