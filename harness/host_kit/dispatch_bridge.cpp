#include "host_kit/dispatch_bridge.h"

#include <new>

namespace qvi::hostkit {

namespace {

constexpr UINT kCodePage = 1252;
constexpr SCODE kControlFacility = static_cast<SCODE>(0x800A0000);

// Reads one argument; false for a type a host control does not take.
bool ReadOne(const VARIANT& v, host::Argument& arg) {
  arg.by_ref = (V_VT(&v) & VT_BYREF) != 0;
  switch (V_VT(&v)) {
    case VT_EMPTY: arg.value = host::Variant(); return true;
    case VT_I2: arg.value = static_cast<std::int16_t>(V_I2(&v)); return true;
    case VT_I4: arg.value = static_cast<std::int32_t>(V_I4(&v)); return true;
    case VT_BSTR: arg.value = Narrow(V_BSTR(&v)); return true;
    case VT_BYREF | VT_I2: arg.value = static_cast<std::int16_t>(*V_I2REF(&v)); return true;
    case VT_BYREF | VT_I4: arg.value = static_cast<std::int32_t>(*V_I4REF(&v)); return true;
    case VT_BYREF | VT_BSTR: arg.value = Narrow(*V_BSTRREF(&v)); return true;
    default: return false;
  }
}

}  // namespace

std::wstring Widen(const std::string& ansi) {
  if (ansi.empty()) return {};
  const int size = static_cast<int>(ansi.size());
  std::wstring wide(static_cast<std::size_t>(MultiByteToWideChar(kCodePage, 0, ansi.data(), size, nullptr, 0)), L'\0');
  MultiByteToWideChar(kCodePage, 0, ansi.data(), size, wide.data(), static_cast<int>(wide.size()));
  return wide;
}

std::string Narrow(const wchar_t* text, UINT length) {
  if (text == nullptr || length == 0) return {};
  const int size = static_cast<int>(length);
  std::string ansi(
      static_cast<std::size_t>(WideCharToMultiByte(kCodePage, 0, text, size, nullptr, 0, nullptr, nullptr)), '\0');
  WideCharToMultiByte(kCodePage, 0, text, size, ansi.data(), static_cast<int>(ansi.size()), nullptr, nullptr);
  return ansi;
}

std::string Narrow(BSTR text) { return Narrow(text, SysStringLen(text)); }

BSTR ToBstr(const std::string& ansi) {
  const std::wstring wide = Widen(ansi);
  BSTR text = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (text == nullptr) throw std::bad_alloc();
  return text;
}

HRESULT ReadArguments(const DISPPARAMS& params, std::vector<host::Argument>& args, UINT* bad_arg) {
  args.assign(params.cArgs, {});
  for (UINT i = 0; i < params.cArgs; ++i) {
    const UINT slot = params.cArgs - 1 - i;
    if (!ReadOne(params.rgvarg[slot], args[i])) {
      if (bad_arg != nullptr) *bad_arg = slot;
      return DISP_E_TYPEMISMATCH;
    }
  }
  return S_OK;
}

void WriteBack(const std::vector<host::Argument>& args, const DISPPARAMS& params) {
  struct Store {
    VARIANT* target;
    std::int32_t number;
    BSTR text;
  };
  std::vector<Store> stores;
  try {
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (!args[i].by_ref) continue;
      VARIANT* target = &params.rgvarg[params.cArgs - 1 - i];
      switch (V_VT(target)) {
        case VT_BYREF | VT_I2: stores.push_back({target, args[i].value.ToInt16(), nullptr}); break;
        case VT_BYREF | VT_I4: stores.push_back({target, args[i].value.ToInt32(), nullptr}); break;
        case VT_BYREF | VT_BSTR: stores.push_back({target, 0, ToBstr(args[i].value.ToString())}); break;
        default: break;
      }
    }
  } catch (...) {
    for (const Store& store : stores) SysFreeString(store.text);
    throw;
  }
  for (const Store& store : stores) {
    switch (V_VT(store.target)) {
      case VT_BYREF | VT_I2: *V_I2REF(store.target) = static_cast<SHORT>(store.number); break;
      case VT_BYREF | VT_I4: *V_I4REF(store.target) = store.number; break;
      default:
        SysFreeString(*V_BSTRREF(store.target));
        *V_BSTRREF(store.target) = store.text;
    }
  }
}

void ToVariant(const host::Variant& value, VARIANT* out) {
  VariantInit(out);
  switch (value.type()) {
    case host::Variant::Type::kEmpty: break;
    case host::Variant::Type::kInt16:
      V_VT(out) = VT_I2;
      V_I2(out) = value.ToInt16();
      break;
    case host::Variant::Type::kInt32:
      V_VT(out) = VT_I4;
      V_I4(out) = value.ToInt32();
      break;
    case host::Variant::Type::kString:
      V_BSTR(out) = ToBstr(value.ToString());
      V_VT(out) = VT_BSTR;
      break;
  }
}

void FillException(const Error& error, const wchar_t* source, EXCEPINFO* info) {
  if (info == nullptr) return;
  *info = EXCEPINFO{};
  const std::int32_t number = error.number();
  info->scode = number > 0 && number <= 0xFFFF ? (kControlFacility | number) : static_cast<SCODE>(number);
  info->bstrSource = SysAllocString(source);
  info->bstrDescription = ToBstr(error.description());
}

HRESULT InvokeHost(host::HostControl& control, DISPID id, REFIID riid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* info, UINT* bad_arg, const wchar_t* source) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (params == nullptr || (params->cArgs > 0 && params->rgvarg == nullptr)) return E_INVALIDARG;
  if ((flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
  if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  std::vector<host::Argument> args;
  if (const HRESULT hr = ReadArguments(*params, args, bad_arg); FAILED(hr)) return hr;
  try {
    const host::Variant answer = control.Invoke(id, args);
    WriteBack(args, *params);
    if (result != nullptr) ToVariant(answer, result);
    return S_OK;
  } catch (const Error& error) {
    FillException(error, source, info);
    return DISP_E_EXCEPTION;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

Error SinkFailure(HRESULT hr, EXCEPINFO& info) {
  if (hr != DISP_E_EXCEPTION) return Error(static_cast<std::int32_t>(hr), "Automation error");
  if (info.pfnDeferredFillIn != nullptr) info.pfnDeferredFillIn(&info);
  std::int32_t number = static_cast<std::int32_t>(info.scode);
  if (info.scode == 0) {
    number = info.wCode;
  } else if ((static_cast<std::uint32_t>(info.scode) & 0xFFFF0000u) == static_cast<std::uint32_t>(kControlFacility)) {
    number = info.scode & 0xFFFF;
  }
  const std::string description = Narrow(info.bstrDescription);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrHelpFile);
  info.bstrDescription = info.bstrSource = info.bstrHelpFile = nullptr;
  return Error(number, description);
}

}  // namespace qvi::hostkit
