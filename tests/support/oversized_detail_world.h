// A simulated world whose SetupAPI reports an absurd detail size for chosen
// interfaces, and which notes every detail call made with a buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/world.h"

namespace kv27::test {

class OversizedDetailWorld : public sim::World {
 public:
  // Interfaces whose path contains `part` report `required` as their size.
  void ReportSize(std::u16string part, DWORD required) {
    part_ = std::move(part);
    required_ = required;
  }

  // The sizes of the buffers handed to the detail calls, in order.
  std::vector<DWORD> bufferSizes;

  BOOL SetupDiGetDeviceInterfaceDetailW(w32::HDEVINFO set, w32::SP_DEVICE_INTERFACE_DATA* data,
                                        w32::SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                        DWORD* requiredSize, w32::SP_DEVINFO_DATA* devInfo) override {
    if (detail != nullptr) bufferSizes.push_back(detailSize);
    // Which interface this is: ask for the real size and path first.
    DWORD realSize = 0;
    World::SetupDiGetDeviceInterfaceDetailW(set, data, nullptr, 0, &realSize, nullptr);
    std::vector<std::uint8_t> probe(realSize + sizeof(DWORD), 0);
    auto* record = reinterpret_cast<w32::SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(probe.data());
    record->cbSize = w32::kDeviceInterfaceDetailFixedSize;
    bool chosen = false;
    if (realSize != 0 && World::SetupDiGetDeviceInterfaceDetailW(set, data, record, realSize, nullptr, nullptr))
      chosen = !part_.empty() && std::u16string(record->DevicePath).find(part_) != std::u16string::npos;
    BOOL result = World::SetupDiGetDeviceInterfaceDetailW(set, data, detail, detailSize, requiredSize, devInfo);
    if (chosen && requiredSize != nullptr) *requiredSize = required_;
    return result;
  }

 private:
  std::u16string part_;
  DWORD required_ = 0;
};

}  // namespace kv27::test
