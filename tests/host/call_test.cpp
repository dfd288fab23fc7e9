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

TEST(CallTest, PassesArgumentsInOrderWithTheirByReferenceFlags) {
  MockControl control;
  std::string path = "C:\\X";
  EXPECT_CALL(control, Invoke(dispid::kSetDestinationDir, _)).WillOnce(Invoke([](DispId, std::vector<Argument>& a) {
    EXPECT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0].value, Variant("console"));
    EXPECT_FALSE(a[0].by_ref);
    EXPECT_EQ(a[1].value, Variant("C:\\X"));
    EXPECT_TRUE(a[1].by_ref);
    EXPECT_EQ(a[2].value, Variant(std::int32_t{0}));
    return Variant();
  }));
  QviPublic(control).SetDestinationDir("console", Arg::Ref(path));
}

TEST(CallTest, ByReferenceVariablesReceiveTheHostsValuesOnSuccess) {
  MockControl control;
  std::int32_t version = 0;
  EXPECT_CALL(control, Invoke(dispid::kGetPlatform, _)).WillOnce(Invoke([](DispId, std::vector<Argument>& a) {
    a[0].value = Variant(std::int32_t{4 << 16});
    return Variant(std::int32_t{1});
  }));
  EXPECT_EQ(QviPublic(control).GetPlatform(Arg::Ref(version)).ToInt32(), 1);
  EXPECT_EQ(version, 4 << 16);
}

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

TEST(CallTest, TypedResultsRaiseWhenTheHostAnswerCannotBeConverted) {
  MockControl control;
  EXPECT_CALL(control, Invoke(dispid::kIsInstalling, _)).WillOnce(::testing::Return(Variant("yes")));
  EXPECT_THROW(QviPublic(control).IsInstalling().ToInt32(), Error);
}

}  // namespace
}  // namespace qvi::host
