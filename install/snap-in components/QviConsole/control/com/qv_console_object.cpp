#include "control/com/qv_console_object.h"

#include <ocidl.h>
#include <olectl.h>

#include <memory>
#include <span>

#include "QviConsole.h"
#include "control/com/event_sink.h"
#include "control/com/kit_controls.h"
#include "control/com/module.h"
#include "control/qv_console.h"
#include "runtime/com/connection_point.h"
#include "runtime/com/object.h"

namespace qvi::com {

namespace {

class QVConsoleObject final : public Object<QVConsoleObject, IDispatch, IProvideClassInfo2, IConnectionPointContainer,
                                            IOleObject, IOleControl, IOleInPlaceObject, IOleInPlaceActiveObject,
                                            IPersistStreamInit, IPersistPropertyBag, IViewObject2> {
 public:
  static std::span<const InterfaceEntry> InterfaceTable() noexcept {
    static constexpr InterfaceEntry kTable[] = {
        Entry<IDispatch>(IID_IDispatch),
        Entry<IDispatch>(IID__QVConsole),
        Entry<IProvideClassInfo2>(IID_IProvideClassInfo),
        Entry<IProvideClassInfo2>(IID_IProvideClassInfo2),
        Entry<IConnectionPointContainer>(IID_IConnectionPointContainer),
        Entry<IOleObject>(IID_IOleObject),
        Entry<IOleControl>(IID_IOleControl),
        Entry<IOleInPlaceObject>(IID_IOleWindow),
        Entry<IOleInPlaceObject>(IID_IOleInPlaceObject),
        Entry<IOleInPlaceActiveObject>(IID_IOleInPlaceActiveObject),
        Entry<IPersistStreamInit>(IID_IPersist),
        Entry<IPersistStreamInit>(IID_IPersistStreamInit),
        Entry<IPersistPropertyBag>(IID_IPersistPropertyBag),
        Entry<IViewObject2>(IID_IViewObject),
        Entry<IViewObject2>(IID_IViewObject2),
    };
    return kTable;
  }

  ~QVConsoleObject() {
    connection_.Disconnect();
    control_.reset();
  }

  HRESULT Initialize() {
    ComPtr<ITypeLib> library;
    HRESULT hr = module::LoadTypeLibrary(library);
    if (SUCCEEDED(hr)) hr = library->GetTypeInfoOfGuid(IID__QVConsole, type_info_.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) hr = library->GetTypeInfoOfGuid(CLSID_QVConsole, class_info_.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) hr = controls_.Place();
    if (FAILED(hr)) return hr;
    control_ = std::make_unique<QVConsole>(module::Library(), controls_.qvi_public());
    hr = connection_.Connect(controls_.qvi_public().control(), static_cast<IDispatch*>(this),
                             [this](Event event, const host::Variant& argument) { Raise(event, argument); });
    if (FAILED(hr)) return hr;
    control_->UserControl_Initialize();
    return S_OK;
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
    return type_info_.CopyTo(info);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return DispGetIDsOfNames(type_info_.Get(), names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID riid, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return DISP_E_MEMBERNOTFOUND;
  }

  // IProvideClassInfo2
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override {
    return class_info_.CopyTo(info);
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
    return events_.Find(riid, point);
  }

  // IOleObject
  HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* site) override {
    site_ = site;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** site) override { return site_.CopyTo(site); }
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
        return InPlaceActivate(site ? site : site_.Get());
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
      const HRESULT hr = CreateOleAdviseHolder(advise_holder_.ReleaseAndGetAddressOf());
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
    if (const ComPtr<IOleInPlaceSite> site = std::move(in_place_site_)) site->OnInPlaceDeactivate();
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
    view_sink_ = sink;
    view_aspects_ = aspects;
    view_flags_ = flags;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override {
    if (aspects) *aspects = view_aspects_;
    if (flags) *flags = view_flags_;
    if (sink) view_sink_.CopyTo(sink);
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
    ComPtr<IOleInPlaceSite> in_place;
    // A container that cannot site in place still has an invisible control
    // that works.
    if (FAILED(site->QueryInterface(IID_IOleInPlaceSite, in_place.ReleaseAndGetVoidAddressOf())) ||
        in_place->CanInPlaceActivate() != S_OK) {
      return S_OK;
    }
    const HRESULT hr = in_place->OnInPlaceActivate();
    if (SUCCEEDED(hr)) in_place_site_ = std::move(in_place);
    return hr;
  }

  // The one outgoing interface, __QVConsole. The snap-in never raises it; the
  // point keeps its sinks so that a container can advise and unadvise as it
  // does with any control.
  ConnectionPoint events_{*this, DIID___QVConsole};
  ComPtr<ITypeInfo> type_info_;
  ComPtr<ITypeInfo> class_info_;
  KitControls controls_;
  std::unique_ptr<QVConsole> control_;
  EventConnection connection_;
  ComPtr<IOleClientSite> site_;
  ComPtr<IOleInPlaceSite> in_place_site_;
  ComPtr<IOleAdviseHolder> advise_holder_;
  ComPtr<IAdviseSink> view_sink_;
  DWORD view_aspects_ = 0;
  DWORD view_flags_ = 0;
  // A design-time size, in HIMETRIC, that containers may change.
  SIZEL extent_{847, 847};
};

}  // namespace

HRESULT CreateQVConsole(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  return CatchAll([&] {
    const ComPtr<QVConsoleObject> created = Make<QVConsoleObject>();
    const HRESULT hr = created->Initialize();
    return FAILED(hr) ? hr : created->QueryInterface(riid, object);
  });
}

}  // namespace qvi::com
