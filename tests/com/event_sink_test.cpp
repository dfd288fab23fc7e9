#include "control/com/event_sink.h"

// GCC 12 sees the std::variant inside host::Variant as maybe uninitialised
// when a case table is built from braced lists; it is not.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

#include "runtime/com/bstr_text.h"
#include "runtime/errors.h"
#include "testing/com_fake_kit/fake_kit.h"

namespace qvi::com {
namespace {

using namespace qvi::testing;

struct Heard {
  Event event;
  host::Variant argument;
  bool operator==(const Heard&) const = default;
};

class EventSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const ComPtr<ITypeInfo> events = FakeEventsInfo();
    ASSERT_TRUE(events) << "the test program carries no FakeKit type library";
    ASSERT_EQ(EventSink::Create(events.Get(), kFakeEventsIid, static_cast<IDispatch*>(owner_.Get()),
                                [this](Event e, const host::Variant& a) { Handle(e, a); }, sink_),
              S_OK);
  }

  void Handle(Event event, const host::Variant& argument) {
    heard_.push_back({event, argument});
    EXPECT_GT(owner_->RefCount(), 1u) << "the event holds its owner";
    if (failure_) throw *failure_;
  }

  HRESULT Fire(DISPID id, const std::vector<FakeArg>& args = {}, ScopedExcepInfo* exception = nullptr) {
    return InvokeWith(sink_.Get(), id, args, exception);
  }

  const ComPtr<FakeDispatch> owner_ = Make<FakeDispatch>();
  ComPtr<EventSink> sink_;
  std::vector<Heard> heard_;
  std::optional<Error> failure_;
};

TEST_F(EventSinkTest, EachEventReachesItsHandlerByTheHostsDispidForItsName) {
  LONG version = 5;
  // The host's DISPID and arguments; the event heard and its argument.
  const std::vector<std::tuple<DISPID, std::vector<FakeArg>, Event, host::Variant>> cases = {
      {kFakeSetup, {}, Event::kSetup, host::Variant()},
      {kFakeUpgrade, {LONG{-400000}}, Event::kUpgrade, host::Variant(std::int32_t{-400000})},
      {kFakeUpgrade, {SHORT{3}}, Event::kUpgrade, host::Variant(std::int32_t{3})},
      {kFakeUpgrade, {&version}, Event::kUpgrade, host::Variant(std::int32_t{5})},
      {kFakePostSetup, {}, Event::kPostSetup, host::Variant()},
      {kFakeUninstall, {}, Event::kUninstall, host::Variant()},
      {kFakePostPageNotification, {L"Copy.Page \u00e9"}, Event::kPostPageNotification, host::Variant("Copy.Page \xE9")},
  };
  for (const auto& [id, args, event, argument] : cases) {
    heard_.clear();
    EXPECT_EQ(Fire(id, args), S_OK) << id;
    EXPECT_EQ(heard_, (std::vector<Heard>{{event, argument}})) << id;
  }
  EXPECT_EQ(owner_->RefCount(), 1u) << "no event holds its owner once it has ended";
}

TEST_F(EventSinkTest, RefusesWhatNoEventOfTheSnapInIs) {
  EXPECT_EQ(Fire(kFakeOtherEvent), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Fire(1), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Fire(kFakeSetup, {LONG{1}}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Fire(kFakeUpgrade), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Fire(kFakeUpgrade, {L"seven"}), DISP_E_TYPEMISMATCH);
  EXPECT_TRUE(heard_.empty());
}

TEST_F(EventSinkTest, OnlyThePageNotificationReportsItsFailureToTheHost) {
  failure_ = Error(53, "File not found");
  for (const DISPID id : {kFakeSetup, kFakePostSetup, kFakeUninstall}) EXPECT_EQ(Fire(id), S_OK) << id;
  EXPECT_EQ(Fire(kFakeUpgrade, {LONG{2}}), S_OK);

  ScopedExcepInfo info;
  EXPECT_EQ(Fire(kFakePostPageNotification, {L"p"}, &info), DISP_E_EXCEPTION);
  EXPECT_EQ(static_cast<std::uint32_t>(info.Get().scode), 0x800A0035u);
  EXPECT_STREQ(info.Get().bstrDescription, L"File not found");
  EXPECT_STREQ(info.Get().bstrSource, L"QviConsole");
}

// The host may still hold the sink of a control that is gone.
TEST_F(EventSinkTest, ADetachedSinkRefusesEvents) {
  sink_->Detach();
  EXPECT_EQ(Fire(kFakeSetup), E_UNEXPECTED);
  EXPECT_TRUE(heard_.empty());
}

}  // namespace
}  // namespace qvi::com
