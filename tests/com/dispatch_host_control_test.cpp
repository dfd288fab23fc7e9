#include "host/com/dispatch_host_control.h"

#include <gtest/gtest.h>


#include "host/call.h"
#include "host/com/com_variant.h"
#include "runtime/errors.h"
#include "testing/com_fake_kit/fake_kit.h"

namespace qvi::host::com {
namespace {

using qvi::testing::FakeDispatch;

class DispatchHostControlTest : public ::testing::Test {
 protected:
  void SetUp() override { fake_ = new FakeDispatch(); }
  void TearDown() override { fake_->Release(); }

  // Answers `id` with a DISP_E_EXCEPTION carrying `wcode`, `scode` and a
  // description.
  void AnswerException(DispId id, WORD wcode, SCODE scode, const wchar_t* description) {
    fake_->Answer(id, [=](DISPPARAMS*, VARIANT*, EXCEPINFO* info) {
      info->wCode = wcode;
      info->scode = scode;
      info->bstrDescription = SysAllocString(description);
      info->bstrSource = SysAllocString(L"kit");
      return DISP_E_EXCEPTION;
    });
  }

  FakeDispatch* fake_ = nullptr;
};

TEST_F(DispatchHostControlTest, PassesArgumentsLastFirstAsMethodCallWithTheirTypes) {
  DispatchHostControl control(fake_);
  Call(control, 9, {"QVIConsole", "C:\\Quorvex", std::int32_t{3}, std::int16_t{-2}});
  ASSERT_EQ(fake_->calls().size(), 1u);
  const auto& call = fake_->calls()[0];
  EXPECT_EQ(call.id, 9);
  EXPECT_EQ(call.flags, DISPATCH_METHOD);
  EXPECT_EQ(call.types, (std::vector<VARTYPE>{VT_BSTR, VT_BSTR, VT_I4, VT_I2}));
  EXPECT_EQ(call.values, (std::vector<std::wstring>{L"QVIConsole", L"C:\\Quorvex", L"3", L"-2"}));
}

// The host overwrites each by-reference argument, then the call succeeds or
// fails.
class ByReferenceTest : public DispatchHostControlTest, public ::testing::WithParamInterface<HRESULT> {};

TEST_P(ByReferenceTest, VariablesTakeTheHostsValuesOnlyWhenTheCallSucceeds) {
  const HRESULT outcome = GetParam();
  fake_->Answer(25, [outcome](DISPPARAMS* params, VARIANT* result, EXCEPINFO*) {
    VARIANT* args = params->rgvarg;  // reversed: [2] text, [1] long, [0] short
    if (V_VT(&args[2]) != (VT_BYREF | VT_BSTR) || V_VT(&args[1]) != (VT_BYREF | VT_I4) ||
        V_VT(&args[0]) != (VT_BYREF | VT_I2)) {
      return DISP_E_TYPEMISMATCH;
    }
    SysFreeString(*V_BSTRREF(&args[2]));
    *V_BSTRREF(&args[2]) = SysAllocString(L"Glob\u00e9l \u20ac");
    *V_I4REF(&args[1]) = 0x00040000 + *V_I4REF(&args[1]);
    *V_I2REF(&args[0]) = static_cast<SHORT>(*V_I2REF(&args[0]) - 1);
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = SysAllocString(L"entry");
    return outcome;
  });
  DispatchHostControl control(fake_);
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
  EXPECT_EQ(fake_->calls().at(0).values, (std::vector<std::wstring>{L"Global", L"7", L"10"}));
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ByReferenceTest, ::testing::Values(S_OK, E_FAIL, DISP_E_EXCEPTION));

TEST_F(DispatchHostControlTest, TextCrossesAsCodePage1252BothWays) {
  fake_->Answer(20, [](DISPPARAMS* params, VARIANT* result, EXCEPINFO*) {
    // Echoes the argument back, with a character the code page lacks.
    std::wstring text(V_BSTR(&params->rgvarg[0]), SysStringLen(V_BSTR(&params->rgvarg[0])));
    text += L"\u4e00";
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return S_OK;
  });
  DispatchHostControl control(fake_);
  const std::string bytes("\xC4\x80\x9F\x00z", 5);
  const Variant result = Call(control, 20, {bytes});
  EXPECT_EQ(fake_->calls().at(0).values.at(0), std::wstring(L"\u00c4\u20ac\u0178\0z", 5));
  EXPECT_EQ(result, Variant(bytes + "?"));
}

struct ResultCase {
  const char* name;
  VARIANT value;  // numbers only: nothing to free
  Variant expected;
};

template <class Set>
VARIANT Make(VARTYPE type, Set set) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = type;
  set(v);
  return v;
}

TEST_F(DispatchHostControlTest, ResultsTakeTheNearestTypeOfTheSeam) {
  const ResultCase cases[] = {
      {"empty", Make(VT_EMPTY, [](VARIANT&) {}), Variant()},
      {"short", qvi::testing::Int16(-5), Variant(std::int16_t{-5})},
      {"long", qvi::testing::Int32(1 << 20), Variant(std::int32_t{1 << 20})},
      {"bool", Make(VT_BOOL, [](VARIANT& v) { V_BOOL(&v) = VARIANT_TRUE; }), Variant(std::int16_t{-1})},
      {"byte", Make(VT_UI1, [](VARIANT& v) { V_UI1(&v) = 200; }), Variant(std::int16_t{200})},
      {"double rounds half to even", Make(VT_R8, [](VARIANT& v) { V_R8(&v) = 2.5; }), Variant(std::int32_t{2})},
      {"unsigned", Make(VT_UI4, [](VARIANT& v) { V_UI4(&v) = 70000; }), Variant(std::int32_t{70000})},
  };
  for (const ResultCase& c : cases) {
    FakeDispatch* fake = new FakeDispatch();
    fake->Answer(4, [&c](DISPPARAMS*, VARIANT* result, EXCEPINFO*) {
      *result = c.value;
      return S_OK;
    });
    DispatchHostControl control(fake);
    fake->Release();
    EXPECT_EQ(Call(control, 4, {}), c.expected) << c.name;
  }
}

TEST_F(DispatchHostControlTest, AResultTooLargeForTheSeamIsAnOverflow) {
  fake_->Answer(4, [](DISPPARAMS*, VARIANT* result, EXCEPINFO*) {
    V_VT(result) = VT_R8;
    V_R8(result) = 1e12;
    return S_OK;
  });
  DispatchHostControl control(fake_);
  try {
    Call(control, 4, {});
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.number(), errors::kOverflow);
  }
}

