// How the snap-in stores every registry value it writes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace qvi {

// Writes `text` as a REG_SZ value of `key`: reserved 0, the ANSI text followed
// by one NUL, stored size the text length plus one. `value_name` "" is the
// key's default value. Returns the Win32 status, which callers may ignore: a
// key of 0 fails without effect.
inline platform::Status SetRegistryString(platform::Platform& os, platform::HKey key, const char* value_name,
                                          const std::string& text) {
  return os.RegSetValueExA(key, value_name, 0, platform::kRegSz, reinterpret_cast<const std::uint8_t*>(text.c_str()),
                           static_cast<std::uint32_t>(text.size() + 1));
}

}  // namespace qvi
