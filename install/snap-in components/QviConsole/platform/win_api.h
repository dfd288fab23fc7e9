// Settings-file and registry routines built on the platform seam. None of
// them raises: failures show only in their results.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace qvi::platform {

// Reads an INI entry through a 1024-character buffer. `value` receives the
// text (the default when the file, section or key is missing), cut to the
// returned count.
std::int32_t ReadIniString(Platform& os, const std::string& section, const std::string& key,
                           const std::string& default_value, std::string& value, const std::string& file_name);

// Writes an INI entry; the value ends at its first NUL character, so "\0"
// writes the key with nothing after the equals sign. Returns the operating
// system's result, non-zero on success.
std::int32_t WriteIniString(Platform& os, const std::string& section, const std::string& key,
                            const std::string& value, const std::string& file_name);

// Removes `sub_key` of `root` with every key below it, deepest first. True
// when the tree is gone or its key does not open; false when a delete failed.
bool DeleteRegistryTree(Platform& os, HKey root, const std::string& sub_key);

}  // namespace qvi::platform
