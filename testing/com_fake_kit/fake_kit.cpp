#include "testing/com_fake_kit/fake_kit.h"

#include <olectl.h>

namespace qvi::testing {

// {5B0E4D72-2C1A-4F3B-9A6E-1D2C3B4A5F60}
const IID kFakeEventsIid = {0x5B0E4D72, 0x2C1A, 0x4F3B, {0x9A, 0x6E, 0x1D, 0x2C, 0x3B, 0x4A, 0x5F, 0x60}};

namespace {

// {5B0E4D73-2C1A-4F3B-9A6E-1D2C3B4A5F60}
const CLSID kFakeCoclass = {0x5B0E4D73, 0x2C1A, 0x4F3B, {0x9A, 0x6E, 0x1D, 0x2C, 0x3B, 0x4A, 0x5F, 0x60}};

com::ComPtr<ITypeInfo> FakeTypeInfo(const GUID& guid) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  com::ComPtr<ITypeLib> library;
  com::ComPtr<ITypeInfo> info;
  if (SUCCEEDED(LoadTypeLibEx(path, REGKIND_NONE, library.ReleaseAndGetAddressOf()))) {
    library->GetTypeInfoOfGuid(guid, info.ReleaseAndGetAddressOf());
  }
  return info;
}

std::wstring ValueText(VARIANT& v) {
  com::ScopedVariant text;
  if (FAILED(VariantChangeType(text.ReleaseAndGetAddressOf(), &v, 0, VT_BSTR))) return L"?";
  return std::wstring(V_BSTR(&text.Get()), SysStringLen(V_BSTR(&text.Get())));
}

}  // namespace

com::ComPtr<ITypeInfo> FakeCoclassInfo() { return FakeTypeInfo(kFakeCoclass); }
com::ComPtr<ITypeInfo> FakeEventsInfo() { return FakeTypeInfo(kFakeEventsIid); }

HRESULT InvokeWith(IDispatch* target, DISPID id, const std::vector<FakeArg>& args, com::ScopedExcepInfo* exception) {
  com::DispatchArguments passed(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    VARIANT& v = passed[i];
    if (const auto* number = std::get_if<LONG>(&args[i])) {
      V_VT(&v) = VT_I4;
      V_I4(&v) = *number;
    } else if (const auto* small = std::get_if<SHORT>(&args[i])) {
      V_VT(&v) = VT_I2;
      V_I2(&v) = *small;
    } else if (const auto* text = std::get_if<std::wstring>(&args[i])) {
      V_BSTR(&v) = SysAllocStringLen(text->data(), static_cast<UINT>(text->size()));
      if (!V_BSTR(&v)) return E_OUTOFMEMORY;
      V_VT(&v) = VT_BSTR;
    } else {
      V_VT(&v) = VT_BYREF | VT_I4;
      V_I4REF(&v) = std::get<LONG*>(args[i]);
    }
  }
  com::ScopedExcepInfo ignored;
  UINT arg_error = 0;
  return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, passed.params(), nullptr,
                        (exception ? exception : &ignored)->ReleaseAndGetAddressOf(), &arg_error);
}

std::span<const com::InterfaceEntry> FakeDispatch::InterfaceTable() noexcept {
  static constexpr com::InterfaceEntry kTable[] = {
      Entry<IDispatch>(IID_IDispatch), Entry<IConnectionPointContainer>(IID_IConnectionPointContainer)};
  return kTable;
}

void* FakeDispatch::OtherInterface(REFIID riid) noexcept {
  return offers_class_info_ && IsEqualIID(riid, IID_IProvideClassInfo) ? static_cast<IProvideClassInfo*>(this)
                                                                        : nullptr;
}

HRESULT FakeDispatch::Fire(DISPID id, const std::vector<FakeArg>& args, com::ScopedExcepInfo* exception) {
  HRESULT hr = E_UNEXPECTED;
  for (const com::ComPtr<IDispatch>& sink : point_.Sinks()) hr = InvokeWith(sink.Get(), id, args, exception);
  return hr;
}

HRESULT FakeDispatch::GetTypeInfoCount(UINT* count) {
  *count = 0;
  return S_OK;
}

HRESULT FakeDispatch::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                             EXCEPINFO* exception, UINT*) {
  return com::CatchAll([&] {
    ReceivedCall call{id, {}, {}};
    // rgvarg holds the arguments last first.
    for (UINT i = params->cArgs; i-- > 0;) {
      call.types.push_back(V_VT(&params->rgvarg[i]));
      call.values.push_back(ValueText(params->rgvarg[i]));
    }
    if (params->cNamedArgs != 0) call.types.push_back(VT_ILLEGAL);
    calls_.push_back(std::move(call));
    const auto found = answers_.find(id);
    return found == answers_.end() ? S_OK : found->second(params, result, exception);
  });
}

HRESULT FakeDispatch::GetClassInfo(ITypeInfo** info) {
  const com::ComPtr<ITypeInfo> coclass = FakeCoclassInfo();
  return coclass ? coclass.CopyTo(info) : E_FAIL;
}

HRESULT FakeDispatch::FindConnectionPoint(REFIID riid, IConnectionPoint** point) { return point_.Find(riid, point); }

}  // namespace qvi::testing
