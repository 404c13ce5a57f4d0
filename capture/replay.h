// The replay of a capture: the devices of a captured run, rebuilt on a
// simulated world, answer the program from the capture, in the world's
// virtual time.
//
// What the capture gives them:
//   - each device's descriptors (the ids, the HID collections with their
//     report lengths and ids, the WinUSB interface and its pipes) and its
//     hub port, so that the program finds it as it did;
//   - each request the program made (an output report, a descriptor request
//     through the hub, a pipe transfer) with its answer (status, data, the
//     bytes moved) and how long the answer took;
//   - what came without a request of the program's: input reports, device
//     arrivals and removals.
// Each request the program makes is matched to the capture's next request on
// the same endpoint of the same device. The same bytes (for a read: no more
// than the program asked for) get the captured answer after the captured
// time; anything else is a divergence: the first one is kept (frame number,
// what the capture held, what the program sent), and from then on every
// request fails, so that the run ends. Input reports, arrivals and removals
// come once every request the capture shows before them has been matched,
// as long after the last of them as in the captured run.
//
// Captured times cost no more than the run they stand for: an answer comes
// no later than kMaxAnswerUs after its request (the longest time-out the
// programs give a transfer, and the USB limit for a control request), and
// what came unasked no later than kMaxEventGapUs after the request before it
// (longer than any wait of the programs). A capture with a far-future time
// therefore replays as quickly as any other.
//
// A capture without its end record (the captured run was stopped, or its
// file cut) cannot say how the run ended: a request past its last one stops
// the run without a divergence, and Complete() is false.
//
// A captured transfer the program cancelled (its completion
// ERROR_OPERATION_ABORTED) stays pending in the replay until the program
// cancels it again.
//
// Threads: the devices answer inside the world's calls (world locked); the
// other members lock the world themselves.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "capture/capture_log.h"
#include "sim/world.h"

namespace kv27::capture {

struct Divergence {
  std::uint32_t frame = 0;                     // the capture's frame; 0 when the capture held nothing more there
  std::string where;                           // "HID output report on endpoint 0x02 of device 3", ...
  std::string captured;                        // what the capture held (hex) or why it held nothing
  std::string sent;                            // what the program sent (hex), or why it sent nothing
  std::optional<std::size_t> firstDifference;  // byte offset, when both sides have bytes
  // Not a divergence: the run went on past the end of a capture without its
  // end record, where the capture holds nothing to compare with.
  bool pastTheEnd = false;
  // Several lines: where, frame number, both sides.
  std::string Report() const;
};

inline constexpr std::uint64_t kMaxAnswerUs = 5'000'000;
inline constexpr std::uint64_t kMaxEventGapUs = 11 * 60'000'000ull;
// The places on the bus a replay can give devices: the ports of one hub.
inline constexpr int kMaxReplayPlaces = 255;

class ReplayBus {
 public:
  // Builds the capture's devices on `world`, attaches those there from the
  // start and schedules the rest; the bus keeps what it needs of `log` (moved
  // from it). Destroy the bus before the world. A capture the bus cannot
  // stand for (Problem() says why) gets no devices: check before the run.
  ReplayBus(sim::World& world, CaptureLog log);
  // The same from a capture file read as a stream (as ReadCaptureFile reads
  // it), each record going into the bus as it is read; null, with `error`
  // and `osError` as ReadCaptureFile gives them, when the file cannot be read
  // or is no capture.
  static std::unique_ptr<ReplayBus> FromFile(sim::World& world, w32::OsApi& os, const std::u16string& path,
                                             std::uint64_t limit, std::string* error, w32::DWORD* osError);
  ~ReplayBus();
  ReplayBus(const ReplayBus&) = delete;
  ReplayBus& operator=(const ReplayBus&) = delete;

  // Why the capture cannot be replayed (empty: it can).
  const std::string& Problem() const;
  // The capture holds its end record: the captured run's exit can be compared.
  bool Complete() const;
  // A divergence happened, or the run went past the end of an incomplete
  // capture (the run is being stopped).
  bool Diverged();
  std::optional<Divergence> FirstDivergence();
  // After the run: a request of the capture that the program never made is a
  // divergence too. Returns the first divergence, if any.
  std::optional<Divergence> Finish();
  // Requests in the capture, and how many the program made as captured.
  std::size_t Requests();
  std::size_t Matched();
  // The captured run's own records ("run", "end").
  std::string RunField(const std::string& key) const;
  std::optional<int> CapturedExit() const;
  std::string CapturedMessage() const;

  struct Session;
  struct Reader;

 private:
  explicit ReplayBus(sim::World& world);
  void Build();

  std::shared_ptr<Session> session_;
};

}  // namespace kv27::capture
