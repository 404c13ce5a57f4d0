// Shared pieces of the HID library tests: a world with virtual HID
// collections, and a link that records the input reports it is handed.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hid/hid_comm.h"
#include "hid/hid_comm_wnd.h"
#include "sim/hid_device.h"
#include "sim/world.h"

namespace kv27::test {

using namespace w32;
using Bytes = std::vector<std::uint8_t>;

inline constexpr USHORT kVid = 0x4E5B;
inline constexpr USHORT kPid = 0x002A;

// The vendor-defined collection of a mouse: 8-byte input and output reports.
inline sim::HidDescription VendorCollection(USHORT inputLength = 8, USHORT outputLength = 8, USHORT featureLength = 0) {
  return sim::MakeHidDescription(0xFFB4, 0x0001, inputLength, outputLength, featureLength);
}

inline std::shared_ptr<sim::HidCollection> MakeCollection(USHORT vid = kVid, USHORT pid = kPid,
                                                          sim::HidDescription d = VendorCollection()) {
  return std::make_shared<sim::HidCollection>(vid, pid, USHORT{0x0100}, std::move(d));
}

inline std::u16string PathOf(const WCHAR* text) { return std::u16string(text); }

// Attaches `collection` at a path of its own: interface `mi`, no collection
// number, instance ending in `serial`.
inline std::u16string AttachAt(sim::World& world, std::shared_ptr<sim::HidCollection> collection, USHORT vid,
                               USHORT pid, int mi) {
  std::u16string path = sim::HidInterfacePath(vid, pid, mi, 0);
  world.Attach(path, std::move(collection), GUID_DEVINTERFACE_HID);
  return path;
}

// A started link that keeps every input report it is handed, and on which
// thread.
class RecordingLink : public CHIDCommMFC {
 public:
  using CHIDCommMFC::CHIDCommMFC;
  ~RecordingLink() override { Close(); }

  bool OnInputReport(const BYTE* report, DWORD length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.emplace_back(report, report + length);
    threads_.insert(std::this_thread::get_id());
    changed_.notify_all();
    return true;
  }

  // Waits (real time, generously) until `count` reports have come.
  bool WaitForReports(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return reports_.size() >= count; });
  }
  std::vector<Bytes> Reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  std::set<std::thread::id> Threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Bytes> reports_;
  std::set<std::thread::id> threads_;
};

// Polls `done` until it holds or 10 s of real time have passed.
template <typename F>
bool Eventually(F done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace kv27::test
