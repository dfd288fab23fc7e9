#include "host_kit/dispatch_bridge.h"

#include <new>

#include "host/com/com_variant.h"
#include "runtime/com/automation_error.h"
#include "runtime/com/bstr_text.h"
#include "runtime/com/object.h"
#include "runtime/com/scoped.h"

namespace qvi::hostkit {

namespace {

// Reads one argument; false for a type a host control does not take.
bool ReadOne(const VARIANT& v, host::Argument& arg) {
  arg.by_ref = (V_VT(&v) & VT_BYREF) != 0;
  switch (V_VT(&v)) {
    case VT_EMPTY: arg.value = host::Variant(); return true;
    case VT_I2: arg.value = static_cast<std::int16_t>(V_I2(&v)); return true;
    case VT_I4: arg.value = static_cast<std::int32_t>(V_I4(&v)); return true;
    case VT_BSTR: arg.value = com::FromBstr(V_BSTR(&v)); return true;
    case VT_BYREF | VT_I2: arg.value = static_cast<std::int16_t>(*V_I2REF(&v)); return true;
    case VT_BYREF | VT_I4: arg.value = static_cast<std::int32_t>(*V_I4REF(&v)); return true;
    case VT_BYREF | VT_BSTR: arg.value = com::FromBstr(*V_BSTRREF(&v)); return true;
    default: return false;
  }
}

}  // namespace

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
    com::ScopedBstr text;
  };
  std::vector<Store> stores;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!args[i].by_ref) continue;
    VARIANT* target = &params.rgvarg[params.cArgs - 1 - i];
    switch (V_VT(target)) {
      case VT_BYREF | VT_I2: stores.push_back({target, args[i].value.ToInt16(), {}}); break;
      case VT_BYREF | VT_I4: stores.push_back({target, args[i].value.ToInt32(), {}}); break;
      case VT_BYREF | VT_BSTR: stores.push_back({target, 0, com::ToBstr(args[i].value.ToString())}); break;
      default: break;
    }
  }
  for (Store& store : stores) {
    switch (V_VT(store.target)) {
      case VT_BYREF | VT_I2: *V_I2REF(store.target) = static_cast<SHORT>(store.number); break;
      case VT_BYREF | VT_I4: *V_I4REF(store.target) = store.number; break;
      default: {
        const com::ScopedBstr former(std::exchange(*V_BSTRREF(store.target), store.text.Detach()));
      }
    }
  }
}

HRESULT InvokeHost(host::HostControl& control, DISPID id, REFIID riid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* info, UINT* bad_arg, const wchar_t* source) noexcept {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (params == nullptr || (params->cArgs > 0 && params->rgvarg == nullptr)) return E_INVALIDARG;
  if ((flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
  if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  return com::CatchAll([&] {
    std::vector<host::Argument> args;
    if (const HRESULT hr = ReadArguments(*params, args, bad_arg); FAILED(hr)) return hr;
    try {
      const host::Variant answer = control.Invoke(id, args);
      WriteBack(args, *params);
      if (result != nullptr) host::com::ToVariant(answer, *result);
      return S_OK;
    } catch (const Error& error) {
      return com::ReportToCaller(error, source, info);
    }
  });
}

std::optional<Error> FireEvent(const std::vector<com::ComPtr<IDispatch>>& sinks, DISPID id,
                               const std::optional<host::Variant>& argument) {
  com::DispatchArguments args(argument ? 1 : 0);
  if (argument) host::com::ToVariant(*argument, args[0]);
  std::optional<Error> failure;
  for (const com::ComPtr<IDispatch>& sink : sinks) {
    com::ScopedExcepInfo exception;
    const HRESULT hr = sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, args.params(), nullptr,
                                    exception.ReleaseAndGetAddressOf(), nullptr);
    if (FAILED(hr) && !failure) failure = com::ErrorFromInvoke(hr, exception);
  }
  return failure;
}

}  // namespace qvi::hostkit
