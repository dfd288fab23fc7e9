// qviPostSetup: the OLE/DCOM registration on Windows 95, then the console icon
// and its debug message on every platform.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "events/event_fixture.h"

namespace qvi::events_test {
namespace {

using ::testing::ElementsAre;
using faults::Function;


class PostSetupTest : public EventTest {
 protected:
  void SetUpPlatform(std::int32_t platform_code) {
    rhost::HostConfig config = NtHostConfig();
    config.platform_code = platform_code;
    Start(config);
    Raise("qviSetup");
  }
};

// The keys in the order phase 1 opens them:
//   0 CLSID, 1 class moniker, 2 InprocServer32, 3 ProgID, 4 File\CLSID,
//   5 Interface, 6-12 proxy/stub-only interfaces, 13-37 named interfaces,
//   38-44 NumMethods, 45-69 their ProxyStubClsid32, 70 OLE, 71 version marker.
TEST_F(PostSetupTest, Windows95OpensAllThenWritesAllThenClosesAllBeforeTheIcon) {
  SetUpPlatform(2);
  const std::size_t start = platform_calls_.size();
  const std::size_t host_calls_before = host_->calls().size();
  Raise("qviPostSetup");

  const auto creates = RegistryCalls(Function::kRegCreateKeyA, start);
  ASSERT_EQ(creates.size(), 72u);
  std::vector<std::string> opened;
  for (const PlatformCall& create : creates) opened.push_back(create.argument.substr(create.argument.rfind('\\') + 1));
  EXPECT_EQ(std::vector<std::string>(opened.begin(), opened.begin() + 6),
            (std::vector<std::string>{"CLSID", "{0000031A-0000-0000-C000-000000000046}", "InprocServer32", "ProgID",
                                      "CLSID", "Interface"}));
  for (std::size_t i : {6u, 12u, 45u, 69u}) EXPECT_EQ(opened[i], "ProxyStubClsid32") << i;
  EXPECT_EQ(opened[38] + " " + opened[44] + " " + opened[70] + " " + opened[71], "NumMethods NumMethods OLE InstalledVersion");

  // Writes and closes as the indices of the keys they work on.
  const auto index_of = [&](platform::HKey handle) {
    for (std::size_t i = 0; i < creates.size(); ++i) {
      if (creates[i].result == handle) return static_cast<int>(i);
    }
    return -1;
  };
  std::vector<int> writes;
  std::vector<int> closes;
  for (std::size_t i = start; i < platform_calls_.size(); ++i) {
    const PlatformCall& call = platform_calls_[i];
    EXPECT_EQ(call.host_calls_before, host_calls_before) << "registry call " << i - start << " after a host call";
    if (call.function == Function::kRegSetValueExA) {
      EXPECT_TRUE(closes.empty()) << "a value written after a key was closed";
      writes.push_back(index_of(call.key));
    } else if (call.function == Function::kRegCloseKey) {
      closes.push_back(index_of(call.key));
    } else {
      EXPECT_TRUE(writes.empty() && closes.empty()) << "a key opened after phase 1";
    }
  }
  std::vector<int> expected_writes = {0, 1, 2, 3, 4};
  for (int i = 6; i < 13; ++i) expected_writes.push_back(i);
  for (int i = 45; i < 70; ++i) expected_writes.push_back(i);
  for (int named = 13; named < 38; ++named) {
    expected_writes.push_back(named);
    for (int count = 38; count < 45; ++count) {
      if (creates[count].key == creates[named].result) expected_writes.push_back(count);
    }
  }
  expected_writes.insert(expected_writes.end(), {70, 70, 71});
  EXPECT_EQ(writes, expected_writes);
  std::vector<int> expected_closes;
  for (int i = 69; i >= 45; --i) expected_closes.push_back(i);
  for (int i = 12; i >= 6; --i) expected_closes.push_back(i);
  for (int i = 37; i >= 13; --i) expected_closes.push_back(i);
  expected_closes.insert(expected_closes.end(), {71, 70});
  for (int i = 44; i >= 38; --i) expected_closes.push_back(i);
  expected_closes.insert(expected_closes.end(), {5, 4, 3, 2, 1, 0});
  EXPECT_EQ(closes, expected_closes);
}

}  // namespace
}  // namespace qvi::events_test
