// The simulated PC's scenarios as parameters of a test suite.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "app/simulation.h"

namespace kv27::test {

// A scenario's name as a test name: gtest takes letters, digits and
// underscores, the catalogue's names have hyphens.
inline std::string ScenarioTestName(const ::testing::TestParamInfo<Scenario>& info) {
  std::string name = info.param.name;
  for (auto& c : name)
    if (c == '-') c = '_';
  return name;
}

}  // namespace kv27::test
