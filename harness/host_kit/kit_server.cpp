// The kit's COM classes, its module-wide host and its exports.
#include <windows.h>
#include <initguid.h>
#include <ocidl.h>
#include <olectl.h>

#include <charconv>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "control/events.h"
#include "host_kit/dispatch_bridge.h"
#include "qvi_server.h"
#include "qvi_svr_ntnwsvc.h"
#include "replacement_host/replacement_host.h"
#include "runtime/com/class_factory.h"
#include "runtime/com/connection_point.h"
#include "runtime/com/scoped.h"
#include "scenario/report.h"
#include "scenario/run.h"
#include "scenario/scenario.h"

namespace qvi::hostkit {
namespace {

using com::ComPtr;
using com::InterfaceEntry;

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
                     reinterpret_cast<LPCWSTR>(&kClasses), &module);
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
  ComPtr<ITypeLib> lib;
  const HRESULT hr = LoadTypeLibEx(TypeLibPath(resource).c_str(), REGKIND_NONE, lib.ReleaseAndGetAddressOf());
  return FAILED(hr) ? hr : lib->GetTypeInfoOfGuid(guid, info);
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
class KitControl final : public com::Object<KitControl, IDispatch, IProvideClassInfo, IConnectionPointContainer> {
 public:
  explicit KitControl(const ClassInfo& info)
      : info_(info), point_(*this, info.events_iid ? *info.events_iid : IID_NULL) {
    if (info_.events_iid != nullptr) State().publics.push_back(this);
  }
  ~KitControl() { std::erase(State().publics, this); }

  static std::span<const InterfaceEntry> InterfaceTable() noexcept {
    static constexpr InterfaceEntry kTable[] = {Entry<IDispatch>(IID_IDispatch),
                                                Entry<IProvideClassInfo>(IID_IProvideClassInfo)};
    return kTable;
  }
  void* OtherInterface(REFIID riid) noexcept {
    if (IsEqualIID(riid, info_.dispatch_iid)) return static_cast<IDispatch*>(this);
    if (IsEqualIID(riid, IID_IConnectionPointContainer) && info_.events_iid != nullptr) {
      return static_cast<IConnectionPointContainer*>(this);
    }
    return nullptr;
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
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ComPtr<ITypeInfo> info;
    const HRESULT hr = LoadTypeInfo(info_.typelib_resource, info_.dispatch_iid, info.ReleaseAndGetAddressOf());
    return FAILED(hr) ? hr : DispGetIDsOfNames(info.Get(), names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* bad_arg) override {
    return com::CatchAll([&] {
      rhost::ReplacementHost& host = State().Host();
      host::HostControl& control =
          info_.control == host::Control::kQviPublic ? host.QviPublic() : host.QviNTNWSvc();
      return InvokeHost(control, id, riid, flags, params, result, exception, bad_arg, info_.progid);
    });
  }

  // IProvideClassInfo
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override {
    return LoadTypeInfo(info_.typelib_resource, info_.clsid, info);
  }

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override {
    return point_.Find(riid, point);
  }

  const com::ConnectionPoint& events() const { return point_; }

 private:
  const ClassInfo& info_;
  com::ConnectionPoint point_;
};

HRESULT CreateKitControl(const ClassInfo& info, REFIID riid, void** out) {
  return com::Make<KitControl>(info)->QueryInterface(riid, out);
}

const com::ClassEntry kFactories[] = {
    {&CLSID_QviPublic, [](REFIID riid, void** out) { return CreateKitControl(kClasses[0], riid, out); }},
    {&CLSID_QviNTNWSvc, [](REFIID riid, void** out) { return CreateKitControl(kClasses[1], riid, out); }},
};

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
    com::ScopedBstr registered;
    if (SUCCEEDED(QueryPathOfRegTypeLib(info.libid, 1, 0, LANG_NEUTRAL, registered.ReleaseAndGetAddressOf()))) {
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
    ComPtr<ITypeLib> lib;
    if (FAILED(LoadTypeLibEx(TypeLibPath(info.typelib_resource).c_str(), REGKIND_REGISTER,
                             lib.ReleaseAndGetAddressOf()))) {
      return SELFREG_E_TYPELIB;
    }
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

// Fires `event` on every sink advised on any QviPublic; the first failure is
// the outcome.
int Fire(Event event, const std::string& argument, rhost::EventOutcome& outcome) {
  ComPtr<ITypeInfo> events;
  if (FAILED(LoadTypeInfo(1, DIID__DQviPublicEvents, events.ReleaseAndGetAddressOf()))) {
    throw std::runtime_error("the kit's type library does not load");
  }
  std::wstring name(EventName(event).begin(), EventName(event).end());
  LPOLESTR names[] = {name.data()};
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(events->GetIDsOfNames(names, 1, &id))) {
    throw std::runtime_error("the kit's event interface has no " + std::string(EventName(event)));
  }
  std::optional<host::Variant> value;
  if (ArgumentOf(event) == EventArgument::kNumber) value = host::Variant(NumberArgument(argument));
  if (ArgumentOf(event) == EventArgument::kText) value = host::Variant(argument);

  std::vector<ComPtr<IDispatch>> sinks;
  for (KitControl* control : State().publics) {
    for (ComPtr<IDispatch>& sink : control->events().Sinks()) sinks.push_back(std::move(sink));
  }
  if (const std::optional<Error> failure = FireEvent(sinks, id, value); failure && !outcome.failed) {
    outcome.failed = true;
    outcome.reason = std::to_string(failure->number()) + ": " + failure->description();
  }
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
  return qvi::com::GetClassObject(kFactories, clsid, riid, out);
}

HRESULT WINAPI DllCanUnloadNow() { return qvi::com::Module::Idle() ? S_OK : S_FALSE; }

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
    state.host = std::make_unique<qvi::rhost::ReplacementHost>(qvi::scenario::HostConfigFor(loaded, loaded.machine.computer_name));
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
