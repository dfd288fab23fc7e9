// The registry roots the emulated machine keeps, by the names .reg files and
// reports give them.
#pragma once

#include <optional>
#include <string_view>

#include "platform/win32_types.h"

namespace qvi::emu {

std::optional<platform::HKey> RootKeyByName(std::string_view name);  // letter case ignored
std::string_view RootKeyName(platform::HKey key);                     // "" for any other handle

}  // namespace qvi::emu
