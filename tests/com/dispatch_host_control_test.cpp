#include "host/com/dispatch_host_control.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "control/com/event_sink.h"
#include "host/call.h"
#include "host/com/com_variant.h"
#include "runtime/errors.h"
#include "testing/com_fake_kit/allocation_faults.h"
#include "testing/com_fake_kit/fake_kit.h"
#include "testing/error_of.h"

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
  const auto call = [&] { return Call(control, 25, {Arg::Ref(section), Arg::Ref(index), Arg::Ref(small)}); };
  if (SUCCEEDED(outcome)) {
    const Variant result = call();
    EXPECT_EQ(std::tuple(result, section, index, small), std::tuple(Variant("entry"), "Glob\xE9l \x80", 0x00040007, 9));
  } else {
    EXPECT_THROW(call(), Error);
    EXPECT_EQ(std::tuple(section, index, small), std::tuple("Global", 7, 10));
  }
  EXPECT_EQ(fake->calls().at(0).values, (std::vector<std::wstring>{L"Global", L"7", L"10"}));
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ByReferenceTest, ::testing::Values(S_OK, E_FAIL, DISP_E_EXCEPTION));

TEST(ComVariantTest, ValuesTakeTheNearestTypeOfTheSeam) {
  // A type, a value given to it through VariantChangeType, what that reads
  // as and the number of the error reading it raises.
  const std::tuple<const char*, VARTYPE, double, Variant, std::int32_t> cases[] = {
      {"empty", VT_EMPTY, 0, Variant(), 0},
      {"short", VT_I2, -5, Variant(std::int16_t{-5}), 0},
      {"long", VT_I4, 1 << 20, Variant(std::int32_t{1 << 20}), 0},
      {"bool", VT_BOOL, -1, Variant(std::int16_t{-1}), 0},
      {"byte", VT_UI1, 200, Variant(std::int16_t{200}), 0},
      {"double rounds half to even", VT_R8, 2.5, Variant(std::int32_t{2}), 0},
      {"unsigned", VT_UI4, 70000, Variant(std::int32_t{70000}), 0},
      {"date as text", VT_DATE, 2.5, Variant("1/1/1900 12:00:00 PM"), 0},
      {"too large", VT_R8, 1e12, Variant(), errors::kOverflow},
  };
  for (const auto& [name, type, given, expected, error] : cases) {
    qvi::com::ScopedVariant number;
    V_VT(number.GetAddressOf()) = VT_R8;
    V_R8(number.GetAddressOf()) = given;
    qvi::com::ScopedVariant value;
    ASSERT_EQ(VariantChangeType(value.ReleaseAndGetAddressOf(), number.GetAddressOf(), 0, type), S_OK) << name;
    Variant read;
    EXPECT_EQ(qvi::testing::ErrorNumberOf([&] { read = FromVariant(value.Get()); }), error) << name;
    EXPECT_EQ(read, expected) << name;
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
