// The test host kit as a COM client and a setup host's event source see it:
// its exports and class factories are called in this process, straight from
// the DLL, so nothing but the registration test touches the registry.
#include <windows.h>
#include <initguid.h>
#include <ocidl.h>
#include <olectl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host_kit/dispatch_bridge.h"
#include "host_kit/host_kit.h"
#include "qvi_server.h"
#include "qvi_svr_ntnwsvc.h"
#include "testing/temp_folder.h"

namespace qvi::hostkit {
namespace {

using json = nlohmann::json;
using ::testing::ElementsAre;

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using EntryFn = HRESULT(WINAPI*)();

// The kit built beside this test, as Wine sees the build folder.
std::string KitPath() {
  std::string path = "Z:" QVI_HOST_KIT;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

constexpr SCODE Facility(int number) { return static_cast<SCODE>(0x800A0000 | number); }

// A scenario file with the host configuration given.
class Scenario {
 public:
  explicit Scenario(const json& host) {
    const json doc = {{"name", "kit"}, {"host", host}, {"events", json::array({"creation"})}};
    std::ofstream(path()) << doc.dump();
  }
  std::string path() const { return (folder_.path() / "kit.json").string(); }

 private:
  testing::TempFolder folder_{"qvi-kit-"};
};

// A variable passed by value or by reference, as a caller's VARIANT.
struct Arg {
  Arg(VARTYPE type, long number = 0, std::wstring text = {}) : type(type), number(number), text(std::move(text)) {}
  VARTYPE type;
  long number;
  std::wstring text;
};

class Call {
 public:
  explicit Call(std::vector<Arg> args) : args_(std::move(args)), values_(args_.size()) {
    for (std::size_t i = 0; i < args_.size(); ++i) {
      VARIANT& v = values_[args_.size() - 1 - i];  // last argument first
      VariantInit(&v);
      const Arg& a = args_[i];
      bstrs_.push_back(SysAllocString(a.text.c_str()));
      shorts_.push_back(static_cast<SHORT>(a.number));
    }
    for (std::size_t i = 0; i < args_.size(); ++i) {
      VARIANT& v = values_[args_.size() - 1 - i];
      V_VT(&v) = args_[i].type;
      switch (args_[i].type) {
        case VT_I2: V_I2(&v) = shorts_[i]; break;
        case VT_I4: V_I4(&v) = args_[i].number; break;
        case VT_BSTR: V_BSTR(&v) = bstrs_[i]; break;
        case VT_BYREF | VT_I2: V_I2REF(&v) = &shorts_[i]; break;
        case VT_BYREF | VT_I4: V_I4REF(&v) = &args_[i].number; break;
        case VT_BYREF | VT_BSTR: V_BSTRREF(&v) = &bstrs_[i]; break;
        case VT_R8: V_R8(&v) = 1.5; break;
        default: break;
      }
    }
    params_ = {values_.data(), nullptr, static_cast<UINT>(values_.size()), 0};
    VariantInit(&result_);
  }
  ~Call() {
    for (BSTR b : bstrs_) SysFreeString(b);
    VariantClear(&result_);
    SysFreeString(exception_.bstrDescription);
    SysFreeString(exception_.bstrSource);
  }

  HRESULT On(IDispatch* target, DISPID id, WORD flags = DISPATCH_METHOD, REFIID riid = IID_NULL) {
    return target->Invoke(id, riid, 0, flags, &params_, &result_, &exception_, &bad_arg_);
  }

  DISPPARAMS& params() { return params_; }
  const VARIANT& result() const { return result_; }
  const EXCEPINFO& exception() const { return exception_; }
  UINT bad_arg() const { return bad_arg_; }
  // The caller's variable of argument `i` as the call left it.
  long number(std::size_t i) const { return args_[i].type == (VT_BYREF | VT_I2) ? shorts_[i] : args_[i].number; }
  std::wstring text(std::size_t i) const { return std::wstring(bstrs_[i], SysStringLen(bstrs_[i])); }

 private:
  std::vector<Arg> args_;
  std::vector<VARIANT> values_;
  std::vector<BSTR> bstrs_;
  std::vector<SHORT> shorts_;
  DISPPARAMS params_{};
  VARIANT result_;
  EXCEPINFO exception_{};
  UINT bad_arg_ = 99;
};

class KitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    get_class_object_ = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("qviServer.ocx"), "DllGetClassObject")));
    ASSERT_NE(get_class_object_, nullptr);
  }
  void TearDown() override {
    for (IUnknown* object : objects_) object->Release();
    CoUninitialize();
  }

  IDispatch* Create(const CLSID& clsid) {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(get_class_object_(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    if (factory == nullptr) return nullptr;
    IDispatch* object = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object)), S_OK);
    factory->Release();
    if (object != nullptr) objects_.push_back(object);
    return object;
  }

  json Report() { return json::parse(kit_.Report()); }

  KitClient kit_{KitPath()};
  GetClassObjectFn get_class_object_ = nullptr;
  std::vector<IUnknown*> objects_;
};

