#include "host/call.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/qvi_public.h"
#include "runtime/errors.h"

namespace qvi::host {
namespace {

using ::testing::_;
using ::testing::Invoke;

class MockControl : public HostControl {
 public:
  MOCK_METHOD(Variant, Invoke, (DispId id, std::vector<Argument>& args), (override));
};

TEST(CallTest, ByValueArgumentsChangedByTheHostLeaveTheCallerAlone) {
  MockControl control;
  std::string key = "Global";
  EXPECT_CALL(control, Invoke(dispid::kGetParameter, _)).WillOnce(Invoke([](DispId, std::vector<Argument>& a) {
    a[0].value = Variant("changed");
    return Variant("debug:1");
  }));
  EXPECT_EQ(QviPublic(control).GetParameter(key, std::int32_t{0}), "debug:1");
  EXPECT_EQ(key, "Global");
}

TEST(CallTest, AFailingCallLeavesByReferenceVariablesUnchanged) {
  MockControl control;
  std::string folder = "C:\\Menu";
  EXPECT_CALL(control, Invoke(dispid::kRemoveFolder, _)).WillOnce(Invoke([](DispId, std::vector<Argument>& a) -> Variant {
    a[0].value = Variant("half-written");
    throw Error(440, "Automation error");
  }));
  EXPECT_THROW(QviPublic(control).RemoveFolder(Arg::Ref(folder)), Error);
  EXPECT_EQ(folder, "C:\\Menu");
}

}  // namespace
}  // namespace qvi::host
