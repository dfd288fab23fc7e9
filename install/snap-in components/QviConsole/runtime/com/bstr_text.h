// Text between the snap-in's bytes (code page 1252, the machine's ANSI code
// page) and automation's BSTRs (UTF-16), both ways by the system's own table
// for that code page. Embedded NULs cross as they are.
#pragma once

#include <string>
#include <string_view>

#include "runtime/com/scoped.h"

namespace qvi::com {

// Throws std::bad_alloc when the string cannot be allocated.
ScopedBstr ToBstr(std::string_view ansi);
// A null BSTR is "". A character the code page has no byte for becomes '?',
// never a look-alike letter: a best fit would turn a name into another name.
std::string FromBstr(BSTR text);

}  // namespace qvi::com
