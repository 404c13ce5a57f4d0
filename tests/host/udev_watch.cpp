#include "tests/host/udev_watch.h"

#include <dlfcn.h>
#include <libudev.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace kv27::test {
namespace {

std::mutex& WatchMutex() {
  static std::mutex mutex;
  return mutex;
}
// Contexts alive, and the ones freed since the reset.
std::map<const void*, UdevContextUse>& Live() {
  static std::map<const void*, UdevContextUse> live;
  return live;
}
std::vector<UdevContextUse>& Freed() {
  static std::vector<UdevContextUse> freed;
  return freed;
}

void Used(const void* context, bool created = false) {
  if (context == nullptr) return;
  std::lock_guard<std::mutex> lk(WatchMutex());
  UdevContextUse& use = Live()[context];
  use.context = context;
  use.created = use.created || created;
  ++use.calls;
  const std::thread::id self = std::this_thread::get_id();
  if (std::find(use.threads.begin(), use.threads.end(), self) == use.threads.end()) use.threads.push_back(self);
}

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

std::vector<UdevContextUse> UdevContextsUsed() {
  std::lock_guard<std::mutex> lk(WatchMutex());
  std::vector<UdevContextUse> all = Freed();
  for (const auto& [context, use] : Live()) all.push_back(use);
  return all;
}

void ResetUdevContextWatch() {
  std::lock_guard<std::mutex> lk(WatchMutex());
  Live().clear();
  Freed().clear();
}

}  // namespace kv27::test

// The interposed calls: each records its context, then calls libudev's own.
extern "C" {

struct udev* udev_new(void) {
  static const auto next = kv27::test::Next<struct udev* (*)()>("udev_new");
  struct udev* context = next();
  kv27::test::Used(context, true);
  return context;
}

struct udev* udev_unref(struct udev* context) {
  static const auto next = kv27::test::Next<struct udev* (*)(struct udev*)>("udev_unref");
  kv27::test::Used(context);
  struct udev* left = next(context);
  if (left == nullptr && context != nullptr) {
    // The last reference: its address may come back for a new context.
    std::lock_guard<std::mutex> lk(kv27::test::WatchMutex());
    auto& live = kv27::test::Live();
    if (auto it = live.find(context); it != live.end()) {
      kv27::test::Freed().push_back(it->second);
      live.erase(it);
    }
  }
  return left;
}

struct udev_enumerate* udev_enumerate_new(struct udev* context) {
  static const auto next = kv27::test::Next<struct udev_enumerate* (*)(struct udev*)>("udev_enumerate_new");
  kv27::test::Used(context);
  return next(context);
}

struct udev_device* udev_device_new_from_syspath(struct udev* context, const char* syspath) {
  static const auto next =
      kv27::test::Next<struct udev_device* (*)(struct udev*, const char*)>("udev_device_new_from_syspath");
  kv27::test::Used(context);
  return next(context, syspath);
}

struct udev_monitor* udev_monitor_new_from_netlink(struct udev* context, const char* name) {
  static const auto next =
      kv27::test::Next<struct udev_monitor* (*)(struct udev*, const char*)>("udev_monitor_new_from_netlink");
  kv27::test::Used(context);
  return next(context, name);
}

}  // extern "C"
