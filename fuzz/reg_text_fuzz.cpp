// Any text given to the .reg reader is either refused with a MachineError or
// read into a store that writes out and reads back to the same store; and
// reading it a piece at a time (the piece size taken from the input) gives
// the same store, or the same refusal, as reading it whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "emu/reg_text.h"
#include "emu/registry_store.h"

namespace {

using namespace qvi::emu;

// The store's text, or the refusal's message.
std::string Outcome(const RegistryStore& store, const char* error) {
  return error ? std::string("refused: ") + error : ExportRegText(store.Snapshot());
}

std::string ReadInPieces(std::string_view text, std::size_t piece) {
  RegistryStore store;
  std::size_t at = 0;
  try {
    ImportRegText(
        store,
        [&](std::string& out) {
          if (at >= text.size()) return false;
          out.append(text.substr(at, piece));
          at += piece;
          return true;
        },
        "fuzz.reg");
  } catch (const MachineError& error) {
    return Outcome(store, error.what());
  }
  return Outcome(store, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t piece = size > 0 ? 1 + data[size - 1] % 17 : 1;
  RegistryStore store;
  try {
    ImportRegText(store, text, "fuzz.reg");
  } catch (const MachineError& error) {
    if (ReadInPieces(text, piece) != Outcome(store, error.what())) std::abort();
    return 0;
  }
  const auto keys = store.Snapshot();
  const std::string written = ExportRegText(keys);
  if (ReadInPieces(text, piece) != Outcome(store, nullptr)) std::abort();
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