const json kHost = {
    {"directories", {{"System", {"C:\\WINNT\\system32"}}}},
    {"platform_code", 1},
    {"platform_version", "4.0"},
    {"texts", {{"7014", "Caf\u00e9 \u20ac"}}},
    {"failures", {{{"dispid", 22}, {"occurrence", 3}, {"number", 440}, {"description", "Automation error"}},
                  {{"control", "QviNTNWSvc"}, {"dispid", 11}, {"number", -2147467259}, {"description", "Unspecified"}}}},
};

TEST_F(KitTest, ArgumentsReachTheHostInCallOrderAndResultsComeBackTyped) {
  const Scenario scenario(kHost);
  kit_.Load(scenario.path());
  IDispatch* qvi = Create(CLSID_QviPublic);

  Call bind({{VT_BSTR, 0, L"console"}, {VT_BYREF | VT_BSTR, 0, L"C:\\Q\u20ac"}, {VT_I2, 0}});
  ASSERT_EQ(bind.On(qvi, 2), S_OK);
  EXPECT_EQ(V_VT(&bind.result()), VT_EMPTY);
  EXPECT_EQ(bind.text(1), L"C:\\Q\u20ac");  // a by-ref string the host leaves alone stays

  Call text({Arg(VT_BYREF | VT_I4, 7014)});
  ASSERT_EQ(text.On(qvi, 20), S_OK);
  ASSERT_EQ(V_VT(&text.result()), VT_BSTR);
  EXPECT_EQ(std::wstring(V_BSTR(&text.result())), L"Caf\u00e9 \u20ac");

  Call directory({{VT_BYREF | VT_BSTR, 0, L"system"}, {VT_BYREF | VT_I2, 0}});
  ASSERT_EQ(directory.On(qvi, 8), S_OK);
  EXPECT_EQ(std::wstring(V_BSTR(&directory.result())), L"C:\\WINNT\\system32");

  Call store({{VT_BSTR, 0, L"QVConsole"}, {VT_BSTR, 0, L"D:\\Q"}, {VT_I4, 1}});
  ASSERT_EQ(store.On(qvi, 9), S_OK);
  ASSERT_EQ(V_VT(&store.result()), VT_I4);
  EXPECT_EQ(V_I4(&store.result()), 1);

  const json calls = Report()["host_calls"];
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0]["args"], json::parse(R"([{"value":"console","type":"String","by_ref":false},
      {"value":"C:\\Q\u20ac","type":"String","by_ref":true},{"value":0,"type":"Integer","by_ref":false}])"));
  EXPECT_EQ(calls[1]["args"], json::parse(R"([{"value":7014,"type":"Long","by_ref":true}])"));
  EXPECT_EQ(calls[3]["args"][2], json::parse(R"({"value":1,"type":"Long","by_ref":false})"));
  EXPECT_EQ(Report()["host_state"]["directories"]["QVConsole"], json::parse(R"(["", "D:\\Q"])"));
}

