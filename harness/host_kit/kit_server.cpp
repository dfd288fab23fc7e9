// The kit's COM classes, its module-wide host and its exports.
#include <windows.h>
#include <initguid.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <charconv>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "control/events.h"
#include "host_kit/dispatch_bridge.h"
#include "qvi_server.h"
#include "qvi_svr_ntnwsvc.h"
#include "replacement_host/replacement_host.h"
#include "scenario/report.h"
#include "scenario/run.h"
#include "scenario/scenario.h"

namespace qvi::hostkit {
namespace {

std::atomic<long> live_objects{0};
std::atomic<long> server_locks{0};

struct ClassInfo {
  host::Control control;
  const CLSID& clsid;
  const IID& dispatch_iid;
  const IID* events_iid;  // null for a class without events
  const GUID& libid;
  UINT typelib_resource;
  const wchar_t* progid;
  const wchar_t* description;
};

const ClassInfo kClasses[] = {
    {host::Control::kQviPublic, CLSID_QviPublic, DIID__DQviPublic, &DIID__DQviPublicEvents, LIBID_QVISERVERLibCtl, 1,
     L"QVISERVERLibCtl.QviPublic", L"QviPublic (test host kit)"},
    {host::Control::kQviNTNWSvc, CLSID_QviNTNWSvc, DIID__DQviNTNWSvc, nullptr, LIBID_QVISVRNTNWSVCLibCtl, 2,
     L"QVISVRNTNWSVCLibCtl.QviNTNWSvc", L"QviNTNWSvc (test host kit)"},
};

HMODULE Module() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&live_objects), &module);
  return module;
}

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(Module(), path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// The kit's type libraries are resources of this DLL: 1 for QviPublic, 2 for
// QviNTNWSvc.
std::wstring TypeLibPath(UINT resource) {
  return resource == 1 ? ModulePath() : ModulePath() + L"\\" + std::to_wstring(resource);
}

HRESULT LoadTypeInfo(UINT resource, const GUID& guid, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLibEx(TypeLibPath(resource).c_str(), REGKIND_NONE, &lib);
  if (FAILED(hr)) return hr;
  hr = lib->GetTypeInfoOfGuid(guid, info);
  lib->Release();
  return hr;
}

class KitControl;

// The one host of this process and what it has heard.
struct KitState {
  std::unique_ptr<rhost::ReplacementHost> host;
  std::vector<rhost::EventOutcome> outcomes;
  std::vector<KitControl*> publics;  // every live QviPublic, oldest first
  std::string last_error;

  rhost::ReplacementHost& Host() {
    if (!host) host = std::make_unique<rhost::ReplacementHost>(rhost::HostConfig{});
    return *host;
  }
};

KitState& State() {
  static KitState state;
  return state;
}

// QviPublic or QviNTNWSvc. Only QviPublic has the connection point.
class KitControl final : public IDispatch, public IProvideClassInfo, public IConnectionPointContainer {
 public:
  explicit KitControl(const ClassInfo& info) : info_(info), point_(*this) {
    ++live_objects;
    if (info_.events_iid != nullptr) State().publics.push_back(this);
  }
  KitControl(const KitControl&) = delete;
  KitControl& operator=(const KitControl&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, info_.dispatch_iid)) {
      *out = static_cast<IDispatch*>(this);
    } else if (IsEqualIID(riid, IID_IProvideClassInfo)) {
      *out = static_cast<IProvideClassInfo*>(this);
    } else if (IsEqualIID(riid, IID_IConnectionPointContainer) && info_.events_iid != nullptr) {
      *out = static_cast<IConnectionPointContainer*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (index != 0) return DISP_E_BADINDEX;
    return LoadTypeInfo(info_.typelib_resource, info_.dispatch_iid, info);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* info = nullptr;
    HRESULT hr = LoadTypeInfo(info_.typelib_resource, info_.dispatch_iid, &info);
    if (FAILED(hr)) return hr;
    hr = DispGetIDsOfNames(info, names, count, ids);
    info->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* bad_arg) override {
    rhost::ReplacementHost& host = State().Host();
    host::HostControl& control =
        info_.control == host::Control::kQviPublic ? host.QviPublic() : host.QviNTNWSvc();
    const std::wstring source(info_.progid);
    try {
      return InvokeHost(control, id, riid, flags, params, result, exception, bad_arg, source.c_str());
    } catch (const std::exception&) {
      return E_FAIL;
    }
  }

  // IProvideClassInfo
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override {
    return LoadTypeInfo(info_.typelib_resource, info_.clsid, info);
  }

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override {
    if (point == nullptr) return E_POINTER;
    *point = nullptr;
    if (!IsEqualIID(riid, *info_.events_iid)) return CONNECT_E_NOCONNECTION;
    *point = &point_;
    point_.AddRef();
    return S_OK;
  }

  // The sinks advised now, each with a reference the caller releases.
  std::vector<IDispatch*> Sinks() {
    std::vector<IDispatch*> sinks;
    for (const auto& [cookie, sink] : point_.sinks) {
      sink->AddRef();
      sinks.push_back(sink);
    }
    return sinks;
  }

 private:
  class EventPoint final : public IConnectionPoint {
   public:
    explicit EventPoint(KitControl& owner) : owner_(owner) {}
    ~EventPoint() {
      for (const auto& [cookie, sink] : sinks) sink->Release();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
      if (out == nullptr) return E_POINTER;
      *out = nullptr;
      if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IConnectionPoint)) return E_NOINTERFACE;
      *out = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
      if (iid == nullptr) return E_POINTER;
      *iid = *owner_.info_.events_iid;
      return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override {
      if (container == nullptr) return E_POINTER;
      *container = &owner_;
      owner_.AddRef();
      return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
      if (sink == nullptr || cookie == nullptr) return E_POINTER;
      *cookie = 0;
      void* dispatch = nullptr;
      if (FAILED(sink->QueryInterface(*owner_.info_.events_iid, &dispatch)) &&
          FAILED(sink->QueryInterface(IID_IDispatch, &dispatch))) {
        return CONNECT_E_CANNOTCONNECT;
      }
      *cookie = ++last_cookie_;
      sinks[*cookie] = static_cast<IDispatch*>(dispatch);
      return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
      const auto it = sinks.find(cookie);
      if (it == sinks.end()) return CONNECT_E_NOCONNECTION;
      IDispatch* sink = it->second;
      sinks.erase(it);
      sink->Release();
      return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

    std::map<DWORD, IDispatch*> sinks;

   private:
    KitControl& owner_;
    DWORD last_cookie_ = 0;
  };

  ~KitControl() {
    auto& publics = State().publics;
    std::erase(publics, this);
    --live_objects;
  }

  const ClassInfo& info_;
  std::atomic<ULONG> references_{1};
  EventPoint point_;
};

