// Computer-name and path routines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace qvi::platform {

// This computer's name. Raises InvalidArgument when the name cannot be read.
std::string QueryComputerName(Platform& os);

// The server of a "\\SERVER\..." path; this computer's name for any other
// path; "" when the server name cannot be taken out.
std::string ServerNameFromPath(Platform& os, const std::string& path);

// Replaces every `sought` in `text`; exact when `case_sensitive` is non-zero.
// The search resumes after each inserted replacement.
std::string ReplaceText(const std::string& text, std::string_view sought, std::string_view replacement,
                        std::int16_t& case_sensitive);

// "C:\DIR" on computer NAME becomes "\\NAME\C$\DIR"; any other path is
// returned unchanged.
std::string MakeLocalUNC(Platform& os, const std::string& path);

// The path before its last backslash; "" when that backslash is the first
// character or there is none.
std::string ParentDir(const std::string& path);

}  // namespace qvi::platform
