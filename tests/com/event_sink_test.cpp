#include "control/com/event_sink.h"

// GCC 12 sees the std::variant inside host::Variant as maybe uninitialised
// when a case table is built from braced lists; it is not.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "runtime/errors.h"
#include "testing/com_fake_kit/fake_kit.h"

namespace qvi::com {
namespace {

using namespace qvi::testing;

struct Heard {
  Event event;
  host::Variant argument;
};

class EventSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ITypeInfo* events = FakeEventsInfo();
    ASSERT_NE(events, nullptr) << "the test program carries no FakeKit type library";
    ASSERT_EQ(EventSink::Create(events, kFakeEventsIid, [this](Event e, const host::Variant& a) { Handle(e, a); },
                                &sink_),
              S_OK);
    events->Release();
  }
  void TearDown() override { sink_->Release(); }

  void Handle(Event event, const host::Variant& argument) {
    heard_.push_back({event, argument});
    if (failure_) throw *failure_;
  }

  HRESULT Fire(DISPID id, std::vector<VARIANT> args, EXCEPINFO* exception = nullptr) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    EXCEPINFO ignored{};
    UINT arg_error = 99;
    const HRESULT hr = sink_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                                     exception ? exception : &ignored, &arg_error);
    for (VARIANT& v : args) VariantClear(&v);
    last_arg_error_ = arg_error;
    return hr;
  }

  EventSink* sink_ = nullptr;
  std::vector<Heard> heard_;
  std::optional<Error> failure_;
  UINT last_arg_error_ = 0;
};

TEST(DefaultSourceInterfaceTest, IsTheCoclassesDefaultSourceNotItsDefaultInterface) {
  ITypeInfo* coclass = FakeCoclassInfo();
  ASSERT_NE(coclass, nullptr);
  ITypeInfo* source = nullptr;
  IID iid{};
  ASSERT_EQ(DefaultSourceInterface(coclass, &source, &iid), S_OK);
  EXPECT_TRUE(IsEqualIID(iid, kFakeEventsIid));
  BSTR name = nullptr;
  source->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
  EXPECT_STREQ(name, L"_DFakePublicEvents");
  SysFreeString(name);
  source->Release();
  // An interface is no coclass.
  EXPECT_EQ(DefaultSourceInterface(FakeEventsInfo(), &source, &iid), E_INVALIDARG);
  coclass->Release();
}

TEST_F(EventSinkTest, EachEventReachesItsHandlerByTheHostsDispidForItsName) {
  struct Case {
    DISPID id;
    std::vector<VARIANT> args;
    Event event;
    host::Variant argument;
  };
  std::vector<Case> cases;
  cases.push_back({kFakeSetup, {}, Event::kSetup, host::Variant()});
  cases.push_back({kFakeUpgrade, {Int32(-400000)}, Event::kUpgrade, host::Variant(std::int32_t{-400000})});
  cases.push_back({kFakeUpgrade, {Int16(3)}, Event::kUpgrade, host::Variant(std::int32_t{3})});
  cases.push_back({kFakePostSetup, {}, Event::kPostSetup, host::Variant()});
  cases.push_back({kFakeUninstall, {}, Event::kUninstall, host::Variant()});
  cases.push_back({kFakePostPageNotification, {Text(L"Copy.Page \u00e9")}, Event::kPostPageNotification,
                   host::Variant("Copy.Page \xE9")});
  for (Case& c : cases) {
    heard_.clear();
    EXPECT_EQ(Fire(c.id, c.args), S_OK) << c.id;
    ASSERT_EQ(heard_.size(), 1u) << c.id;
    EXPECT_EQ(heard_[0].event, c.event) << c.id;
    EXPECT_EQ(heard_[0].argument, c.argument) << c.id;
  }
}

TEST_F(EventSinkTest, ByReferenceArgumentsAreRead) {
  BSTR page = SysAllocString(L"Page");
  VARIANT ref;
  VariantInit(&ref);
  V_VT(&ref) = VT_BYREF | VT_BSTR;
  V_BSTRREF(&ref) = &page;
  DISPPARAMS params{&ref, nullptr, 1, 0};
  EXPECT_EQ(sink_->Invoke(kFakePostPageNotification, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr,
                          nullptr),
            S_OK);
  SysFreeString(page);
  ASSERT_EQ(heard_.size(), 1u);
  EXPECT_EQ(heard_[0].argument, host::Variant("Page"));
}

TEST_F(EventSinkTest, RefusesWhatNoEventOfTheSnapInIs) {
  EXPECT_EQ(Fire(kFakeOtherEvent, {}), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Fire(1, {}), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Fire(kFakeSetup, {Int32(1)}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Fire(kFakeUpgrade, {}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Fire(kFakeUpgrade, {Text(L"seven")}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(last_arg_error_, 0u);
  EXPECT_TRUE(heard_.empty());
}

TEST_F(EventSinkTest, OnlyThePageNotificationReportsItsFailureToTheHost) {
  failure_ = Error(53, "File not found");
  for (const DISPID id : {kFakeSetup, kFakePostSetup, kFakeUninstall}) EXPECT_EQ(Fire(id, {}), S_OK) << id;
  EXPECT_EQ(Fire(kFakeUpgrade, {Int32(2)}), S_OK);

  EXCEPINFO info{};
  EXPECT_EQ(Fire(kFakePostPageNotification, {Text(L"p")}, &info), DISP_E_EXCEPTION);
  EXPECT_EQ(static_cast<std::uint32_t>(info.scode), 0x800A0035u);
  EXPECT_EQ(info.wCode, 0);
  EXPECT_STREQ(info.bstrDescription, L"File not found");
  EXPECT_STREQ(info.bstrSource, L"QviConsole");
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrSource);

  failure_ = Error(static_cast<std::int32_t>(REGDB_E_CLASSNOTREG), "Class not registered");
  info = EXCEPINFO{};
  EXPECT_EQ(Fire(kFakePostPageNotification, {Text(L"p")}, &info), DISP_E_EXCEPTION);
  EXPECT_EQ(info.scode, REGDB_E_CLASSNOTREG);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrSource);
}

TEST_F(EventSinkTest, AnswersForTheEventInterfaceAndStopsOnceDetached) {
  IUnknown* events = nullptr;
  ASSERT_EQ(sink_->QueryInterface(kFakeEventsIid, reinterpret_cast<void**>(&events)), S_OK);
  events->Release();
  EXPECT_EQ(sink_->QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(&events)), E_NOINTERFACE);
  sink_->Detach();
  EXPECT_EQ(Fire(kFakeSetup, {}), E_UNEXPECTED);
  EXPECT_TRUE(heard_.empty());
}

TEST(EventConnectionTest, AdvisesOnTheControlsDefaultSourceAndUnadvises) {
  FakeDispatch* kit = new FakeDispatch();
  std::vector<Event> heard;
  {
    EventConnection connection;
    ASSERT_EQ(connection.Connect(static_cast<IDispatch*>(kit), [&](Event e, const host::Variant&) { heard.push_back(e); }),
              S_OK);
    ASSERT_NE(kit->sink(), nullptr);
    EXPECT_EQ(kit->Fire(kFakeSetup, {}), S_OK);
    EXPECT_EQ(kit->Fire(kFakeUninstall, {}), S_OK);
  }
  EXPECT_EQ(kit->sink(), nullptr);
  EXPECT_EQ(heard, (std::vector<Event>{Event::kSetup, Event::kUninstall}));
  EXPECT_EQ(kit->refs(), 1);
  kit->Release();
}

}  // namespace
}  // namespace qvi::com
