// SHA-256 of a file's bytes, as `sha256sum` prints it: what a file
// expectation pins a file's content with, and what an engineer can compute
// from the file shipped.
#pragma once

#include <string>
#include <string_view>

namespace qvi::scenario {

// 64 lowercase hexadecimal digits.
std::string Sha256Hex(std::string_view bytes);

}  // namespace qvi::scenario
