// Any text given to the .reg reader is either refused with a MachineError or
// read into a store that writes out and reads back to the same store.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/emu/reg_text.h"
#include "platform/emu/registry_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qvi::emu;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  RegistryStore store;
  try {
    ImportRegText(store, text, "fuzz.reg");
  } catch (const MachineError&) {
    return 0;
  }
  const auto keys = store.Snapshot();
  const std::string written = ExportRegText(keys);
  RegistryStore again;
  try {
    ImportRegText(again, written, "written.reg");
  } catch (const MachineError&) {
    std::abort();  // what the store wrote, it must read
  }
  if (again.Snapshot() != keys) std::abort();
  if (ExportRegText(again.Snapshot()) != written) std::abort();
  return 0;
}
