// String operations with the semantics the system's routines were written
// against: 1-based positions, letter case of the machine's code page, and
// errors rather than silent clamping where a length or position is impossible.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qvi::text {

// 1-based position of the first `find` in `s` at or after `start`, 0 when
// absent. An empty `find` is found at `start` (when start <= len + 1).
// Throws InvalidArgument when start < 1.
std::int64_t InStr(std::int64_t start, std::string_view s, std::string_view find, bool ignore_case = false);
// 1-based position of the last `find` in `s`, 0 when absent.
std::int64_t InStrRev(std::string_view s, std::string_view find);

// `length` characters of `s` from the 1-based `start`; fewer when `s` ends
// first. Throws InvalidArgument when start < 1 or length < 0.
std::string Mid(std::string_view s, std::int64_t start, std::int64_t length);
// From the 1-based `start` to the end.
std::string Mid(std::string_view s, std::int64_t start);
// Throws InvalidArgument when length < 0.
std::string Left(std::string_view s, std::int64_t length);
std::string Right(std::string_view s, std::int64_t length);

// Removes blanks (the space character only) at both ends.
std::string Trim(std::string_view s);

// Decimal text with a leading blank for a non-negative number (" 1", "-1").
std::string Str(std::int64_t value);

// `s` up to its first NUL character: what an ANSI call sees of it.
std::string_view UpToNul(std::string_view s);

}  // namespace qvi::text
