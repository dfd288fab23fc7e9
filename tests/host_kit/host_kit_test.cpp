// The test host kit as the snap-in's host seam calls it and as its events
// reach their sinks: its exports and class factories are called in this
// process, straight from the DLL, so nothing but the registration test
// touches the registry.
#include <windows.h>
#include <initguid.h>
#include <ocidl.h>
#include <olectl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/call.h"
#include "host/com/dispatch_host_control.h"
#include "host_kit/dispatch_bridge.h"
#include "host_kit/host_kit.h"
#include "qvi_server.h"
#include "qvi_svr_ntnwsvc.h"
#include "runtime/com/scoped.h"
#include "testing/com_fake_kit/allocation_faults.h"
#include "testing/com_fake_kit/fake_kit.h"
#include "testing/error_of.h"
#include "testing/temp_folder.h"

namespace qvi::hostkit {
namespace {

using com::ComPtr;
using host::Arg;
using json = nlohmann::json;
using ::testing::IsEmpty;

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using EntryFn = HRESULT(WINAPI*)();

// The kit built beside this test, as Wine sees the build folder.
std::string KitPath() {
  std::string path = "Z:" QVI_HOST_KIT;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

const json kHost = {{"failures", {{{"control", "QviNTNWSvc"}, {"dispid", 11}, {"number", -2147467259},
                                    {"description", "Unspecified"}}}}};

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

// What the kit's side of a call alone decides: a 16-bit argument reaches the
// host as one, and a by-reference variable takes the host's answer only if
// the answer fits it.
TEST_F(KitTest, ArgumentsKeepTheirWidthAndAVariableTakesOnlyAnAnswerThatFits) {
  LoadHost();
  host::com::DispatchHostControl qvi(Create(CLSID_QviPublic));
  host::Call(qvi, 20, {std::int16_t{7014}});
  std::int32_t version = 0;
  host::Call(qvi, 22, {Arg::Ref(version)});
  EXPECT_EQ(version, 4 << 16);
  std::int16_t narrow = 5;
  EXPECT_THROW(host::Call(qvi, 22, {Arg::Ref(narrow)}), Error);
  EXPECT_EQ(narrow, 5);
  EXPECT_EQ(Report()["host_calls"][0]["args"][0]["type"], "Integer");
}

// The scode and the description of a host error are the toolkit's; the
// source is the kit's own, the ProgID of the control called.
TEST_F(KitTest, HostErrorsComeFromTheControlsProgIdOrAsTheScodeWithoutAnExcepinfo) {
  LoadHost();
  const ComPtr<IDispatch> qvi = Create(CLSID_QviPublic);
  const ComPtr<IDispatch> svc = Create(CLSID_QviNTNWSvc);
  for (const auto& [control, id, source] : {std::tuple{qvi.Get(), 99, L"QVISERVERLibCtl.QviPublic"},
                                            std::tuple{svc.Get(), 11, L"QVISVRNTNWSVCLibCtl.QviNTNWSvc"}}) {
    com::ScopedExcepInfo info;
    ASSERT_EQ(testing::InvokeWith(control, id, {SHORT{'C'}}, &info), DISP_E_EXCEPTION) << id;
    EXPECT_STREQ(info.Get().bstrSource, source);
  }
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

TEST_F(KitTest, TypeInformationNamesTheOperationsOfEachControlAndOnlyQviPublicHasEvents) {
  const ComPtr<IDispatch> qvi = Create(CLSID_QviPublic);
  const ComPtr<IDispatch> svc = Create(CLSID_QviNTNWSvc);
  ComPtr<IConnectionPointContainer> events;
  EXPECT_EQ(svc.As(IID_IConnectionPointContainer, events), E_NOINTERFACE);
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

TEST_F(KitTest, BadRequestsToTheDriverFailWithTheirReasonAndAGoodOneCountsTheSinksReached) {
  EXPECT_THAT(testing::ErrorOf<KitError>([&] { kit_.Load("no-such-scenario"); }),
              ::testing::HasSubstr("no-such-scenario"));
  kit_.Load("install-nt");
  EXPECT_THROW(kit_.Raise("qviReboot", ""), KitError);
  EXPECT_THROW(kit_.Raise("qviSetup", "1"), KitError);
  EXPECT_THROW(kit_.Raise("qviUpgrade", "one"), KitError);
  EXPECT_TRUE(Report()["events"].empty());
  EXPECT_EQ(kit_.Raise("qviSetup", ""), 0);  // no QviPublic, so no sink
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
  EXPECT_EQ(std::tuple(failure->number(), failure->description()), std::tuple(70, "Permission denied, at some length"));
  for (const auto& fake : fakes) {
    ASSERT_EQ(fake->calls().size(), 1u);
    EXPECT_EQ(fake->calls()[0].types, std::vector<VARTYPE>{VT_BSTR});
  }
  EXPECT_THAT(testing::LeaksUnderAllocationFailures([&] { fire(sinks()); }), IsEmpty());
}

// The keys registration adds, by existence.
std::vector<bool> RegisteredKeys() {
  const auto key = [](const wchar_t* root, const GUID& guid) {
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return root + std::wstring(text);
  };
  std::vector<bool> present;
  for (const std::wstring& name :
       {key(L"CLSID\\", CLSID_QviPublic), key(L"CLSID\\", CLSID_QviNTNWSvc), key(L"TypeLib\\", LIBID_QVISERVERLibCtl),
        key(L"TypeLib\\", LIBID_QVISVRNTNWSVCLibCtl), key(L"Interface\\", DIID__DQviPublic),
        key(L"Interface\\", DIID__DQviPublicEvents), key(L"Interface\\", DIID__DQviNTNWSvc),
        std::wstring(L"QVISERVERLibCtl.QviPublic"), std::wstring(L"QVISVRNTNWSVCLibCtl.QviNTNWSvc")}) {
    HKEY handle = nullptr;
    present.push_back(RegOpenKeyExW(HKEY_CLASSES_ROOT, name.c_str(), 0, KEY_READ, &handle) == ERROR_SUCCESS);
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
  for (const wchar_t* progid : {L"QVISERVERLibCtl.QviPublic", L"QVISVRNTNWSVCLibCtl.QviNTNWSvc"}) {
    CLSID clsid{};
    ComPtr<IDispatch> object;
    ASSERT_EQ(CLSIDFromProgID(progid, &clsid), S_OK) << progid;
    ASSERT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.ReleaseAndGetVoidAddressOf()),
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