class Factory final : public IClassFactory {
 public:
  explicit Factory(const ClassInfo& info) : info_(info) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  // The factories live as long as the module.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    KitControl* object = new (std::nothrow) KitControl(info_);
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, out);
    object->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock ? ++server_locks : --server_locks;
    return S_OK;
  }

 private:
  const ClassInfo& info_;
};

Factory factories[] = {Factory(kClasses[0]), Factory(kClasses[1])};

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}

bool SetKey(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  const LONG status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return status == ERROR_SUCCESS;
}

SYSKIND ThisSysKind() { return sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32; }

HRESULT Unregister() {
  HRESULT result = S_OK;
  for (const ClassInfo& info : kClasses) {
    for (const std::wstring& key : {L"CLSID\\" + GuidText(info.clsid), std::wstring(info.progid)}) {
      const LONG status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
      if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) result = SELFREG_E_CLASS;
    }
    // The library's registration put its dispinterfaces under Interface;
    // Wine's UnRegisterTypeLib can leave the source interface's key behind.
    for (const IID* iid : {&info.dispatch_iid, info.events_iid}) {
      if (iid == nullptr) continue;
      const LONG status = RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"Interface\\" + GuidText(*iid)).c_str());
      if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) result = SELFREG_E_CLASS;
    }
    // A library that is not registered is no failure: unregistering twice
    // is as good as once.
    BSTR registered = nullptr;
    if (SUCCEEDED(QueryPathOfRegTypeLib(info.libid, 1, 0, LANG_NEUTRAL, &registered))) {
      SysFreeString(registered);
      if (FAILED(UnRegisterTypeLib(info.libid, 1, 0, LANG_NEUTRAL, ThisSysKind())) && result == S_OK) {
        result = SELFREG_E_TYPELIB;
      }
    }
  }
  return result;
}