TEST_F(KitTest, ByReferenceVariablesAreWrittenOnlyWhenTheCallSucceeds) {
  const Scenario scenario(kHost);
  kit_.Load(scenario.path());
  IDispatch* qvi = Create(CLSID_QviPublic);

  Call first({Arg(VT_BYREF | VT_I4, 0)});
  ASSERT_EQ(first.On(qvi, 22), S_OK);
  EXPECT_EQ(first.number(0), 4 << 16);
  EXPECT_EQ(V_VT(&first.result()), VT_I4);
  EXPECT_EQ(V_I4(&first.result()), 1);

  // The version does not fit a 16-bit variable: the call fails as a whole.
  Call narrow({Arg(VT_BYREF | VT_I2, 5)});
  EXPECT_EQ(narrow.On(qvi, 22), DISP_E_EXCEPTION);
  EXPECT_EQ(narrow.exception().scode, Facility(6));
  EXPECT_EQ(narrow.number(0), 5);

  // The third call of DISPID 22 is made to fail.
  Call failing({Arg(VT_BYREF | VT_I4, 77)});
  EXPECT_EQ(failing.On(qvi, 22), DISP_E_EXCEPTION);
  EXPECT_EQ(failing.number(0), 77);
  EXPECT_EQ(V_VT(&failing.result()), VT_EMPTY);
}

struct ExceptionCase {
  const char* name;
  bool ntnwsvc;
  DISPID id;
  std::vector<Arg> args;
  SCODE scode;
  const wchar_t* description;
};

TEST_F(KitTest, HostErrorsBecomeExceptionsWithTheirNumbers) {
  const Scenario scenario(kHost);
  kit_.Load(scenario.path());
  IDispatch* qvi = Create(CLSID_QviPublic);
  IDispatch* svc = Create(CLSID_QviNTNWSvc);
  const std::vector<ExceptionCase> cases = {
      {"unknown operation", false, 99, {}, Facility(438),
       L"Object doesn't support this property or method (member not found)"},
      {"too few arguments", false, 8, {{VT_BSTR, 0, L"System"}}, Facility(450),
       L"Wrong number of arguments or invalid property assignment"},
      {"negative index", false, 9, {{VT_BSTR, 0, L"K"}, {VT_BSTR, 0, L"D"}, {VT_I4, -1}}, Facility(9),
       L"Subscript out of range"},
      {"text for a number", false, 20, {{VT_BSTR, 0, L"seven"}}, Facility(13), L"Type mismatch"},
      {"an HRESULT as the number", true, 11, {{VT_I2, 'C'}}, E_FAIL, L"Unspecified"},
  };
  for (const ExceptionCase& c : cases) {
    SCOPED_TRACE(c.name);
    Call call(c.args);
    ASSERT_EQ(call.On(c.ntnwsvc ? svc : qvi, c.id), DISP_E_EXCEPTION);
    EXPECT_EQ(call.exception().scode, c.scode);
    EXPECT_EQ(call.exception().wCode, 0);
    EXPECT_EQ(std::wstring(call.exception().bstrDescription), c.description);
    EXPECT_EQ(std::wstring(call.exception().bstrSource),
              c.ntnwsvc ? L"QVISVRNTNWSVCLibCtl.QviNTNWSvc" : L"QVISERVERLibCtl.QviPublic");
  }
  const json calls = Report()["host_calls"];
  ASSERT_EQ(calls.size(), cases.size());
  EXPECT_EQ(calls[4]["control"], "QviNTNWSvc");
  EXPECT_EQ(calls[4]["failure"], "-2147467259: Unspecified");
}

