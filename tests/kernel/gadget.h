// A USB device presented to a real Linux kernel through gadgetfs, on the
// dummy host controller (dummy_hcd): the kernel's own usbcore, usbhid, hidraw
// and usbfs see it as they would see a device on a cable.
//
// gadgetfs takes the device and configuration descriptors written to the
// controller's ep0 file and answers the standard enumeration requests itself;
// every other control request (string descriptors, class requests, the HID
// report descriptor, SET_CONFIGURATION) comes to user space as an event on
// ep0, where `GadgetFunction::OnControl` answers it. After SET_CONFIGURATION
// each endpoint gets a file of its own and a thread: endpoint I/O blocks until
// the host takes or gives a packet, so IN and OUT never share a thread.
//
// The device is on the bus from the constructor on and leaves it in the
// destructor (ep0 closed: the controller disconnects it, and every transfer in
// flight ends).
#pragma once

#include <linux/usb/ch9.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kv27::test {

struct GadgetEndpoint {
  std::uint8_t address = 0;     // bEndpointAddress (bit 7: IN)
  std::uint8_t attributes = 0;  // bmAttributes: 2 bulk, 3 interrupt
  std::uint16_t maxPacketSize = 0;
  std::uint8_t interval = 0;
};

// What a control request is answered with: a stall, or (IN) the data stage.
struct ControlAnswer {
  bool stall = false;
  std::vector<std::uint8_t> data;
};

class GadgetFunction {
 public:
  virtual ~GadgetFunction() = default;
  // A control request left to the device (ep0's thread); `out` is the data
  // stage of an OUT request. An OUT request with data cannot be stalled.
  virtual ControlAnswer OnControl(const usb_ctrlrequest& setup, const std::vector<std::uint8_t>& out) = 0;
  // One transfer the host sent on an OUT endpoint (that endpoint's thread).
  virtual void OnOut(std::uint8_t address, std::vector<std::uint8_t> data) = 0;
};

class Gadget {
 public:
  // `directory`: where gadgetfs is mounted. `config`: the whole full-speed
  // configuration descriptor; `endpoints`: the endpoints it declares.
  Gadget(const std::string& directory, std::vector<std::uint8_t> device, std::vector<std::uint8_t> config,
         std::vector<GadgetEndpoint> endpoints, GadgetFunction& function);
  ~Gadget();
  Gadget(const Gadget&) = delete;
  Gadget& operator=(const Gadget&) = delete;

  // Empty when the device is on the bus; otherwise why it is not.
  const std::string& error() const { return error_; }
  // Whether the host has configured the device (its endpoints are enabled).
  bool Configured() const { return configured_; }

  // Queues one transfer on an IN endpoint; it goes when the host asks for it.
  void Send(std::uint8_t address, std::vector<std::uint8_t> data);

 private:
  struct Endpoint {
    GadgetEndpoint descriptor;
    std::string file;
    int fd = -1;
    std::thread thread;
    std::atomic<bool> running{false};
    std::deque<std::vector<std::uint8_t>> queue;  // IN: waiting for the host (the first is being written)
  };

  void Ep0Loop();
  void HandleSetup(const usb_ctrlrequest& setup);
  void EnableEndpoints();
  void InLoop(Endpoint* ep);
  void OutLoop(Endpoint* ep);
  std::string PickFile(const GadgetEndpoint& endpoint, const std::vector<std::string>& taken) const;

  GadgetFunction& function_;
  std::string directory_;
  std::string error_;
  int ep0_ = -1;
  std::thread ep0Thread_;
  std::atomic<bool> ep0Running_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> configured_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::uint8_t, std::unique_ptr<Endpoint>> endpoints_;
};

}  // namespace kv27::test