HRESULT Register() {
  const std::wstring path = ModulePath();
  for (const ClassInfo& info : kClasses) {
    ITypeLib* lib = nullptr;
    if (FAILED(LoadTypeLibEx(TypeLibPath(info.typelib_resource).c_str(), REGKIND_REGISTER, &lib))) {
      return SELFREG_E_TYPELIB;
    }
    lib->Release();
    const std::wstring clsid = GuidText(info.clsid);
    const std::wstring key = L"CLSID\\" + clsid;
    const bool written = SetKey(key, nullptr, info.description) &&
                         SetKey(key + L"\\InprocServer32", nullptr, path) &&
                         SetKey(key + L"\\InprocServer32", L"ThreadingModel", L"Apartment") &&
                         SetKey(key + L"\\ProgID", nullptr, info.progid) &&
                         SetKey(key + L"\\TypeLib", nullptr, GuidText(info.libid)) &&
                         SetKey(key + L"\\Version", nullptr, L"1.0") &&
                         SetKey(info.progid, nullptr, info.description) &&
                         SetKey(std::wstring(info.progid) + L"\\CLSID", nullptr, clsid);
    if (!written) return SELFREG_E_CLASS;
  }
  return S_OK;
}

void Fail(const std::string& reason) { State().last_error = reason; }

std::int32_t NumberArgument(const std::string& text) {
  if (text.empty()) return 0;
  std::int32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) {
    throw std::invalid_argument("qviUpgrade needs a 32-bit whole number as its argument, not \"" + text + "\"");
  }
  return value;
}

// Fires `event` on every advised sink; the first failure is the outcome.
int Fire(Event event, const std::string& argument, rhost::EventOutcome& outcome) {
  ITypeInfo* events = nullptr;
  if (FAILED(LoadTypeInfo(1, DIID__DQviPublicEvents, &events))) throw std::runtime_error("the kit's type library does not load");
  std::wstring name(EventName(event).begin(), EventName(event).end());
  LPOLESTR names[] = {name.data()};
  DISPID id = DISPID_UNKNOWN;
  const HRESULT found = events->GetIDsOfNames(names, 1, &id);
  events->Release();
  if (FAILED(found)) throw std::runtime_error("the kit's event interface has no " + std::string(EventName(event)));

  VARIANT arg;
  VariantInit(&arg);
  DISPPARAMS params{&arg, nullptr, 0, 0};
  if (ArgumentOf(event) == EventArgument::kNumber) {
    V_VT(&arg) = VT_I4;
    V_I4(&arg) = NumberArgument(argument);
    params.cArgs = 1;
  } else if (ArgumentOf(event) == EventArgument::kText) {
    V_BSTR(&arg) = ToBstr(argument);
    V_VT(&arg) = VT_BSTR;
    params.cArgs = 1;
  }

  std::vector<IDispatch*> sinks;
  for (KitControl* control : State().publics) {
    for (IDispatch* sink : control->Sinks()) sinks.push_back(sink);
  }
  for (IDispatch* sink : sinks) {
    EXCEPINFO exception{};
    const HRESULT hr = sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &exception, nullptr);
    if (FAILED(hr)) {
      const Error error = SinkFailure(hr, exception);
      if (!outcome.failed) {
        outcome.failed = true;
        outcome.reason = std::to_string(error.number()) + ": " + error.description();
      }
    }
    sink->Release();
  }
  VariantClear(&arg);
  return static_cast<int>(sinks.size());
}

