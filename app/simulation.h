// Simulated runs of the whole upgrade: a catalogue of named scenarios, each a
// simulated PC (sim::MouseRig) with one realistic fault of the mouse, its
// bootloader, the bus or the image file, and the outcome a run started on the
// default image gives.
//
// The console upgrader and the dialog program take a scenario with
// --simulate=NAME; the tests run the whole catalogue through both faces.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/upgrade_sequence.h"
#include "sim/mouse_rig.h"

namespace kv27 {

struct Scenario {
  const char* name;
  const char* description;  // one line, for --help
  // The status of a run on the default image path. Where the dialog differs
  // (no image file: nothing starts), its own tests say so.
  UpgradeStatus expected;
};

// Every scenario, "ok" first.
const std::vector<Scenario>& Scenarios();
// The scenario called `name`, or null.
const Scenario* FindScenario(const std::string& name);

// The bundled sample image (res/KV27M_FW_UPGRADE.bimg) as bytes.
std::vector<std::uint8_t> SampleImageBytes();

// Builds the rig on `world` and applies the scenario's fault. The world's
// program path is the rig's; front-ends that show real files may change it
// afterwards.
std::unique_ptr<sim::MouseRig> BuildScenario(sim::World& world, const Scenario& scenario);

}  // namespace kv27
