// The test host kit as the snap-in's host seam and event sink meet it: its
// exports and class factories are called in this process, straight from the
// DLL, so nothing but the registration test touches the registry.
#include <windows.h>
#include <initguid.h>
#include <ocidl.h>
#include <olectl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "control/com/event_sink.h"
#include "host/call.h"
#include "host/com/dispatch_host_control.h"
#include "host_kit/dispatch_bridge.h"
#include "host_kit/host_kit.h"
#include "qvi_server.h"
#include "qvi_svr_ntnwsvc.h"
#include "runtime/com/scoped.h"
#include "testing/com_fake_kit/allocation_faults.h"
#include "testing/com_fake_kit/fake_kit.h"
#include "testing/temp_folder.h"

namespace qvi::hostkit {
namespace {

using com::ComPtr;
using host::Arg;
using json = nlohmann::json;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using EntryFn = HRESULT(WINAPI*)();

// The kit built beside this test, as Wine sees the build folder.
std::string KitPath() {
  std::string path = "Z:" QVI_HOST_KIT;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

const json kHost = {
    {"directories", {{"System", {"C:\\WINNT\\system32"}}}},
    {"platform_code", 1},
    {"platform_version", "4.0"},
    {"texts", {{"7014", "Caf\u00e9 \u20ac"}}},
    {"failures", {{{"dispid", 22}, {"occurrence", 3}, {"number", 440}, {"description", "Automation error"}},
                  {{"control", "QviNTNWSvc"}, {"dispid", 11}, {"number", -2147467259}, {"description", "Unspecified"}}}},
};

class KitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    get_class_object_ = Entry<GetClassObjectFn>("DllGetClassObject");
    ASSERT_NE(get_class_object_, nullptr);
  }
  void TearDown() override { CoUninitialize(); }

  template <class Fn>
  static Fn Entry(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("qviServer.ocx"), name)));
  }

  // Null when the kit cannot make one; no assertion, so that an allocation
  // failure may stop it.
  ComPtr<IDispatch> Create(const CLSID& clsid) {
    ComPtr<IClassFactory> factory;
    ComPtr<IDispatch> object;
    if (SUCCEEDED(get_class_object_(clsid, IID_IClassFactory, factory.ReleaseAndGetVoidAddressOf()))) {
      factory->CreateInstance(nullptr, IID_IDispatch, object.ReleaseAndGetVoidAddressOf());
    }
    return object;
  }

  json Report() { return json::parse(kit_.Report()); }

  // A fresh host configured as kHost says.
  void LoadHost() {
    const json doc = {{"name", "kit"}, {"host", kHost}, {"events", json::array({"creation"})}};
    std::ofstream(folder_.path() / "kit.json") << doc.dump();
    kit_.Load((folder_.path() / "kit.json").string());
  }

  testing::TempFolder folder_{"qvi-kit-"};
  KitClient kit_{KitPath()};
  GetClassObjectFn get_class_object_ = nullptr;
};

TEST_F(KitTest, TheSeamsCallsReachTheHostInOrderAndOnlyASuccessWritesItsVariables) {
  LoadHost();
  host::com::DispatchHostControl qvi(Create(CLSID_QviPublic));

  std::string path = "C:\\Q\x80";
  host::Call(qvi, 2, {"console", Arg::Ref(path), std::int16_t{0}});
  EXPECT_EQ(path, "C:\\Q\x80");  // a by-reference text the host leaves alone stays
  EXPECT_EQ(host::Call(qvi, 20, {std::int32_t{7014}}), host::Variant("Caf\xE9 \x80"));
  EXPECT_EQ(host::Call(qvi, 9, {"QVConsole", "D:\\Q", std::int32_t{1}}), host::Variant(std::int32_t{1}));
  std::int32_t version = 0;
  EXPECT_EQ(host::Call(qvi, 22, {Arg::Ref(version)}), host::Variant(std::int32_t{1}));
  EXPECT_EQ(version, 4 << 16);
  // The version does not fit a 16-bit variable: the call fails as a whole.
  std::int16_t narrow = 5;
  EXPECT_THROW(host::Call(qvi, 22, {Arg::Ref(narrow)}), Error);
  EXPECT_EQ(narrow, 5);
  // The third call of DISPID 22 is made to fail.
  version = 77;
  EXPECT_THROW(host::Call(qvi, 22, {Arg::Ref(version)}), Error);
  EXPECT_EQ(version, 77);

  const json calls = Report()["host_calls"];
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[0]["args"], json::parse(R"([{"value":"console","type":"String","by_ref":false},
      {"value":"C:\\Q\u20ac","type":"String","by_ref":true},{"value":0,"type":"Integer","by_ref":false}])"));
  // By-reference arguments are recorded as the call left them.
  EXPECT_EQ(calls[3]["args"], json::parse(R"([{"value":262144,"type":"Long","by_ref":true}])"));
  EXPECT_EQ(Report()["host_state"]["directories"]["QVConsole"], json::parse(R"(["", "D:\\Q"])"));
}

