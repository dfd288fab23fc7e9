#include "host/com/com_variant.h"

#include "runtime/com/automation_error.h"
#include "runtime/com/bstr_text.h"
#include "runtime/errors.h"

namespace qvi::host::com {

namespace {

using qvi::com::ScopedVariant;

// The type VariantChangeType aims at for a VARIANT the seam has no slot for.
VARTYPE NearestType(VARTYPE type) {
  switch (type) {
    case VT_BOOL:
    case VT_UI1:
    case VT_I1:
      return VT_I2;
    case VT_UI2:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_I8:
    case VT_UI8:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DECIMAL:
      return VT_I4;
    default:
      return VT_BSTR;
  }
}

Error ConversionError(HRESULT hr) {
  if (hr == DISP_E_OVERFLOW) return errors::Overflow();
  if (hr == DISP_E_TYPEMISMATCH) return errors::TypeMismatch();
  return Error(static_cast<std::int32_t>(hr), qvi::com::DescribeHresult(hr));
}

Variant FromPlain(const VARIANT& value) {
  switch (V_VT(&value)) {
    case VT_EMPTY: return Variant();
    case VT_I2: return Variant(static_cast<std::int16_t>(V_I2(&value)));
    case VT_I4: return Variant(static_cast<std::int32_t>(V_I4(&value)));
    case VT_BSTR: return Variant(qvi::com::FromBstr(V_BSTR(&value)));
    default: break;
  }
  ScopedVariant changed;
  const HRESULT hr = VariantChangeType(changed.ReleaseAndGetAddressOf(), const_cast<VARIANT*>(&value), 0,
                                       NearestType(V_VT(&value)));
  if (FAILED(hr)) throw ConversionError(hr);
  return FromPlain(changed.Get());
}

}  // namespace

Variant FromVariant(const VARIANT& value) {
  if ((V_VT(&value) & VT_BYREF) == 0) return FromPlain(value);
  if (V_VT(&value) == (VT_BYREF | VT_VARIANT)) {
    if (!V_VARIANTREF(&value)) throw errors::TypeMismatch();
    return FromVariant(*V_VARIANTREF(&value));
  }
  ScopedVariant copy;
  const HRESULT hr = VariantCopyInd(copy.ReleaseAndGetAddressOf(), const_cast<VARIANT*>(&value));
  if (FAILED(hr)) throw ConversionError(hr);
  return FromPlain(copy.Get());
}

void ToVariant(const Variant& value, VARIANT& out) {
  VariantInit(&out);
  switch (value.type()) {
    case Variant::Type::kEmpty: return;
    case Variant::Type::kInt16:
      V_VT(&out) = VT_I2;
      V_I2(&out) = value.ToInt16();
      return;
    case Variant::Type::kInt32:
      V_VT(&out) = VT_I4;
      V_I4(&out) = value.ToInt32();
      return;
    case Variant::Type::kString:
      V_BSTR(&out) = qvi::com::ToBstr(value.ToString()).Detach();
      V_VT(&out) = VT_BSTR;
      return;
  }
}

}  // namespace qvi::host::com
