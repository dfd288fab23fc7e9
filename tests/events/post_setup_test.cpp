// qviPostSetup on Windows 95: the OLE/DCOM registration in its three phases,
// before any host call of the event. What it writes is pinned by the approved
// report of install-95; the order of the calls is not in any report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "events/event_fixture.h"
#include "faults/forwarding_platform.h"

namespace qvi::events_test {
namespace {

using faults::Function;
using platform::HKey;
using platform::Status;

// A registry call, with the number of host calls made before it.
struct PlatformCall {
  Function function;
  std::string sub_key;  // of a create
  HKey key = 0;         // the handle worked on
  HKey result = 0;      // the handle a create returned
  std::size_t host_calls_before = 0;
};

class Recorder final : public faults::ForwardingPlatform {
 public:
  Recorder(platform::Platform& inner, const rhost::ReplacementHost& host) : ForwardingPlatform(inner), host_(host) {}
  Status RegCreateKeyA(HKey key, const char* sub_key, HKey* result) override {
    const Status status = inner().RegCreateKeyA(key, sub_key, result);
    calls.push_back({Function::kRegCreateKeyA, sub_key, key, status == 0 ? *result : 0, host_.calls().size()});
    return status;
  }
  Status RegSetValueExA(HKey key, const char* name, std::uint32_t reserved, std::uint32_t type,
                        const std::uint8_t* data, std::uint32_t size) override {
    calls.push_back({Function::kRegSetValueExA, "", key, 0, host_.calls().size()});
    return inner().RegSetValueExA(key, name, reserved, type, data, size);
  }
  Status RegCloseKey(HKey key) override {
    calls.push_back({Function::kRegCloseKey, "", key, 0, host_.calls().size()});
    return inner().RegCloseKey(key);
  }
  std::vector<PlatformCall> calls;

 private:
  const rhost::ReplacementHost& host_;
};

class PostSetupTest : public EventTest {
 protected:
  ~PostSetupTest() override { session_.reset(); }
  platform::Platform& Os() override {
    recorder_ = std::make_unique<Recorder>(*faults_, *host_);
    return *recorder_;
  }
  std::unique_ptr<Recorder> recorder_;
};

// The keys in the order phase 1 opens them:
//   0 CLSID, 1 class moniker, 2 InprocServer32, 3 ProgID, 4 File\CLSID,
//   5 Interface, 6-12 proxy/stub-only interfaces, 13-37 named interfaces,
//   38-44 NumMethods, 45-69 their ProxyStubClsid32, 70 OLE, 71 version marker.
TEST_F(PostSetupTest, Windows95OpensAllThenWritesAllThenClosesAllBeforeTheIcon) {
  Start(R"({"base": "install-95"})");
  Raise("qviSetup");
  const std::size_t start = recorder_->calls.size();
  const std::size_t host_calls_before = host_->calls().size();
  Raise("qviPostSetup");
  const std::vector<PlatformCall> calls(recorder_->calls.begin() + static_cast<std::ptrdiff_t>(start),
                                        recorder_->calls.end());

  std::vector<PlatformCall> creates;
  std::vector<std::string> opened;
  for (const PlatformCall& call : calls) {
    if (call.function != Function::kRegCreateKeyA) continue;
    creates.push_back(call);
    opened.push_back(call.sub_key.substr(call.sub_key.rfind('\\') + 1));
  }
  ASSERT_EQ(creates.size(), 72u);
  EXPECT_EQ(std::vector<std::string>(opened.begin(), opened.begin() + 6),
            (std::vector<std::string>{"CLSID", "{0000031A-0000-0000-C000-000000000046}", "InprocServer32", "ProgID",
                                      "CLSID", "Interface"}));
  for (std::size_t i : {6u, 12u, 45u, 69u}) EXPECT_EQ(opened[i], "ProxyStubClsid32") << i;
  EXPECT_EQ(opened[38] + " " + opened[44] + " " + opened[70] + " " + opened[71], "NumMethods NumMethods OLE InstalledVersion");

  // Writes and closes as the indices of the keys they work on.
  const auto index_of = [&](HKey handle) {
    for (std::size_t i = 0; i < creates.size(); ++i) {
      if (creates[i].result == handle) return static_cast<int>(i);
    }
    return -1;
  };
  std::vector<int> writes;
  std::vector<int> closes;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].host_calls_before, host_calls_before) << "registry call " << i << " after a host call";
    if (calls[i].function == Function::kRegSetValueExA) {
      EXPECT_TRUE(closes.empty()) << "a value written after a key was closed";
      writes.push_back(index_of(calls[i].key));
    } else if (calls[i].function == Function::kRegCloseKey) {
      closes.push_back(index_of(calls[i].key));
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
