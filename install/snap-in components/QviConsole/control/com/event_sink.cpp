#include "control/com/event_sink.h"

#include <new>
#include <string>

#include "host/com/com_variant.h"
#include "runtime/com/automation_error.h"
#include "runtime/com/bstr_text.h"
#include "runtime/errors.h"

namespace qvi::com {

namespace {

constexpr const wchar_t* kErrorSource = L"QviConsole";

// A type's attributes, released with the holder.
class TypeAttr {
 public:
  explicit TypeAttr(ITypeInfo* info) : info_(info) { hr_ = info->GetTypeAttr(&attr_); }
  ~TypeAttr() {
    if (attr_) info_->ReleaseTypeAttr(attr_);
  }
  TypeAttr(const TypeAttr&) = delete;
  TypeAttr& operator=(const TypeAttr&) = delete;
  HRESULT hr() const { return hr_; }
  const TYPEATTR* operator->() const { return attr_; }

 private:
  ITypeInfo* info_;
  TYPEATTR* attr_ = nullptr;
  HRESULT hr_;
};

}  // namespace

HRESULT DefaultSourceInterface(ITypeInfo* coclass, ComPtr<ITypeInfo>& source, IID& iid) {
  source.Reset();
  const TypeAttr attr(coclass);
  if (FAILED(attr.hr())) return attr.hr();
  if (attr->typekind != TKIND_COCLASS) return E_INVALIDARG;
  constexpr INT kDefaultSource = IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE;
  for (UINT i = 0; i < attr->cImplTypes; ++i) {
    INT flags = 0;
    if (FAILED(coclass->GetImplTypeFlags(i, &flags)) || (flags & kDefaultSource) != kDefaultSource) continue;
    HREFTYPE ref = 0;
    HRESULT hr = coclass->GetRefTypeOfImplType(i, &ref);
    ComPtr<ITypeInfo> info;
    if (SUCCEEDED(hr)) hr = coclass->GetRefTypeInfo(ref, info.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    const TypeAttr source_attr(info.Get());
    if (FAILED(source_attr.hr())) return source_attr.hr();
    iid = source_attr->guid;
    source = std::move(info);
    return S_OK;
  }
  return CONNECT_E_NOCONNECTION;
}

EventSink::EventSink(ITypeInfo* source, const IID& iid, IUnknown* owner, EventHandler handler)
    : source_(source), iid_(iid), owner_(owner), handler_(std::move(handler)) {}

HRESULT EventSink::Create(ITypeInfo* source, const IID& iid, IUnknown* owner, EventHandler handler,
                          ComPtr<EventSink>& sink) {
  sink.Reset();
  const TypeAttr attr(source);
  if (FAILED(attr.hr())) return attr.hr();
  return CatchAll([&] {
    ComPtr<EventSink> created;
    created.Attach(new EventSink(source, iid, owner, std::move(handler)));
    for (UINT i = 0; i < attr->cFuncs; ++i) {
      FUNCDESC* desc = nullptr;
      if (FAILED(source->GetFuncDesc(i, &desc))) continue;
      const MEMBERID id = desc->memid;
      source->ReleaseFuncDesc(desc);
      ScopedBstr name;
      if (FAILED(source->GetDocumentation(id, name.ReleaseAndGetAddressOf(), nullptr, nullptr, nullptr))) continue;
      if (const auto event = EventByName(FromBstr(name.Get())); event && *event != Event::kCreation) {
        created->events_[id] = *event;
      }
    }
    sink = std::move(created);
    return S_OK;
  });
}

std::span<const InterfaceEntry> EventSink::InterfaceTable() noexcept {
  static constexpr InterfaceEntry kTable[] = {Entry<IDispatch>(IID_IDispatch)};
  return kTable;
}

void* EventSink::OtherInterface(REFIID riid) noexcept {
  return IsEqualIID(riid, iid_) ? static_cast<IDispatch*>(this) : nullptr;
}

void EventSink::Detach() noexcept {
  owner_ = nullptr;
  handler_ = nullptr;
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
  return source_.CopyTo(info);
}

HRESULT EventSink::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  return DispGetIDsOfNames(source_.Get(), names, count, ids);
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

  // Whatever the handler does to the references the host holds, the sink and
  // its owner live until the event ends. The owner goes first: its end
  // detaches the sink, which must still be there.
  const ComPtr<EventSink> self(this);
  const ComPtr<IUnknown> owner(owner_);
  return CatchAll([&] {
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
    }
    try {
      handler_(event, argument);
    } catch (const Error& error) {
      if (event == Event::kPostPageNotification) return ReportToCaller(error, kErrorSource, exception);
    }
    return S_OK;
  });
}

HRESULT EventConnection::Connect(IUnknown* control, IUnknown* owner, EventHandler handler) {
  Disconnect();
  ComPtr<IProvideClassInfo> provider;
  HRESULT hr = control->QueryInterface(IID_IProvideClassInfo, provider.ReleaseAndGetVoidAddressOf());
  ComPtr<ITypeInfo> coclass;
  if (SUCCEEDED(hr)) hr = provider->GetClassInfo(coclass.ReleaseAndGetAddressOf());
  ComPtr<ITypeInfo> source;
  IID iid{};
  if (SUCCEEDED(hr)) hr = DefaultSourceInterface(coclass.Get(), source, iid);
  if (FAILED(hr)) return hr;

  return CatchAll([&] {
    ComPtr<EventSink> sink;
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    HRESULT result = EventSink::Create(source.Get(), iid, owner, std::move(handler), sink);
    if (SUCCEEDED(result)) {
      result = control->QueryInterface(IID_IConnectionPointContainer, container.ReleaseAndGetVoidAddressOf());
    }
    if (SUCCEEDED(result)) result = container->FindConnectionPoint(iid, point.ReleaseAndGetAddressOf());
    if (SUCCEEDED(result)) result = point->Advise(static_cast<IDispatch*>(sink.Get()), &cookie);
    if (FAILED(result)) {
      if (sink) sink->Detach();
      return result;
    }
    point_ = std::move(point);
    sink_ = std::move(sink);
    cookie_ = cookie;
    return S_OK;
  });
}

void EventConnection::Disconnect() {
  if (!point_) return;
  point_->Unadvise(cookie_);
  sink_->Detach();
  point_.Reset();
  sink_.Reset();
  cookie_ = 0;
}

}  // namespace qvi::com
