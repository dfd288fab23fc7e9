// Reading and seeding the real registry in the emulated machine's terms.
#pragma once

#include <string>
#include <vector>

#include "emu/emu_types.h"
#include "platform/platform.h"

namespace qvi::flow {

// Every key of the tree at `full_path` ("HKEY_LOCAL_MACHINE\SOFTWARE\X"),
// parents first, with its values; nothing when the key does not open.
std::vector<emu::RegistryKey> SnapshotTree(platform::Platform& os, platform::RegistryReader& reader,
                                           const std::string& full_path);

// Writes every key and value of `keys` through the seam. False when one
// cannot be written.
bool WriteKeys(platform::Platform& os, const std::vector<emu::RegistryKey>& keys);

// Removes the tree at `full_path`; a missing tree is no error.
void RemoveTree(platform::Platform& os, const std::string& full_path);

}  // namespace qvi::flow
