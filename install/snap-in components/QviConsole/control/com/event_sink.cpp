#include "control/com/event_sink.h"

#include <new>
#include <string>

#include "host/com/com_variant.h"
#include "runtime/errors.h"

namespace qvi::com {

namespace {

constexpr const wchar_t* kErrorSource = L"QviConsole";

std::string NarrowName(BSTR name) { return host::com::FromBstr(name); }

// What a failure of the page notification tells the host: a run-time error
// number in FACILITY_CONTROL, an HRESULT as itself.
HRESULT ScodeOf(const Error& error) {
  if (error.number() < 0) return static_cast<HRESULT>(error.number());
  return static_cast<HRESULT>(0x800A0000u | (static_cast<std::uint32_t>(error.number()) & 0xFFFFu));
}

}  // namespace

HRESULT DefaultSourceInterface(ITypeInfo* coclass, ITypeInfo** source, IID* iid) {
  *source = nullptr;
  TYPEATTR* attr = nullptr;
  HRESULT hr = coclass->GetTypeAttr(&attr);
  if (FAILED(hr)) return hr;
  const WORD count = attr->cImplTypes;
  const TYPEKIND kind = attr->typekind;
  coclass->ReleaseTypeAttr(attr);
  if (kind != TKIND_COCLASS) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) {
    INT flags = 0;
    if (FAILED(coclass->GetImplTypeFlags(i, &flags))) continue;
    if ((flags & (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) != (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) {
      continue;
    }
    HREFTYPE ref = 0;
    hr = coclass->GetRefTypeOfImplType(i, &ref);
    if (FAILED(hr)) return hr;
    ITypeInfo* info = nullptr;
    hr = coclass->GetRefTypeInfo(ref, &info);
    if (FAILED(hr)) return hr;
    TYPEATTR* source_attr = nullptr;
    hr = info->GetTypeAttr(&source_attr);
    if (FAILED(hr)) {
      info->Release();
      return hr;
    }
    *iid = source_attr->guid;
    info->ReleaseTypeAttr(source_attr);
    *source = info;
    return S_OK;
  }
  return CONNECT_E_NOCONNECTION;
}

EventSink::EventSink(ITypeInfo* source, const IID& iid, EventHandler handler)
    : source_(source), iid_(iid), handler_(std::move(handler)) {
  source_->AddRef();
}

EventSink::~EventSink() { source_->Release(); }

HRESULT EventSink::Create(ITypeInfo* source, const IID& iid, EventHandler handler, EventSink** sink) {
  *sink = nullptr;
  TYPEATTR* attr = nullptr;
  HRESULT hr = source->GetTypeAttr(&attr);
  if (FAILED(hr)) return hr;
  const WORD functions = attr->cFuncs;
  source->ReleaseTypeAttr(attr);

  auto* created = new (std::nothrow) EventSink(source, iid, std::move(handler));
  if (!created) return E_OUTOFMEMORY;
  try {
    for (UINT i = 0; i < functions; ++i) {
      FUNCDESC* desc = nullptr;
      if (FAILED(source->GetFuncDesc(i, &desc))) continue;
      const MEMBERID id = desc->memid;
      source->ReleaseFuncDesc(desc);
      BSTR name = nullptr;
      if (FAILED(source->GetDocumentation(id, &name, nullptr, nullptr, nullptr))) continue;
      const std::string event_name = NarrowName(name);
      SysFreeString(name);
      if (const auto event = EventByName(event_name); event && *event != Event::kCreation) {
        created->events_[id] = *event;
      }
    }
  } catch (const std::bad_alloc&) {
    created->Release();
    return E_OUTOFMEMORY;
  }
  *sink = created;
  return S_OK;
}

HRESULT EventSink::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, iid_)) {
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG EventSink::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

ULONG EventSink::Release() {
  const LONG left = InterlockedDecrement(&refs_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT EventSink::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT EventSink::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  source_->AddRef();
  *info = source_;
  return S_OK;
}

HRESULT EventSink::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  return DispGetIDsOfNames(source_, names, count, ids);
}

HRESULT EventSink::Invoke(DISPID id, REFIID riid, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO* exception,
                          UINT* arg_error) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  const auto found = events_.find(id);
  if (found == events_.end()) return DISP_E_MEMBERNOTFOUND;
  if (!handler_) return E_UNEXPECTED;
  const Event event = found->second;
  const UINT given = params ? params->cArgs : 0;
  if (params && params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  const EventArgument kind = ArgumentOf(event);
  if (given != (kind == EventArgument::kNone ? 0u : 1u)) return DISP_E_BADPARAMCOUNT;

  host::Variant argument;
  try {
    if (kind != EventArgument::kNone) {
      const host::Variant given_value = host::com::FromVariant(params->rgvarg[0]);
      argument = kind == EventArgument::kNumber ? host::Variant(given_value.ToInt32())
                                                : host::Variant(given_value.ToString());
    }
  } catch (const Error&) {
    if (arg_error) *arg_error = 0;
    return DISP_E_TYPEMISMATCH;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }

  // The handler may release the last reference the host holds on us.
  AddRef();
  HRESULT hr = S_OK;
  try {
    const EventHandler handler = handler_;
    handler(event, argument);
  } catch (const Error& error) {
    if (event == Event::kPostPageNotification) {
      const HRESULT scode = ScodeOf(error);
      if (exception) {
        *exception = EXCEPINFO{};
        exception->scode = scode;
        exception->bstrSource = SysAllocString(kErrorSource);
        try {
          exception->bstrDescription = host::com::ToBstr(error.description());
        } catch (const std::bad_alloc&) {
        }
        hr = DISP_E_EXCEPTION;
      } else {
        hr = scode;
      }
    }
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  } catch (...) {
    hr = E_UNEXPECTED;
  }
  Release();
  return hr;
}

HRESULT EventConnection::Connect(IUnknown* control, EventHandler handler) {
  Disconnect();
  IProvideClassInfo* provider = nullptr;
  HRESULT hr = control->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&provider));
  if (FAILED(hr)) return hr;
  ITypeInfo* coclass = nullptr;
  hr = provider->GetClassInfo(&coclass);
  provider->Release();
  if (FAILED(hr)) return hr;
  ITypeInfo* source = nullptr;
  IID iid;
  hr = DefaultSourceInterface(coclass, &source, &iid);
  coclass->Release();
  if (FAILED(hr)) return hr;

  EventSink* sink = nullptr;
  hr = EventSink::Create(source, iid, std::move(handler), &sink);
  source->Release();
  if (FAILED(hr)) return hr;

  IConnectionPointContainer* container = nullptr;
  hr = control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  IConnectionPoint* point = nullptr;
  if (SUCCEEDED(hr)) {
    hr = container->FindConnectionPoint(iid, &point);
    container->Release();
  }
  DWORD cookie = 0;
  if (SUCCEEDED(hr)) {
    hr = point->Advise(static_cast<IDispatch*>(sink), &cookie);
    if (FAILED(hr)) point->Release();
  }
  if (FAILED(hr)) {
    sink->Detach();
    sink->Release();
    return hr;
  }
  point_ = point;
  sink_ = sink;
  cookie_ = cookie;
  return S_OK;
}

void EventConnection::Disconnect() {
  if (!point_) return;
  point_->Unadvise(cookie_);
  point_->Release();
  sink_->Detach();
  sink_->Release();
  point_ = nullptr;
  sink_ = nullptr;
  cookie_ = 0;
}

}  // namespace qvi::com
