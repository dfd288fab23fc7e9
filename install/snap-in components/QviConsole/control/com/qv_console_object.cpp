#include "control/com/qv_console_object.h"

#include <ocidl.h>
#include <olectl.h>

#include <map>
#include <memory>
#include <new>

#include "QviConsole.h"
#include "control/com/event_sink.h"
#include "control/com/kit_controls.h"
#include "control/com/module.h"
#include "control/qv_console.h"

namespace qvi::com {

namespace {

// The one outgoing interface, __QVConsole. The snap-in never raises it; the
// connection point keeps its sinks so that a container can advise and
// unadvise as it does with any control.
class EventsConnectionPoint final : public IConnectionPoint {
 public:
  explicit EventsConnectionPoint(IConnectionPointContainer& owner) : owner_(owner) {}
  ~EventsConnectionPoint() {
    for (auto& [cookie, sink] : sinks_) sink->Release();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
      *object = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // Lives as long as its container.
  ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    if (!iid) return E_POINTER;
    *iid = DIID___QVConsole;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override {
    if (!container) return E_POINTER;
    owner_.AddRef();
    *container = &owner_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    IUnknown* events = nullptr;
    if (FAILED(sink->QueryInterface(DIID___QVConsole, reinterpret_cast<void**>(&events)))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    try {
      sinks_[next_cookie_] = events;
    } catch (const std::bad_alloc&) {
      events->Release();
      return E_OUTOFMEMORY;
    }
    *cookie = next_cookie_++;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    const auto found = sinks_.find(cookie);
    if (found == sinks_.end()) return CONNECT_E_NOCONNECTION;
    IUnknown* sink = found->second;
    sinks_.erase(found);
    sink->Release();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override {
    if (connections) *connections = nullptr;
    return E_NOTIMPL;
  }

 private:
  IConnectionPointContainer& owner_;
  std::map<DWORD, IUnknown*> sinks_;
  DWORD next_cookie_ = 1;
};

class QVConsoleObject final : public IDispatch,
                              public IProvideClassInfo2,
                              public IConnectionPointContainer,
                              public IOleObject,
                              public IOleControl,
                              public IOleInPlaceObject,
                              public IOleInPlaceActiveObject,
                              public IPersistStreamInit,
                              public IPersistPropertyBag,
                              public IViewObject2 {
 public:
  QVConsoleObject() : events_(*this) { module::ObjectCreated(); }
  ~QVConsoleObject() {
    connection_.Disconnect();
    if (advise_holder_) advise_holder_->Release();
    if (view_sink_) view_sink_->Release();
    if (in_place_site_) in_place_site_->Release();
    if (site_) site_->Release();
    if (type_info_) type_info_->Release();
    if (class_info_) class_info_->Release();
    control_.reset();
    module::ObjectDestroyed();
  }

  HRESULT Initialize() {
    ITypeLib* library = nullptr;
    HRESULT hr = module::LoadTypeLibrary(&library);
    if (FAILED(hr)) return hr;
    hr = library->GetTypeInfoOfGuid(IID__QVConsole, &type_info_);
    if (SUCCEEDED(hr)) hr = library->GetTypeInfoOfGuid(CLSID_QVConsole, &class_info_);
    library->Release();
    if (FAILED(hr)) return hr;

    hr = controls_.Place();
    if (FAILED(hr)) return hr;
    try {
      control_ = std::make_unique<QVConsole>(module::Library(), controls_.qvi_public());
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    hr = connection_.Connect(controls_.qvi_public().control(),
                             [this](Event event, const host::Variant& argument) { Raise(event, argument); });
    if (FAILED(hr)) return hr;
    control_->UserControl_Initialize();
    return S_OK;
  }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID__QVConsole)) {
      *object = static_cast<IDispatch*>(this);
    } else if (IsEqualIID(riid, IID_IProvideClassInfo) || IsEqualIID(riid, IID_IProvideClassInfo2)) {
      *object = static_cast<IProvideClassInfo2*>(this);
    } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
      *object = static_cast<IConnectionPointContainer*>(this);
    } else if (IsEqualIID(riid, IID_IOleObject)) {
      *object = static_cast<IOleObject*>(this);
    } else if (IsEqualIID(riid, IID_IOleControl)) {
      *object = static_cast<IOleControl*>(this);
    } else if (IsEqualIID(riid, IID_IOleWindow) || IsEqualIID(riid, IID_IOleInPlaceObject)) {
      *object = static_cast<IOleInPlaceObject*>(this);
    } else if (IsEqualIID(riid, IID_IOleInPlaceActiveObject)) {
      *object = static_cast<IOleInPlaceActiveObject*>(this);
    } else if (IsEqualIID(riid, IID_IPersist) || IsEqualIID(riid, IID_IPersistStreamInit)) {
      *object = static_cast<IPersistStreamInit*>(this);
    } else if (IsEqualIID(riid, IID_IPersistPropertyBag)) {
      *object = static_cast<IPersistPropertyBag*>(this);
    } else if (IsEqualIID(riid, IID_IViewObject) || IsEqualIID(riid, IID_IViewObject2)) {
      *object = static_cast<IViewObject2*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // IDispatch over _QVConsole, which has no members of its own.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    type_info_->AddRef();
    *info = type_info_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return DispGetIDsOfNames(type_info_, names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID riid, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return DISP_E_MEMBERNOTFOUND;
  }

  // IProvideClassInfo2
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override {
    if (!info) return E_POINTER;
    class_info_->AddRef();
    *info = class_info_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* guid) override {
    if (!guid) return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
    *guid = DIID___QVConsole;
    return S_OK;
  }

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override {
    if (points) *points = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override {
    if (!point) return E_POINTER;
    *point = nullptr;
    if (!IsEqualIID(riid, DIID___QVConsole)) return CONNECT_E_NOCONNECTION;
    events_.AddRef();
    *point = &events_;
    return S_OK;
  }

  // IOleObject
  HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* site) override {
    if (site) site->AddRef();
    if (site_) site_->Release();
    site_ = site;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** site) override {
    if (!site) return E_POINTER;
    if (site_) site_->AddRef();
    *site = site_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Close(DWORD) override {
    InPlaceDeactivate();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** moniker) override {
    if (moniker) *moniker = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD, IDataObject** data) override {
    if (data) *data = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND, LPCRECT) override {
    switch (verb) {
      case OLEIVERB_PRIMARY:
      case OLEIVERB_SHOW:
      case OLEIVERB_INPLACEACTIVATE:
      case OLEIVERB_UIACTIVATE:
        return InPlaceActivate(site ? site : site_);
      case OLEIVERB_HIDE:
        return InPlaceDeactivate();
      case OLEIVERB_OPEN:
      case OLEIVERB_DISCARDUNDOSTATE:
        return S_OK;
      default:
        return verb < 0 ? E_NOTIMPL : OLEOBJ_S_INVALIDVERB;
    }
  }
  HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** verbs) override {
    if (verbs) *verbs = nullptr;
    return OLEOBJ_E_NOVERBS;
  }
  HRESULT STDMETHODCALLTYPE Update() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE IsUpToDate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* clsid) override {
    if (!clsid) return E_POINTER;
    *clsid = CLSID_QVConsole;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetUserType(DWORD form, LPOLESTR* name) override {
    return OleRegGetUserType(CLSID_QVConsole, form, name);
  }
  HRESULT STDMETHODCALLTYPE SetExtent(DWORD aspect, SIZEL* size) override {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!size) return E_POINTER;
    extent_ = *size;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, SIZEL* size) override {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!size) return E_POINTER;
    *size = extent_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Advise(IAdviseSink* sink, DWORD* connection) override {
    if (!advise_holder_) {
      const HRESULT hr = CreateOleAdviseHolder(&advise_holder_);
      if (FAILED(hr)) return hr;
    }
    return advise_holder_->Advise(sink, connection);
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD connection) override {
    if (!advise_holder_) return OLE_E_NOCONNECTION;
    return advise_holder_->Unadvise(connection);
  }
  HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA** advises) override {
    if (!advises) return E_POINTER;
    *advises = nullptr;
    if (!advise_holder_) return S_OK;
    return advise_holder_->EnumAdvise(advises);
  }
  HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD, DWORD* status) override {
    if (!status) return E_POINTER;
    *status = kMiscStatus;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

  // IOleControl: no mnemonics, no ambient properties it cares about.
  HRESULT STDMETHODCALLTYPE GetControlInfo(CONTROLINFO* info) override {
    if (!info) return E_POINTER;
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnMnemonic(MSG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnAmbientPropertyChange(DISPID) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE FreezeEvents(BOOL) override { return S_OK; }

  // IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject: active in place
  // without a window of its own.
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override {
    if (!window) return E_POINTER;
    *window = nullptr;
    return E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override {
    if (!in_place_site_) return S_OK;
    IOleInPlaceSite* site = in_place_site_;
    in_place_site_ = nullptr;
    site->OnInPlaceDeactivate();
    site->Release();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UIDeactivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT, LPCRECT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override { return INPLACE_E_NOTUNDOABLE; }
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE OnFrameWindowActivate(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDocWindowActivate(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE EnableModeless(BOOL) override { return S_OK; }

  // IPersist, IPersistStreamInit, IPersistPropertyBag: nothing to keep.
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override { return GetUserClassID(clsid); }
  HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE Load(IStream* stream) override { return stream ? S_OK : E_POINTER; }
  HRESULT STDMETHODCALLTYPE Save(IStream* stream, BOOL) override { return stream ? S_OK : E_POINTER; }
  HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* size) override {
    if (!size) return E_POINTER;
    size->QuadPart = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE InitNew() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Load(IPropertyBag* bag, IErrorLog*) override { return bag ? S_OK : E_POINTER; }
  HRESULT STDMETHODCALLTYPE Save(IPropertyBag* bag, BOOL, BOOL) override { return bag ? S_OK : E_POINTER; }

  // IViewObject2: invisible at run time, so there is nothing to draw.
  HRESULT STDMETHODCALLTYPE Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC, LPCRECTL bounds, LPCRECTL,
                                 BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) override {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    return bounds ? S_OK : E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colors) override {
    if (colors) *colors = nullptr;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Freeze(DWORD, LONG, void*, DWORD* freeze) override {
    if (freeze) *freeze = 0;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Unfreeze(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override {
    if (sink) sink->AddRef();
    if (view_sink_) view_sink_->Release();
    view_sink_ = sink;
    view_aspects_ = aspects;
    view_flags_ = flags;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override {
    if (aspects) *aspects = view_aspects_;
    if (flags) *flags = view_flags_;
    if (sink) {
      if (view_sink_) view_sink_->AddRef();
      *sink = view_sink_;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) override {
    return GetExtent(aspect, size);
  }

 private:
  void Raise(Event event, const host::Variant& argument) {
    switch (event) {
      case Event::kCreation: control_->UserControl_Initialize(); break;
      case Event::kSetup: control_->QviPublic1_qviSetup(); break;
      case Event::kUpgrade: control_->QviPublic1_qviUpgrade(argument.ToInt32()); break;
      case Event::kPostSetup: control_->QviPublic1_qviPostSetup(); break;
      case Event::kUninstall: control_->QviPublic1_qviUninstall(); break;
      case Event::kPostPageNotification: control_->QviPublic1_qviPostPageNotification(argument.ToString()); break;
    }
  }

  HRESULT InPlaceActivate(IOleClientSite* site) {
    if (in_place_site_) return S_OK;
    if (!site) return E_UNEXPECTED;
    IOleInPlaceSite* in_place = nullptr;
    if (FAILED(site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&in_place)))) {
      // A container that cannot site in place still has an invisible
      // control that works.
      return S_OK;
    }
    if (in_place->CanInPlaceActivate() != S_OK) {
      in_place->Release();
      return S_OK;
    }
    const HRESULT hr = in_place->OnInPlaceActivate();
    if (FAILED(hr)) {
      in_place->Release();
      return hr;
    }
    in_place_site_ = in_place;
    return S_OK;
  }

  LONG refs_ = 1;
  EventsConnectionPoint events_;
  ITypeInfo* type_info_ = nullptr;
  ITypeInfo* class_info_ = nullptr;
  KitControls controls_;
  std::unique_ptr<QVConsole> control_;
  EventConnection connection_;
  IOleClientSite* site_ = nullptr;
  IOleInPlaceSite* in_place_site_ = nullptr;
  IOleAdviseHolder* advise_holder_ = nullptr;
  IAdviseSink* view_sink_ = nullptr;
  DWORD view_aspects_ = 0;
  DWORD view_flags_ = 0;
  // A design-time size, in HIMETRIC, that containers may change.
  SIZEL extent_{847, 847};
};

}  // namespace

HRESULT CreateQVConsole(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  auto* created = new (std::nothrow) QVConsoleObject();
  if (!created) return E_OUTOFMEMORY;
  HRESULT hr = E_UNEXPECTED;
  try {
    hr = created->Initialize();
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  } catch (...) {
  }
  if (SUCCEEDED(hr)) hr = created->QueryInterface(riid, object);
  created->Release();
  return hr;
}

}  // namespace qvi::com
