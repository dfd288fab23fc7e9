#include "host/com/com_variant.h"

#include <new>

namespace qvi::host::com {

namespace {
constexpr UINT kCodePage = 1252;
constexpr std::uint32_t kControlFacilityMask = 0xFFFF0000u;
constexpr std::uint32_t kControlFacilityErrors = 0x800A0000u;

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
  return Error(static_cast<std::int32_t>(hr), DescribeHresult(hr));
}

Variant FromPlain(const VARIANT& value) {
  switch (V_VT(&value)) {
    case VT_EMPTY: return Variant();
    case VT_I2: return Variant(static_cast<std::int16_t>(V_I2(&value)));
    case VT_I4: return Variant(static_cast<std::int32_t>(V_I4(&value)));
    case VT_BSTR: return Variant(FromBstr(V_BSTR(&value)));
    default: break;
  }
  VARIANT changed;
  VariantInit(&changed);
  const HRESULT hr = VariantChangeType(&changed, const_cast<VARIANT*>(&value), 0, NearestType(V_VT(&value)));
  if (FAILED(hr)) throw ConversionError(hr);
  Variant result = FromPlain(changed);
  VariantClear(&changed);
  return result;
}

}  // namespace

BSTR ToBstr(const std::string& ansi) {
  if (ansi.empty()) {
    BSTR empty = SysAllocStringLen(nullptr, 0);
    if (!empty) throw std::bad_alloc();
    return empty;
  }
  const int size = static_cast<int>(ansi.size());
  const int wide = MultiByteToWideChar(kCodePage, 0, ansi.data(), size, nullptr, 0);
  BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(wide));
  if (!text) throw std::bad_alloc();
  MultiByteToWideChar(kCodePage, 0, ansi.data(), size, text, wide);
  return text;
}

std::string FromBstr(BSTR text) {
  const int size = static_cast<int>(SysStringLen(text));
  if (size == 0) return std::string();
  const int bytes = WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, text, size, nullptr, 0, "?", nullptr);
  std::string ansi(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, text, size, ansi.data(), bytes, "?", nullptr);
  return ansi;
}

Variant FromVariant(const VARIANT& value) {
  if ((V_VT(&value) & VT_BYREF) == 0) return FromPlain(value);
  if (V_VT(&value) == (VT_BYREF | VT_VARIANT)) {
    if (!V_VARIANTREF(&value)) throw errors::TypeMismatch();
    return FromVariant(*V_VARIANTREF(&value));
  }
  VARIANT copy;
  VariantInit(&copy);
  const HRESULT hr = VariantCopyInd(&copy, const_cast<VARIANT*>(&value));
  if (FAILED(hr)) throw ConversionError(hr);
  try {
    Variant result = FromPlain(copy);
    VariantClear(&copy);
    return result;
  } catch (...) {
    VariantClear(&copy);
    throw;
  }
}

Error ErrorFromInvoke(HRESULT hr, EXCEPINFO& info) {
  if (hr != DISP_E_EXCEPTION) return Error(static_cast<std::int32_t>(hr), DescribeHresult(hr));
  if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
  std::int32_t number = 0;
  const auto scode = static_cast<std::uint32_t>(info.scode);
  if (info.wCode != 0) {
    number = info.wCode;
  } else if ((scode & kControlFacilityMask) == kControlFacilityErrors) {
    number = static_cast<std::int32_t>(scode & 0xFFFFu);
  } else {
    number = static_cast<std::int32_t>(scode);
  }
  std::string description = FromBstr(info.bstrDescription);
  if (description.empty()) description = DescribeHresult(info.scode != 0 ? info.scode : hr);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrHelpFile);
  info.bstrDescription = info.bstrSource = info.bstrHelpFile = nullptr;
  return Error(number, description);
}

std::string DescribeHresult(HRESULT hr) {
  char* buffer = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text = length ? std::string(buffer, length) : std::string();
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text.empty() ? "Automation error" : text;
}

}  // namespace qvi::host::com
