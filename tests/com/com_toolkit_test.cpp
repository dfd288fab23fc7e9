// The COM toolkit's rules, each once: numbers and scodes, the reading of a
// failed call, the text of code page 1252, the connection point and the
// class factory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>

#include "control/com/event_sink.h"
#include "runtime/com/automation_error.h"
#include "runtime/com/bstr_text.h"
#include "runtime/com/class_factory.h"
#include "testing/com_fake_kit/fake_kit.h"

namespace qvi::com {
namespace {

TEST(AutomationErrorTest, NumbersTravelAsFailingScodesAndReadBack) {
  // A number, its scode and the number read back from that.
  const std::tuple<std::int32_t, std::uint32_t, std::int32_t> cases[] = {
      {0, 0x800A0000u, 0},
      {53, 0x800A0035u, 53},
      {65535, 0x800AFFFFu, 65535},
      // As HRESULTs these would read as successes.
      {65536, 0x80004005u, static_cast<std::int32_t>(E_FAIL)},
      {70000, 0x80004005u, static_cast<std::int32_t>(E_FAIL)},
      {static_cast<std::int32_t>(REGDB_E_CLASSNOTREG), 0x80040154u, static_cast<std::int32_t>(REGDB_E_CLASSNOTREG)},
      {static_cast<std::int32_t>(0x800A0046u), 0x800A0046u, 70},
  };
  for (const auto& [number, scode, read_back] : cases) {
    EXPECT_EQ(static_cast<std::uint32_t>(ScodeOf(number)), scode) << number;
    EXPECT_EQ(NumberOf(ScodeOf(number)), read_back) << number;
  }
}

TEST(AutomationErrorTest, AFailedCallReadsAsTheSnapInsError) {
  // The call's HRESULT and EXCEPINFO; the number and the start of the
  // description read from them.
  const std::tuple<const char*, HRESULT, WORD, std::uint32_t, const wchar_t*, std::int32_t, std::string> cases[] = {
      {"wCode first", DISP_E_EXCEPTION, 1001, 0x800A0035u, L"Caf\u00e9 \u0100", 1001, "Caf\xE9 ?"},
      {"control facility", DISP_E_EXCEPTION, 0, 0x800A0035u, L"File not found", 53, "File not found"},
      {"other scode", DISP_E_EXCEPTION, 0, 0x80070005u, L"x", static_cast<std::int32_t>(E_ACCESSDENIED), "x"},
      {"no description", DISP_E_EXCEPTION, 0, 0x800A0005u, nullptr, 5, "Automation error"},
      {"system text", DISP_E_EXCEPTION, 0, 0x80070005u, L"", static_cast<std::int32_t>(E_ACCESSDENIED), "Access"},
      {"plain HRESULT", DISP_E_MEMBERNOTFOUND, 0, 0, nullptr, static_cast<std::int32_t>(DISP_E_MEMBERNOTFOUND), ""},
  };
  for (const auto& [name, hr, wcode, scode, description, number, text] : cases) {
    ScopedExcepInfo info;
    EXCEPINFO* raw = info.ReleaseAndGetAddressOf();
    raw->wCode = wcode;
    raw->scode = static_cast<SCODE>(scode);
    raw->bstrDescription = description ? SysAllocString(description) : nullptr;
    raw->bstrSource = SysAllocString(L"kit");
    const Error error = ErrorFromInvoke(hr, info);
    EXPECT_EQ(error.number(), number) << name;
    EXPECT_THAT(error.description(), ::testing::StartsWith(text)) << name;
    EXPECT_FALSE(error.description().empty()) << name;
  }
}

TEST(BstrTextTest, CodePage1252BothWaysAndQuestionMarksForTheRest) {
  const std::string bytes("\xC4\x80\x9F\x00z", 5);
  const ScopedBstr text = ToBstr(bytes);
  EXPECT_EQ(std::wstring(text.Get(), text.Length()), std::wstring(L"\u00c4\u20ac\u0178\0z", 5));
  EXPECT_EQ(FromBstr(text.Get()), bytes);
  // No best fit: U+0100 is not 'A'.
  const ScopedBstr foreign(SysAllocString(L"\u0100\u4e00."));
  EXPECT_EQ(FromBstr(foreign.Get()), "??.");
  EXPECT_EQ(FromBstr(nullptr), "");
  EXPECT_EQ(ToBstr("").Length(), 0u);
}

TEST(ConnectionPointTest, SinksOfTheInterfaceAdviseUnadviseAndHearEvents) {
  const ComPtr<testing::FakeDispatch> source = Make<testing::FakeDispatch>();
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(source->FindConnectionPoint(IID_IDispatch, point.ReleaseAndGetAddressOf()), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(source->FindConnectionPoint(testing::kFakeEventsIid, point.ReleaseAndGetAddressOf()), S_OK);
  ComPtr<IConnectionPointContainer> back;
  ASSERT_EQ(point->GetConnectionPointContainer(back.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(back.Get(), static_cast<IConnectionPointContainer*>(source.Get()));

  // Sinks of the events' IID, which count what they hear, and one that is not.
  int heard[2] = {};
  ComPtr<EventSink> sinks[2];
  for (int i : {0, 1}) {
    ASSERT_EQ(EventSink::Create(testing::FakeEventsInfo().Get(), testing::kFakeEventsIid, nullptr,
                                [&heard, i](Event, const host::Variant&) { ++heard[i]; }, sinks[i]),
              S_OK);
  }
  const ComPtr<testing::FakeDispatch> stranger = Make<testing::FakeDispatch>();
  DWORD cookies[2] = {};
  EXPECT_EQ(point->Advise(static_cast<IDispatch*>(stranger.Get()), &cookies[0]), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(stranger->RefCount(), 1u);
  ASSERT_EQ(point->Advise(sinks[0].Get(), &cookies[0]), S_OK);
  ASSERT_EQ(point->Advise(sinks[1].Get(), &cookies[1]), S_OK);
  EXPECT_NE(cookies[0], cookies[1]);
  EXPECT_EQ(source->Fire(testing::kFakeSetup), S_OK);
  EXPECT_EQ(point->Unadvise(cookies[0]), S_OK);
  EXPECT_EQ(point->Unadvise(cookies[0]), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(source->Fire(testing::kFakeSetup), S_OK);
  EXPECT_EQ(heard[0], 1);
  EXPECT_EQ(heard[1], 2);
  EXPECT_EQ(sinks[0]->RefCount(), 1u);
  EXPECT_EQ(sinks[1]->RefCount(), 2u);
}

TEST(ClassFactoryTest, ServesItsClassesRefusesAggregationAndCountsLocksNotItself) {
  const ClassEntry classes[] = {{&testing::kFakeEventsIid, [](REFIID riid, void** object) {
                                   return Make<testing::FakeDispatch>()->QueryInterface(riid, object);
                                 }}};
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(GetClassObject(classes, IID_IDispatch, IID_IClassFactory, factory.ReleaseAndGetVoidAddressOf()),
            CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(GetClassObject(classes, testing::kFakeEventsIid, IID_IClassFactory, factory.ReleaseAndGetVoidAddressOf()),
            S_OK);
  const long objects = Module::Objects();
  ComPtr<IDispatch> made;
  EXPECT_EQ(factory->CreateInstance(factory.Get(), IID_IDispatch, made.ReleaseAndGetVoidAddressOf()),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(made.Get(), nullptr);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, made.ReleaseAndGetVoidAddressOf()), S_OK);
  EXPECT_EQ(Module::Objects(), objects + 1);
  made.Reset();
  EXPECT_EQ(Module::Objects(), objects);
  EXPECT_TRUE(Module::Idle());
  factory->LockServer(TRUE);
  EXPECT_FALSE(Module::Idle());
  factory->LockServer(FALSE);
  EXPECT_TRUE(Module::Idle());
}

}  // namespace
}  // namespace qvi::com