struct FailureCase {
  const char* name;
  HRESULT hr;
  WORD wcode;
  SCODE scode;
  std::int32_t number;
};

TEST_F(DispatchHostControlTest, HostFailuresBecomeTheSnapInsErrorNumber) {
  const FailureCase cases[] = {
      {"wCode wins", DISP_E_EXCEPTION, 1001, static_cast<SCODE>(0x800A0035), 1001},
      {"control facility", DISP_E_EXCEPTION, 0, static_cast<SCODE>(0x800A0035), 53},
      {"other scode", DISP_E_EXCEPTION, 0, E_ACCESSDENIED, static_cast<std::int32_t>(E_ACCESSDENIED)},
      {"facility below control", DISP_E_EXCEPTION, 0, static_cast<SCODE>(0x80090035),
       static_cast<std::int32_t>(0x80090035)},
      {"plain HRESULT", DISP_E_MEMBERNOTFOUND, 0, 0, static_cast<std::int32_t>(DISP_E_MEMBERNOTFOUND)},
  };
  for (const FailureCase& c : cases) {
    FakeDispatch* fake = new FakeDispatch();
    fake->Answer(13, [&c](DISPPARAMS*, VARIANT*, EXCEPINFO* info) {
      if (c.hr == DISP_E_EXCEPTION) {
        info->wCode = c.wcode;
        info->scode = c.scode;
        info->bstrDescription = SysAllocString(L"Directory d\u00e9j\u00e0 vu");
      }
      return c.hr;
    });
    DispatchHostControl control(fake);
    fake->Release();
    try {
      Call(control, 13, {});
      ADD_FAILURE() << c.name << ": no error";
    } catch (const Error& error) {
      EXPECT_EQ(error.number(), c.number) << c.name;
      if (c.hr == DISP_E_EXCEPTION) EXPECT_EQ(error.description(), "Directory d\xE9j\xE0 vu") << c.name;
      else EXPECT_FALSE(error.description().empty()) << c.name;
    }
  }
}

TEST_F(DispatchHostControlTest, AnExceptionWithoutDescriptionStillDescribesItself) {
  AnswerException(14, 0, static_cast<SCODE>(0x800A0005), L"");
  DispatchHostControl control(fake_);
  try {
    Call(control, 14, {"QVIConsole.ini"});
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.number(), 5);
    EXPECT_EQ(error.description(), "Automation error");
  }
}

TEST_F(DispatchHostControlTest, HoldsItsControlForItsLifetime) {
  {
    DispatchHostControl control(fake_);
    EXPECT_EQ(fake_->refs(), 2);
  }
  EXPECT_EQ(fake_->refs(), 1);
}

}  // namespace
}  // namespace qvi::host::com
