// Any text given to the scenario reader is either read or refused with a
// ScenarioError; nothing else may escape it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "scenario/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    qvi::scenario::ParseScenario(text, "fuzz.json", "fuzz-scenarios");
  } catch (const qvi::scenario::ScenarioError&) {
  }
  return 0;
}