TEST_F(KitTest, CallsTheInterfaceCannotTakeAreRefusedBeforeTheHostHearsThem) {
  IDispatch* qvi = Create(CLSID_QviPublic);
  kit_.Load("install-nt");

  Call wrong_type({{VT_BSTR, 0, L"x"}, {VT_R8}});
  EXPECT_EQ(wrong_type.On(qvi, 8), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(wrong_type.bad_arg(), 0u);  // the last argument sits first
  Call property({});
  EXPECT_EQ(property.On(qvi, 13, DISPATCH_PROPERTYGET), DISP_E_MEMBERNOTFOUND);
  Call other_iid({});
  EXPECT_EQ(other_iid.On(qvi, 13, DISPATCH_METHOD, IID_IDispatch), DISP_E_UNKNOWNINTERFACE);
  Call named({Arg(VT_I4, 7010)});
  DISPID name = 0;
  named.params().rgdispidNamedArgs = &name;
  named.params().cNamedArgs = 1;
  EXPECT_EQ(named.On(qvi, 20), DISP_E_NONAMEDARGS);
  EXPECT_TRUE(Report()["host_calls"].empty());
}

TEST_F(KitTest, TypeInformationNamesTheOperations) {
  IDispatch* qvi = Create(CLSID_QviPublic);
  IDispatch* svc = Create(CLSID_QviNTNWSvc);
  UINT count = 0;
  ASSERT_EQ(qvi->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ITypeInfo* info = nullptr;
  ASSERT_EQ(qvi->GetTypeInfo(0, 0, &info), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, DIID__DQviPublic));
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  info->ReleaseTypeAttr(attr);
  info->Release();

  const std::vector<std::pair<std::wstring, DISPID>> names = {
      {L"SetDestinationDir", 2}, {L"GetShellFolder", 4}, {L"SetSettingsFile", 14},
      {L"GetPlatform", 22},      {L"DirectoryOperation", 28}};
  for (const auto& [name, id] : names) {
    std::wstring text = name;
    LPOLESTR list[] = {text.data()};
    DISPID found = 0;
    ASSERT_EQ(qvi->GetIDsOfNames(IID_NULL, list, 1, 0, &found), S_OK);
    EXPECT_EQ(found, id);
  }
  std::wstring server = L"GetServerVersion";
  std::wstring missing = L"GetServerVersion";
  LPOLESTR server_name[] = {server.data()};
  LPOLESTR missing_name[] = {missing.data()};
  DISPID found = 0;
  ASSERT_EQ(svc->GetIDsOfNames(IID_NULL, server_name, 1, 0, &found), S_OK);
  EXPECT_EQ(found, 9);
  EXPECT_EQ(qvi->GetIDsOfNames(IID_NULL, missing_name, 1, 0, &found), DISP_E_UNKNOWNNAME);
}

TEST_F(KitTest, ControlsOfOneProcessShareOneHost) {
  kit_.Load("install-nt");
  IDispatch* on_console = Create(CLSID_QviPublic);
  IDispatch* on_form = Create(CLSID_QviPublic);
  IDispatch* services = Create(CLSID_QviNTNWSvc);
  kit_.Raise("creation", "");

  Call store({{VT_BSTR, 0, L"QVConsole"}, {VT_BSTR, 0, L"D:\\Console"}, {VT_I4, 0}});
  ASSERT_EQ(store.On(on_console, 9), S_OK);
  kit_.Raise("qviSetup", "");  // no sink: heard by nobody, still begins the event
  Call read({{VT_BSTR, 0, L"qvconsole"}, {VT_I4, 0}});
  ASSERT_EQ(read.On(on_form, 8), S_OK);
  EXPECT_EQ(std::wstring(V_BSTR(&read.result())), L"D:\\Console");
  Call unc({{VT_I4, 0}, {VT_BSTR, 0, L""}});
  ASSERT_EQ(unc.On(services, 10), S_OK);

  const json calls = Report()["host_calls"];
  ASSERT_EQ(calls.size(), 3u);
  const std::vector<std::string> seen = {calls[0]["event"].get<std::string>() + " " + calls[0]["control"].get<std::string>(),
                                         calls[1]["event"].get<std::string>() + " " + calls[1]["control"].get<std::string>(),
                                         calls[2]["event"].get<std::string>() + " " + calls[2]["control"].get<std::string>()};
  EXPECT_THAT(seen, ElementsAre("creation QviPublic", "qviSetup QviPublic", "qviSetup QviNTNWSvc"));
  EXPECT_EQ(calls[2]["result"], "\\\\SRV1\\");
}

// An event sink as a control writes one: it knows the events by name only,
// and learns their DISPIDs from the source's type information.
class Sink final : public IDispatch {
 public:
  explicit Sink(IUnknown* source) {
    IProvideClassInfo* provider = nullptr;
    EXPECT_EQ(source->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&provider)), S_OK);
    ITypeInfo* coclass = nullptr;
    EXPECT_EQ(provider->GetClassInfo(&coclass), S_OK);
    provider->Release();
    TYPEATTR* attr = nullptr;
    coclass->GetTypeAttr(&attr);
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    for (UINT i = 0; i < attr->cImplTypes; ++i) {
      INT flags = 0;
      coclass->GetImplTypeFlags(i, &flags);
      if (flags != (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) continue;
      HREFTYPE ref = 0;
      coclass->GetRefTypeOfImplType(i, &ref);
      coclass->GetRefTypeInfo(ref, &events_);
    }
    coclass->ReleaseTypeAttr(attr);
    coclass->Release();
    EXPECT_NE(events_, nullptr) << "no default source interface";
  }
  ~Sink() {
    if (events_ != nullptr) events_->Release();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    *out = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) &&
        !IsEqualIID(riid, DIID__DQviPublicEvents)) {
      return E_NOINTERFACE;
    }
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }  // lives on the test's stack
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO* exception, UINT*) override {
    BSTR name = nullptr;
    UINT count = 0;
    if (events_ == nullptr || FAILED(events_->GetNames(id, &name, 1, &count)) || count != 1) return DISP_E_MEMBERNOTFOUND;
    std::string heard = Narrow(name);
    SysFreeString(name);
    EXPECT_EQ(flags, DISPATCH_METHOD);
    EXPECT_EQ(params->cNamedArgs, 0u);
    for (UINT i = 0; i < params->cArgs; ++i) {
      const VARIANT& v = params->rgvarg[params->cArgs - 1 - i];
      if (V_VT(&v) == VT_I4) heard += " I4 " + std::to_string(V_I4(&v));
      if (V_VT(&v) == VT_BSTR) heard += " BSTR " + Narrow(V_BSTR(&v));
    }
    calls.push_back(heard);
    if (fail_with == S_OK || heard.rfind("qviPostPageNotification", 0) != 0) return S_OK;
    *exception = EXCEPINFO{};
    exception->scode = fail_with;
    exception->bstrDescription = SysAllocString(L"Permission denied");
    return DISP_E_EXCEPTION;
  }

  std::vector<std::string> calls;
  SCODE fail_with = S_OK;
  ULONG references = 0;

 private:
  ITypeInfo* events_ = nullptr;
};

