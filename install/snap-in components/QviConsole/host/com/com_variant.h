// The values of the host seam as they cross a COM dispatch interface: text
// as BSTR (runtime/com/bstr_text.h), numbers as VT_I2 and VT_I4.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "host/variant.h"

namespace qvi::host::com {

// A VARIANT, by value or by reference, as the seam's value: VT_EMPTY, VT_I2,
// VT_I4 and VT_BSTR as they are; truth values and bytes become 16-bit
// numbers, other numbers 32-bit ones, anything else text, each through
// VariantChangeType. Raises qvi::Error (Overflow, Type mismatch, or the
// HRESULT) when the value has no such form; throws std::bad_alloc.
Variant FromVariant(const VARIANT& value);

// The seam's value into `out`, which holds nothing that needs freeing:
// VT_EMPTY, VT_I2, VT_I4 or VT_BSTR. Throws std::bad_alloc, leaving `out`
// empty.
void ToVariant(const Variant& value, VARIANT& out);

}  // namespace qvi::host::com