UINT CopyText(const std::string& text, char* buffer, UINT size) {
  if (buffer != nullptr && size > 0) {
    const std::size_t count = std::min<std::size_t>(text.size(), size - 1);
    text.copy(buffer, count);
    buffer[count] = '\0';
  }
  return static_cast<UINT>(text.size() + 1);
}

}  // namespace
}  // namespace qvi::hostkit

using namespace qvi::hostkit;

extern "C" {

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  for (std::size_t i = 0; i < std::size(kClasses); ++i) {
    if (IsEqualCLSID(clsid, kClasses[i].clsid)) return factories[i].QueryInterface(riid, out);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT WINAPI DllCanUnloadNow() { return live_objects == 0 && server_locks == 0 ? S_OK : S_FALSE; }

HRESULT WINAPI DllRegisterServer() {
  const HRESULT hr = Register();
  if (FAILED(hr)) Unregister();
  return hr;
}

HRESULT WINAPI DllUnregisterServer() { return Unregister(); }

HRESULT WINAPI QviKitLoad(const char* scenario) {
  try {
    if (scenario == nullptr) throw std::invalid_argument("no scenario named");
    const qvi::scenario::Scenario loaded = qvi::scenario::LoadScenario(scenario);
    KitState& state = State();
    state.host = std::make_unique<qvi::rhost::ReplacementHost>(loaded.host);
    state.outcomes.clear();
    return S_OK;
  } catch (const std::exception& error) {
    Fail(error.what());
    return E_INVALIDARG;
  }
}

HRESULT WINAPI QviKitRaise(const char* event, const char* argument, int* sinks) {
  try {
    if (event == nullptr || sinks == nullptr) throw std::invalid_argument("an event and a place for the sink count are needed");
    *sinks = 0;
    const std::string text = argument == nullptr ? "" : argument;
    const auto which = qvi::EventByName(event);
    if (!which) throw std::invalid_argument(std::string("no event is called ") + event);
    if (qvi::ArgumentOf(*which) == qvi::EventArgument::kNone && !text.empty()) {
      throw std::invalid_argument(std::string(event) + " takes no argument");
    }
    if (qvi::ArgumentOf(*which) == qvi::EventArgument::kNumber) NumberArgument(text);
    KitState& state = State();
    state.Host().BeginEvent(event);
    qvi::rhost::EventOutcome outcome{*which, text, false, ""};
    if (*which != qvi::Event::kCreation) *sinks = Fire(*which, text, outcome);
    state.outcomes.push_back(outcome);
    return S_OK;
  } catch (const std::exception& error) {
    Fail(error.what());
    return E_INVALIDARG;
  }
}

UINT WINAPI QviKitReport(char* buffer, UINT size) {
  try {
    KitState& state = State();
    qvi::scenario::RunResult run;
    run.events = state.outcomes;
    run.host_calls = state.Host().calls();
    run.host_state = state.Host().state();
    const nlohmann::ordered_json full = qvi::scenario::ReportJson(run);
    nlohmann::ordered_json part;
    for (const char* key : {"events", "host_calls", "host_state"}) part[key] = full[key];
    return CopyText(part.dump(), buffer, size);
  } catch (const std::exception& error) {
    Fail(error.what());
    return 0;  // no text at all, not even its NUL: the report failed
  }
}

UINT WINAPI QviKitLastError(char* buffer, UINT size) { return CopyText(State().last_error, buffer, size); }

}  // extern "C"