TEST_F(KitTest, HostErrorsReachTheCallerWithTheirNumbersFromTheControlsProgId) {
  LoadHost();
  const ComPtr<IDispatch> qvi = Create(CLSID_QviPublic);
  const ComPtr<IDispatch> svc = Create(CLSID_QviNTNWSvc);
  struct Case {
    const char* name;
    IDispatch* control;
    DISPID id;
    std::vector<testing::FakeArg> args;
    std::uint32_t scode;
    const wchar_t* description;
  };
  const Case cases[] = {
      {"unknown operation", qvi.Get(), 99, {}, 0x800A01B6u,
       L"Object doesn't support this property or method (member not found)"},
      {"text for a number", qvi.Get(), 20, {L"seven"}, 0x800A000Du, L"Type mismatch"},
      {"an HRESULT as the number", svc.Get(), 11, {SHORT{'C'}}, 0x80004005u, L"Unspecified"},
  };
  for (const Case& c : cases) {
    com::ScopedExcepInfo info;
    ASSERT_EQ(testing::InvokeWith(c.control, c.id, c.args, &info), DISP_E_EXCEPTION) << c.name;
    EXPECT_EQ(static_cast<std::uint32_t>(info.Get().scode), c.scode) << c.name;
    EXPECT_EQ(info.Get().wCode, 0) << c.name;
    EXPECT_STREQ(info.Get().bstrDescription, c.description) << c.name;
    EXPECT_STREQ(info.Get().bstrSource,
                 c.control == svc.Get() ? L"QVISVRNTNWSVCLibCtl.QviNTNWSvc" : L"QVISERVERLibCtl.QviPublic");
  }
  EXPECT_EQ(Report()["host_calls"][2]["failure"], "-2147467259: Unspecified");
  // A caller without an EXCEPINFO gets the scode itself.
  DISPPARAMS none{};
  EXPECT_EQ(qvi->Invoke(99, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            static_cast<HRESULT>(0x800A01B6u));
}

TEST_F(KitTest, CallsTheInterfaceCannotTakeAreRefusedBeforeTheHostHearsThem) {
  const ComPtr<IDispatch> qvi = Create(CLSID_QviPublic);
  kit_.Load("install-nt");
  const auto invoke = [&](DISPID id, WORD flags, REFIID riid, DISPPARAMS* params, UINT* bad_arg = nullptr) {
    com::ScopedVariant result;
    com::ScopedExcepInfo info;
    return qvi->Invoke(id, riid, 0, flags, params, result.ReleaseAndGetAddressOf(), info.ReleaseAndGetAddressOf(),
                       bad_arg);
  };
  com::DispatchArguments args(2);
  V_VT(&args[1]) = VT_R8;
  UINT bad_arg = 99;
  EXPECT_EQ(invoke(8, DISPATCH_METHOD, IID_NULL, args.params(), &bad_arg), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(bad_arg, 0u);  // the last argument sits first
  DISPPARAMS none{};
  EXPECT_EQ(invoke(13, DISPATCH_PROPERTYGET, IID_NULL, &none), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(invoke(13, DISPATCH_METHOD, IID_IDispatch, &none), DISP_E_UNKNOWNINTERFACE);
  DISPID name = 0;
  DISPPARAMS named{args.params()->rgvarg, &name, 2, 1};
  EXPECT_EQ(invoke(20, DISPATCH_METHOD, IID_NULL, &named), DISP_E_NONAMEDARGS);
  EXPECT_TRUE(Report()["host_calls"].empty());
}

TEST_F(KitTest, TypeInformationNamesTheOperationsOfEachControl) {
  const ComPtr<IDispatch> qvi = Create(CLSID_QviPublic);
  const ComPtr<IDispatch> svc = Create(CLSID_QviNTNWSvc);
  std::wstring name = L"GetServerVersion";
  LPOLESTR names[] = {name.data()};
  DISPID found = 0;
  ASSERT_EQ(svc->GetIDsOfNames(IID_NULL, names, 1, 0, &found), S_OK);
  EXPECT_EQ(found, 9);
  EXPECT_EQ(qvi->GetIDsOfNames(IID_NULL, names, 1, 0, &found), DISP_E_UNKNOWNNAME);
  name = L"GetPlatform";
  ASSERT_EQ(qvi->GetIDsOfNames(IID_NULL, names, 1, 0, &found), S_OK);
  EXPECT_EQ(found, 22);
}

// The snap-in's own event sink, connected as QVConsole connects it.
TEST_F(KitTest, TheSnapInsSinkHearsEachEventByNameAndItsFailureIsTheEventsOutcome) {
  kit_.Load("upgrade");
  const ComPtr<IDispatch> qvi = Create(CLSID_QviPublic);
  const ComPtr<IDispatch> owner = Create(CLSID_QviNTNWSvc);
  ComPtr<IConnectionPointContainer> none;
  EXPECT_EQ(owner.As(IID_IConnectionPointContainer, none), E_NOINTERFACE);
  std::vector<std::string> heard;
  com::EventConnection connection;
  ASSERT_EQ(connection.Connect(qvi.Get(), owner.Get(),
                               [&](Event event, const host::Variant& argument) {
                                 heard.push_back(std::string(EventName(event)) + " " + argument.ToString());
                                 if (event == Event::kPostPageNotification) throw Error(70, "Permission denied");
                               }),
            S_OK);
  EXPECT_EQ(kit_.Raise("creation", ""), 0);
  for (const char* event : {"qviSetup", "qviPostSetup", "qviUninstall"}) EXPECT_EQ(kit_.Raise(event, ""), 1);
  EXPECT_EQ(kit_.Raise("qviUpgrade", "-3"), 1);
  EXPECT_EQ(kit_.Raise("qviPostPageNotification", "qvigui.copy\xe9"), 1);  // code page 1252
  connection.Disconnect();
  EXPECT_EQ(kit_.Raise("qviSetup", ""), 0);
  EXPECT_THAT(heard, ElementsAre("qviSetup ", "qviPostSetup ", "qviUninstall ", "qviUpgrade -3",
                                 "qviPostPageNotification qvigui.copy\xe9"));
  const json events = Report()["events"];
  ASSERT_EQ(events.size(), 7u);
  EXPECT_EQ(events[4], json::parse(R"({"event":"qviUpgrade","argument":"-3","outcome":"completed"})"));
  EXPECT_EQ(events[5], json({{"event", "qviPostPageNotification"}, {"argument", "qvigui.copy\xc3\xa9"},
                             {"outcome", "failed"}, {"reason", "70: Permission denied"}}));
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

// Every allocation of this program and every BSTR of either side fails in
// turn, across a call that writes text by reference, one that answers text
// and one that fails with a description.
TEST_F(KitTest, OutOfMemoryAnywhereInAHostCallOverComLeavesNothingBehind) {
  LoadHost();
  const auto can_unload = Entry<EntryFn>("DllCanUnloadNow");
  const auto run = [&] {
    host::com::DispatchHostControl qvi(Create(CLSID_QviPublic));
    if (!qvi.control()) return;
    std::string directory = "D:\\Program Files\\Quorvex Console";
    host::Call(qvi, 9, {"QVConsole", Arg::Ref(directory), std::int32_t{1}});
    host::Call(qvi, 8, {"QVConsole", std::int32_t{1}});
    host::Call(qvi, 99, {"a text longer than the small size"});
  };
  EXPECT_THAT(testing::LeaksUnderAllocationFailures(run), IsEmpty());
  EXPECT_EQ(can_unload(), S_OK);
}

TEST(FireEventTest, EverySinkHearsTheEventTheFirstFailureIsItsOutcomeAndNothingIsKept) {
  const auto sinks = [] {
    const ComPtr<testing::FakeDispatch> failing = com::Make<testing::FakeDispatch>();
    failing->Answer(13, [](DISPPARAMS*, VARIANT*, EXCEPINFO* info) {
      info->scode = static_cast<SCODE>(0x800A0046);
      info->bstrDescription = SysAllocString(L"Permission denied, at some length");
      info->bstrSource = SysAllocString(L"QviConsole");
      return DISP_E_EXCEPTION;
    });
    return std::vector<ComPtr<testing::FakeDispatch>>{failing, com::Make<testing::FakeDispatch>()};
  };
  const auto fire = [](const std::vector<ComPtr<testing::FakeDispatch>>& fakes) {
    const std::vector<ComPtr<IDispatch>> listening(fakes.begin(), fakes.end());
    return FireEvent(listening, 13, host::Variant("qvigui.copy1, a longer name"));
  };
  const auto fakes = sinks();
  const std::optional<Error> failure = fire(fakes);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->number(), 70);
  EXPECT_EQ(failure->description(), "Permission denied, at some length");
  for (const auto& fake : fakes) {
    ASSERT_EQ(fake->calls().size(), 1u);
    EXPECT_EQ(fake->calls()[0].types, std::vector<VARTYPE>{VT_BSTR});
  }
  EXPECT_THAT(testing::LeaksUnderAllocationFailures([&] { fire(sinks()); }), IsEmpty());
}

// The keys registration adds, by existence.
std::vector<bool> RegisteredKeys() {
  std::vector<std::wstring> keys;
  const auto add = [&keys](const wchar_t* root, const GUID& guid) {
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    keys.push_back(root + std::wstring(text));
  };
  for (const GUID* clsid : {&CLSID_QviPublic, &CLSID_QviNTNWSvc}) add(L"CLSID\\", *clsid);
  for (const GUID* libid : {&LIBID_QVISERVERLibCtl, &LIBID_QVISVRNTNWSVCLibCtl}) add(L"TypeLib\\", *libid);
  for (const IID* iid : {&DIID__DQviPublic, &DIID__DQviPublicEvents, &DIID__DQviNTNWSvc}) add(L"Interface\\", *iid);
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

TEST_F(KitTest, RegistrationMakesBothClassesCreatableByProgIdAndUnregistrationTakesItAllBack) {
  const auto can_unload = Entry<EntryFn>("DllCanUnloadNow");
  // A run that died halfway may have left a registration behind.
  Entry<EntryFn>("DllUnregisterServer")();
  ASSERT_EQ(RegisteredKeys(), std::vector<bool>(9, false));
  ASSERT_EQ(Entry<EntryFn>("DllRegisterServer")(), S_OK);
  EXPECT_EQ(RegisteredKeys(), std::vector<bool>(9, true));
  EXPECT_EQ(KitClient::RegisteredPath(), KitPath());
  for (const char* progid : {kQviPublicProgId, kQviNTNWSvcProgId}) {
    const std::string text = progid;
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(std::wstring(text.begin(), text.end()).c_str(), &clsid), S_OK) << progid;
    ComPtr<IDispatch> object;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               object.ReleaseAndGetVoidAddressOf()),
              S_OK);
    EXPECT_EQ(can_unload(), S_FALSE);
  }
  EXPECT_EQ(can_unload(), S_OK);
  ComPtr<ITypeLib> lib;
  ASSERT_EQ(LoadRegTypeLib(LIBID_QVISVRNTNWSVCLibCtl, 1, 0, 0, lib.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(Entry<EntryFn>("DllUnregisterServer")(), S_OK);
  EXPECT_EQ(RegisteredKeys(), std::vector<bool>(9, false));
  EXPECT_EQ(Entry<EntryFn>("DllUnregisterServer")(), S_OK) << "unregistering twice is no error";
}

}  // namespace
}  // namespace qvi::hostkit
