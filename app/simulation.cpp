#include "app/simulation.h"

#include <cstring>
#include <functional>

#include "image/image.h"
#include "res/sample_image.h"

namespace kv27 {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A header field changed and the header's own check value made to match, so
// that the file passes the header check and fails the check after it.
Bytes WithHeader(Bytes image, const std::function<void(std::uint8_t* header)>& edit) {
  edit(image.data());
  ImageWriteU32(image.data(), kImageOffHeaderCrc, ImageHeaderCrc(image.data()));
  return image;
}

// The nth command packet the bootloader receives in a whole flash: the erase,
// 256 write blocks, 256 read blocks, then verify, protection and exit.
constexpr unsigned kVerifyPacket = 1 + 256 + 256 + 1;

struct Entry {
  Scenario scenario;
  // The image file; the fault applied to the built rig.
  std::function<Bytes(Bytes sample)> image;
  std::function<void(sim::MouseRig& rig)> fault;
  // What the PC has besides the one mouse.
  sim::RigOptions rig{};
};

Bytes Same(Bytes sample) { return sample; }
void None(sim::MouseRig&) {}

const std::vector<Entry>& Catalogue() {
  static const std::vector<Entry> entries = {
      {{"ok", "a good upgrade", UpgradeStatus::Success}, Same, None},
      {{"mode-reports", "a good upgrade while the mouse keeps sending mode reports", UpgradeStatus::Success},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().ModeInfoAfterAnswers(3); }},
      {{"slow-open", "the bootloader refuses its first opens, then accepts", UpgradeStatus::Success},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().Bootloader()->RefuseOpens(5); }},
      {{"no-mouse", "the mouse is not plugged in", UpgradeStatus::MouseAbsent},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().Unplug(); }},
      {{"no-image", "no image file beside the program", UpgradeStatus::ImageOpenFailed},
       [](Bytes) { return Bytes{}; },
       None},
      {{"bad-image", "an image file whose header is damaged", UpgradeStatus::InvalidImage},
       [](Bytes b) {
         b[kImageOffMagic] ^= 0x5A;
         return b;
       },
       None},
      {{"not-kv27", "an image for another product type", UpgradeStatus::NotKv27Image},
       [](Bytes b) { return WithHeader(std::move(b), [](std::uint8_t* h) { h[kImageOffType] = 2; }); },
       None},
      {{"wrong-name", "an image named for another model", UpgradeStatus::WrongImageName},
       [](Bytes b) { return WithHeader(std::move(b), [](std::uint8_t* h) { h[kImageOffName + 6] = '5'; }); },
       None},
      {{"short-image", "an image file cut one byte short", UpgradeStatus::PayloadReadFailed},
       [](Bytes b) {
         b.pop_back();
         return b;
       },
       None},
      {{"corrupt-image", "an image file with one damaged payload byte", UpgradeStatus::DecodeVerifyFailed},
       [](Bytes b) {
         b[32 + 0x1000] ^= 0x01;
         return b;
       },
       None},
      {{"unplug-during-read", "the mouse is unplugged while its settings are read", UpgradeStatus::UserDataFailed},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().UnplugAfterRead(3, 0x40); }},
      {{"no-reply", "the mouse does not answer one read of its last settings page", UpgradeStatus::UserDataFailed},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().DropReply(6, 0); }},
      {{"no-bootloader", "the mouse ignores the request to restart into its bootloader",
        UpgradeStatus::BootloaderNotFound},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().IgnoreBootloaderRequest(true); }},
      {{"no-driver", "the bootloader appears but its driver never comes up", UpgradeStatus::BootloaderNotFound},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().BootloaderDriverMissing(true); }},
      {{"open-fails", "the bootloader refuses every open", UpgradeStatus::BootloaderOpenFailed},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().Bootloader()->RefuseOpens(1000); }},
      {{"erase-fails", "the bootloader reports a failed erase", UpgradeStatus::EraseFailed},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().Bootloader()->FailStatus(0x25, 0); }},
      {{"write-fails", "the bootloader reports a failed write of block 100", UpgradeStatus::WriteFailed},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().Bootloader()->FailStatus(0x28, 100); }},
      {{"unplug-during-write", "the device leaves the bus while block 100 is written", UpgradeStatus::WriteFailed},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().Bootloader()->LeaveDuringWrite(100); }},
      {{"read-fails", "the bootloader reports a failed read-back of block 10", UpgradeStatus::ReadFailed},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().Bootloader()->FailStatus(0x2A, 10); }},
      {{"compare-fails", "worn flash cells: the read-back differs from the image", UpgradeStatus::CompareFailed},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().Bootloader()->StuckBits(0x1000, 0xFF); }},
      {{"verify-fails", "the bootloader does not take the verify command", UpgradeStatus::VerifyFailed},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().Bootloader()->ShortCommandPacket(kVerifyPacket); }},
      {{"protect-fails", "the bootloader does not take the read-protection command", UpgradeStatus::ProtectFailed},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().Bootloader()->ShortCommandPacket(kVerifyPacket + 1); }},
      {{"exit-fails", "the bootloader does not take the command to leave ISP mode", UpgradeStatus::ExitFailed},
       Same,
       [](sim::MouseRig& rig) { rig.mouse().Bootloader()->ShortCommandPacket(kVerifyPacket + 2); }},
      {{"far-controller",
        "the mouse hangs on host controller 10, which the hub walk does not reach: its port is unknown",
        UpgradeStatus::MousePortUnknown},
       Same,
       None,
       {10, 0, false}},
  };
  return entries;
}

}  // namespace

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> list = [] {
    std::vector<Scenario> out;
    for (const auto& e : Catalogue()) out.push_back(e.scenario);
    return out;
  }();
  return list;
}

const Scenario* FindScenario(const std::string& name) {
  for (const auto& s : Scenarios())
    if (name == s.name) return &s;
  return nullptr;
}

std::vector<std::uint8_t> SampleImageBytes() {
  const auto [data, size] = res::SampleImage();
  return std::vector<std::uint8_t>(data, data + size);
}

std::unique_ptr<sim::MouseRig> BuildScenario(sim::World& world, const Scenario& scenario) {
  for (const auto& e : Catalogue()) {
    if (std::strcmp(e.scenario.name, scenario.name) != 0) continue;
    auto rig = std::make_unique<sim::MouseRig>(world, e.image(SampleImageBytes()), e.rig);
    e.fault(*rig);
    return rig;
  }
  return nullptr;
}

}  // namespace kv27
