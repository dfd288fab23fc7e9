#include "host/com/dispatch_host_control.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "control/com/event_sink.h"
#include "host/call.h"
#include "host/com/com_variant.h"
#include "runtime/errors.h"
#include "testing/com_fake_kit/allocation_faults.h"
#include "testing/com_fake_kit/fake_kit.h"

namespace qvi::host::com {
namespace {

using qvi::com::ComPtr;
using qvi::com::Make;
using qvi::testing::FakeDispatch;

// The host overwrites each by-reference argument, then the call succeeds or
// fails.
class ByReferenceTest : public ::testing::TestWithParam<HRESULT> {};

TEST_P(ByReferenceTest, VariablesTakeTheHostsValuesOnlyWhenTheCallSucceeds) {
  const HRESULT outcome = GetParam();
  const ComPtr<FakeDispatch> fake = Make<FakeDispatch>();
  fake->Answer(25, [outcome](DISPPARAMS* params, VARIANT* result, EXCEPINFO*) {
    VARIANT* args = params->rgvarg;  // reversed: [2] text, [1] long, [0] short
    if (V_VT(&args[2]) != (VT_BYREF | VT_BSTR) || V_VT(&args[1]) != (VT_BYREF | VT_I4) ||
        V_VT(&args[0]) != (VT_BYREF | VT_I2)) {
      return DISP_E_TYPEMISMATCH;
    }
    const qvi::com::ScopedBstr former(std::exchange(*V_BSTRREF(&args[2]), SysAllocString(L"Glob\u00e9l \u20ac")));
    *V_I4REF(&args[1]) = 0x00040000 + *V_I4REF(&args[1]);
    *V_I2REF(&args[0]) = static_cast<SHORT>(*V_I2REF(&args[0]) - 1);
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = SysAllocString(L"entry");
    return outcome;
  });
  DispatchHostControl control(fake);
  std::string section = "Global";
  std::int32_t index = 7;
  std::int16_t small = 10;
  if (SUCCEEDED(outcome)) {
    const Variant result = Call(control, 25, {Arg::Ref(section), Arg::Ref(index), Arg::Ref(small)});
    EXPECT_EQ(result, Variant("entry"));
    EXPECT_EQ(section, "Glob\xE9l \x80");
    EXPECT_EQ(index, 0x00040007);
    EXPECT_EQ(small, 9);
  } else {
    EXPECT_THROW(Call(control, 25, {Arg::Ref(section), Arg::Ref(index), Arg::Ref(small)}), Error);
    EXPECT_EQ(section, "Global");
    EXPECT_EQ(index, 7);
    EXPECT_EQ(small, 10);
  }
  EXPECT_EQ(fake->calls().at(0).values, (std::vector<std::wstring>{L"Global", L"7", L"10"}));
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ByReferenceTest, ::testing::Values(S_OK, E_FAIL, DISP_E_EXCEPTION));

TEST(ComVariantTest, ValuesTakeTheNearestTypeOfTheSeam) {
  struct Case {
    const char* name;
    VARTYPE type;
    double value;  // through VariantChangeType
    Variant expected;
    std::int32_t error = 0;
  };
  const Case cases[] = {
      {"empty", VT_EMPTY, 0, Variant()},
      {"short", VT_I2, -5, Variant(std::int16_t{-5})},
      {"long", VT_I4, 1 << 20, Variant(std::int32_t{1 << 20})},
      {"bool", VT_BOOL, -1, Variant(std::int16_t{-1})},
      {"byte", VT_UI1, 200, Variant(std::int16_t{200})},
      {"double rounds half to even", VT_R8, 2.5, Variant(std::int32_t{2})},
      {"unsigned", VT_UI4, 70000, Variant(std::int32_t{70000})},
      {"date as text", VT_DATE, 2.5, Variant("1/1/1900 12:00:00 PM")},
      {"too large", VT_R8, 1e12, Variant(), errors::kOverflow},
  };
  for (const Case& c : cases) {
    qvi::com::ScopedVariant number;
    V_VT(number.GetAddressOf()) = VT_R8;
    V_R8(number.GetAddressOf()) = c.value;
    qvi::com::ScopedVariant value;
    ASSERT_EQ(VariantChangeType(value.ReleaseAndGetAddressOf(), number.GetAddressOf(), 0, c.type), S_OK) << c.name;
    try {
      EXPECT_EQ(FromVariant(value.Get()), c.expected) << c.name;
      EXPECT_EQ(c.error, 0) << c.name;
    } catch (const Error& error) {
      EXPECT_EQ(error.number(), c.error) << c.name;
    }
  }
}

// Every allocation fails in turn: of a successful call with text by
// reference and a date for its result, of failures with and without a
// description, and of an event whose handler fails. What each took is given
// back.
TEST(OutOfMemoryTest, AnywhereInAHostCallOrAnEventNothingIsKept) {
  const ComPtr<ITypeInfo> events = qvi::testing::FakeEventsInfo();
  const auto run = [&] {
    const ComPtr<FakeDispatch> fake = Make<FakeDispatch>();
    fake->Answer(8, [](DISPPARAMS*, VARIANT* result, EXCEPINFO*) {
      V_VT(result) = VT_DATE;
      V_DATE(result) = 2.5;
      return S_OK;
    });
    for (const DispId id : {13, 14}) {
      fake->Answer(id, [id](DISPPARAMS*, VARIANT*, EXCEPINFO* info) {
        info->scode = id == 13 ? E_ACCESSDENIED : static_cast<SCODE>(0x800A0035);
        info->bstrSource = SysAllocString(L"QVISERVERLibCtl.QviPublic");
        if (id == 14) info->bstrDescription = SysAllocString(L"A description past the small size");
        return DISP_E_EXCEPTION;
      });
    }
    ComPtr<qvi::com::EventSink> sink;
    qvi::com::EventSink::Create(events.Get(), qvi::testing::kFakeEventsIid, static_cast<IDispatch*>(fake.Get()),
                                [](Event, const Variant&) { throw Error(53, "A description past the small size"); },
                                sink);
    qvi::com::ScopedExcepInfo info;
    if (sink)
      qvi::testing::InvokeWith(sink.Get(), qvi::testing::kFakePostPageNotification, {L"qvigui.copy1, longer"}, &info);
    DispatchHostControl control(fake);
    std::string directory = "C:\\Program Files\\Quorvex Console";
    Call(control, 8, {Arg::Ref(directory), std::int32_t{0}});
    for (const DispId failing : {13, 14}) {
      try {
        Call(control, failing, {"a text longer than the small size"});
      } catch (const Error&) {
      }
    }
  };
  EXPECT_THAT(qvi::testing::LeaksUnderAllocationFailures(run), ::testing::IsEmpty());
}

}  // namespace
}  // namespace qvi::host::com
