#include "testing/com_fake_kit/fake_kit.h"

#include <olectl.h>

#include <string>

namespace qvi::testing {

// {5B0E4D72-2C1A-4F3B-9A6E-1D2C3B4A5F60}
const IID kFakeEventsIid = {0x5B0E4D72, 0x2C1A, 0x4F3B, {0x9A, 0x6E, 0x1D, 0x2C, 0x3B, 0x4A, 0x5F, 0x60}};
// {5B0E4D73-2C1A-4F3B-9A6E-1D2C3B4A5F60}
const CLSID kFakeCoclass = {0x5B0E4D73, 0x2C1A, 0x4F3B, {0x9A, 0x6E, 0x1D, 0x2C, 0x3B, 0x4A, 0x5F, 0x60}};

namespace {

ITypeLib* FakeLibrary() {
  static ITypeLib* library = [] {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    ITypeLib* loaded = nullptr;
    LoadTypeLibEx(path, REGKIND_NONE, &loaded);
    return loaded;
  }();
  return library;
}

std::wstring ValueText(VARIANT& v) {
  VARIANT text;
  VariantInit(&text);
  if (FAILED(VariantChangeType(&text, &v, 0, VT_BSTR))) return L"?";
  std::wstring out(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
  VariantClear(&text);
  return out;
}

}  // namespace

ITypeInfo* FakeCoclassInfo() {
  ITypeInfo* info = nullptr;
  FakeLibrary()->GetTypeInfoOfGuid(kFakeCoclass, &info);
  return info;
}

ITypeInfo* FakeEventsInfo() {
  ITypeInfo* info = nullptr;
  FakeLibrary()->GetTypeInfoOfGuid(kFakeEventsIid, &info);
  return info;
}

FakeDispatch::~FakeDispatch() {
  if (sink_) sink_->Release();
}

std::vector<DISPID> FakeDispatch::CallIds() const {
  std::vector<DISPID> ids;
  for (const ReceivedCall& call : calls_) ids.push_back(call.id);
  return ids;
}

HRESULT FakeDispatch::Fire(DISPID id, std::vector<VARIANT> args, EXCEPINFO* exception) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  EXCEPINFO ignored{};
  UINT arg_error = 0;
  const HRESULT hr = sink_ ? sink_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                                           exception ? exception : &ignored, &arg_error)
                           : E_UNEXPECTED;
  for (VARIANT& v : args) VariantClear(&v);
  if (!exception) {
    SysFreeString(ignored.bstrDescription);
    SysFreeString(ignored.bstrSource);
  }
  return hr;
}

HRESULT FakeDispatch::QueryInterface(REFIID riid, void** object) {
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
    *object = static_cast<IDispatch*>(this);
  } else if (IsEqualIID(riid, IID_IProvideClassInfo) && offers_class_info_) {
    *object = static_cast<IProvideClassInfo*>(this);
  } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
    *object = static_cast<IConnectionPointContainer*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG FakeDispatch::AddRef() { return static_cast<ULONG>(++refs_); }

ULONG FakeDispatch::Release() {
  const LONG left = --refs_;
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT FakeDispatch::GetTypeInfoCount(UINT* count) {
  *count = 0;
  return S_OK;
}
HRESULT FakeDispatch::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  *info = nullptr;
  return E_NOTIMPL;
}
HRESULT FakeDispatch::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

HRESULT FakeDispatch::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                             EXCEPINFO* exception, UINT*) {
  ReceivedCall call{id, flags, {}, {}};
  // rgvarg holds the arguments last first.
  for (UINT i = params->cArgs; i-- > 0;) {
    call.types.push_back(V_VT(&params->rgvarg[i]));
    call.values.push_back(ValueText(params->rgvarg[i]));
  }
  if (params->cNamedArgs != 0) call.types.push_back(VT_ILLEGAL);
  calls_.push_back(call);
  const auto found = answers_.find(id);
  if (found == answers_.end()) return S_OK;
  return found->second(params, result, exception);
}

HRESULT FakeDispatch::GetClassInfo(ITypeInfo** info) {
  *info = FakeCoclassInfo();
  return *info ? S_OK : E_FAIL;
}

HRESULT FakeDispatch::EnumConnectionPoints(IEnumConnectionPoints** points) {
  *points = nullptr;
  return E_NOTIMPL;
}

HRESULT FakeDispatch::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
  *point = nullptr;
  if (!IsEqualIID(riid, kFakeEventsIid)) return CONNECT_E_NOCONNECTION;
  *point = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

HRESULT FakeDispatch::GetConnectionInterface(IID* iid) {
  *iid = kFakeEventsIid;
  return S_OK;
}

HRESULT FakeDispatch::GetConnectionPointContainer(IConnectionPointContainer** container) {
  *container = static_cast<IConnectionPointContainer*>(this);
  AddRef();
  return S_OK;
}

HRESULT FakeDispatch::Advise(IUnknown* sink, DWORD* cookie) {
  if (sink_) return CONNECT_E_ADVISELIMIT;
  IDispatch* events = nullptr;
  if (FAILED(sink->QueryInterface(kFakeEventsIid, reinterpret_cast<void**>(&events)))) return CONNECT_E_CANNOTCONNECT;
  sink_ = events;
  *cookie = 77;
  return S_OK;
}

HRESULT FakeDispatch::Unadvise(DWORD cookie) {
  if (cookie != 77 || !sink_) return CONNECT_E_NOCONNECTION;
  sink_->Release();
  sink_ = nullptr;
  return S_OK;
}

HRESULT FakeDispatch::EnumConnections(IEnumConnections** connections) {
  *connections = nullptr;
  return E_NOTIMPL;
}

VARIANT Text(const wchar_t* text) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(text);
  return v;
}

VARIANT Int32(LONG value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return v;
}

VARIANT Int16(SHORT value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I2;
  V_I2(&v) = value;
  return v;
}

}  // namespace qvi::testing