class Connection {
 public:
  Connection(IDispatch* source, IUnknown* sink) {
    IConnectionPointContainer* container = nullptr;
    EXPECT_EQ(source->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)), S_OK);
    EXPECT_EQ(container->FindConnectionPoint(DIID__DQviPublicEvents, &point_), S_OK);
    container->Release();
    EXPECT_EQ(point_->Advise(sink, &cookie_), S_OK);
  }
  ~Connection() { point_->Release(); }
  HRESULT Unadvise() { return point_->Unadvise(cookie_); }

 private:
  IConnectionPoint* point_ = nullptr;
  DWORD cookie_ = 0;
};

TEST_F(KitTest, EventsReachAdvisedSinksByTheirNamesInTheTypeInformation) {
  kit_.Load("upgrade");
  IDispatch* qvi = Create(CLSID_QviPublic);
  Sink sink(qvi);
  {
    Connection connection(qvi, &sink);
    EXPECT_EQ(kit_.Raise("creation", ""), 0);
    EXPECT_EQ(kit_.Raise("qviSetup", ""), 1);
    EXPECT_EQ(kit_.Raise("qviUpgrade", "-3"), 1);
    EXPECT_EQ(kit_.Raise("qviPostSetup", ""), 1);
    EXPECT_EQ(kit_.Raise("qviUninstall", ""), 1);
    EXPECT_EQ(kit_.Raise("qviPostPageNotification", "qvigui.copy\xe9"), 1);  // code page 1252
    EXPECT_EQ(connection.Unadvise(), S_OK);
    EXPECT_EQ(connection.Unadvise(), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(kit_.Raise("qviSetup", ""), 0);
  }
  EXPECT_EQ(sink.references, 0u);
  EXPECT_THAT(sink.calls, ElementsAre("qviSetup", "qviUpgrade I4 -3", "qviPostSetup", "qviUninstall",
                                      "qviPostPageNotification BSTR qvigui.copy\xe9"));
  const json events = Report()["events"];
  ASSERT_EQ(events.size(), 7u);
  EXPECT_EQ(events[2], json::parse(R"({"event":"qviUpgrade","argument":"-3","outcome":"completed"})"));
}

TEST_F(KitTest, ASinksFailureIsTheEventsOutcome) {
  kit_.Load("uninstall");
  IDispatch* qvi = Create(CLSID_QviPublic);
  Sink sink(qvi);
  Connection connection(qvi, &sink);
  for (const auto& [scode, reason] : std::vector<std::pair<SCODE, std::string>>{
           {Facility(70), "70: Permission denied"}, {E_ACCESSDENIED, "-2147024891: Permission denied"}}) {
    sink.fail_with = scode;
    kit_.Raise("qviPostPageNotification", "qvigui.copy1");
    EXPECT_EQ(Report()["events"].back(),
              json({{"event", "qviPostPageNotification"}, {"argument", "qvigui.copy1"}, {"outcome", "failed"},
                    {"reason", reason}}));
  }
  connection.Unadvise();
}

TEST_F(KitTest, ConnectionPointsRefuseWhatTheyDoNotServe) {
  IDispatch* qvi = Create(CLSID_QviPublic);
  IDispatch* svc = Create(CLSID_QviNTNWSvc);
  IConnectionPointContainer* container = nullptr;
  EXPECT_EQ(svc->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)), E_NOINTERFACE);
  ASSERT_EQ(qvi->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)), S_OK);
  IConnectionPoint* point = nullptr;
  EXPECT_EQ(container->FindConnectionPoint(DIID__DQviPublic, &point), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(container->FindConnectionPoint(DIID__DQviPublicEvents, &point), S_OK);
  IID iid{};
  EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
  EXPECT_TRUE(IsEqualIID(iid, DIID__DQviPublicEvents));
  DWORD cookie = 0;
  EXPECT_EQ(point->Advise(svc, &cookie), S_OK);  // any IDispatch may listen
  EXPECT_EQ(point->Unadvise(cookie + 1), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  point->Release();
  container->Release();
}

TEST_F(KitTest, BadRequestsToTheDriverFailWithTheirReason) {
  EXPECT_THROW(
      {
        try {
          kit_.Load("no-such-scenario");
        } catch (const KitError& error) {
          EXPECT_THAT(error.what(), ::testing::HasSubstr("no-such-scenario"));
          throw;
        }
      },
      KitError);
  kit_.Load("install-nt");
  EXPECT_THROW(kit_.Raise("qviReboot", ""), KitError);
  EXPECT_THROW(kit_.Raise("qviSetup", "1"), KitError);
  EXPECT_THROW(kit_.Raise("qviUpgrade", "one"), KitError);
  EXPECT_TRUE(Report()["events"].empty());
}

TEST_F(KitTest, FactoriesServeTheirTwoClassesAndCountLiveObjects) {
  const HMODULE kit = GetModuleHandleA("qviServer.ocx");
  const auto can_unload = reinterpret_cast<EntryFn>(reinterpret_cast<void*>(GetProcAddress(kit, "DllCanUnloadNow")));
  IClassFactory* factory = nullptr;
  EXPECT_EQ(get_class_object_(CLSID_QviPublic, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  EXPECT_EQ(get_class_object_(IID_IDispatch, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory, nullptr);
  ASSERT_EQ(get_class_object_(CLSID_QviNTNWSvc, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  IUnknown* object = nullptr;
  EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory), IID_IUnknown,
                                    reinterpret_cast<void**>(&object)),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(can_unload(), S_OK);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
  EXPECT_EQ(can_unload(), S_FALSE);
  object->Release();
  EXPECT_EQ(can_unload(), S_OK);
  factory->LockServer(TRUE);
  EXPECT_EQ(can_unload(), S_FALSE);
  factory->LockServer(FALSE);
  EXPECT_EQ(can_unload(), S_OK);
  factory->Release();
}

// The keys registration adds, by existence.
std::vector<bool> RegisteredKeys() {
  std::vector<std::wstring> keys;
  for (const GUID* clsid : {&CLSID_QviPublic, &CLSID_QviNTNWSvc}) {
    wchar_t text[40];
    StringFromGUID2(*clsid, text, 40);
    keys.push_back(L"CLSID\\" + std::wstring(text));
  }
  for (const GUID* libid : {&LIBID_QVISERVERLibCtl, &LIBID_QVISVRNTNWSVCLibCtl}) {
    wchar_t text[40];
    StringFromGUID2(*libid, text, 40);
    keys.push_back(L"TypeLib\\" + std::wstring(text));
  }
  for (const IID* iid : {&DIID__DQviPublic, &DIID__DQviPublicEvents, &DIID__DQviNTNWSvc}) {
    wchar_t text[40];
    StringFromGUID2(*iid, text, 40);
    keys.push_back(L"Interface\\" + std::wstring(text));
  }
  keys.push_back(L"QVISERVERLibCtl.QviPublic");
  keys.push_back(L"QVISVRNTNWSVCLibCtl.QviNTNWSvc");
  std::vector<bool> present;
  for (const std::wstring& key : keys) {
    HKEY handle = nullptr;
    present.push_back(RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) == ERROR_SUCCESS);
    if (handle != nullptr) RegCloseKey(handle);
  }
  return present;
}

TEST_F(KitTest, RegistrationMakesTheClassesCreatableByProgIdAndUnregistrationTakesItAllBack) {
  const HMODULE kit = GetModuleHandleA("qviServer.ocx");
  const auto entry = [&](const char* name) {
    return reinterpret_cast<EntryFn>(reinterpret_cast<void*>(GetProcAddress(kit, name)));
  };
  // A run that died halfway may have left a registration behind.
  entry("DllUnregisterServer")();
  ASSERT_EQ(RegisteredKeys(), std::vector<bool>(9, false));
  ASSERT_EQ(entry("DllRegisterServer")(), S_OK);
  EXPECT_EQ(RegisteredKeys(), std::vector<bool>(9, true));
  EXPECT_EQ(KitClient::RegisteredPath(), KitPath());
  for (const char* progid : {kQviPublicProgId, kQviNTNWSvcProgId}) {
    const std::string text = progid;
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(std::wstring(text.begin(), text.end()).c_str(), &clsid), S_OK) << progid;
    IDispatch* object = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&object)),
              S_OK);
    object->Release();
  }
  ITypeLib* lib = nullptr;
  ASSERT_EQ(LoadRegTypeLib(LIBID_QVISVRNTNWSVCLibCtl, 1, 0, 0, &lib), S_OK);
  lib->Release();
  EXPECT_EQ(entry("DllUnregisterServer")(), S_OK);
  EXPECT_EQ(RegisteredKeys(), std::vector<bool>(9, false));
  EXPECT_EQ(entry("DllUnregisterServer")(), S_OK) << "unregistering twice is no error";
}

}  // namespace
}  // namespace qvi::hostkit
