// The values of the host seam as they cross a COM dispatch interface: text
// as BSTR (the snap-in's bytes are code page 1252), numbers as VT_I2/VT_I4,
// and a failed IDispatch::Invoke as the snap-in's error.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "host/variant.h"
#include "runtime/errors.h"

namespace qvi::host::com {

// Code page 1252 bytes to a new BSTR (embedded NULs kept). Throws
// std::bad_alloc when the string cannot be allocated.
BSTR ToBstr(const std::string& ansi);
// A BSTR (null is "") to code page 1252 bytes; a character the code page has
// no byte for becomes '?', as Windows' ANSI functions give it.
std::string FromBstr(BSTR text);

// A VARIANT, by value or by reference, as the seam's value: VT_EMPTY, VT_I2,
// VT_I4 and VT_BSTR as they are; truth values and bytes become 16-bit
// numbers, other numbers 32-bit ones, anything else text, each through
// VariantChangeType. Raises qvi::Error (Overflow, Type mismatch, or the
// HRESULT) when the value has no such form.
Variant FromVariant(const VARIANT& value);

// The snap-in's error for a failing IDispatch::Invoke. For DISP_E_EXCEPTION
// the number is the exception's wCode, else the low word of an scode of
// FACILITY_CONTROL, else the scode itself; the description is the
// exception's. Any other HRESULT is its own number. Frees the strings of
// `info`.
Error ErrorFromInvoke(HRESULT hr, EXCEPINFO& info);

// The system's message for an HRESULT, "Automation error" when it has none.
std::string DescribeHresult(HRESULT hr);

}  // namespace qvi::host::com
