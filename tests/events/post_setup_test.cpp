// qviPostSetup: the OLE/DCOM registration on Windows 95, then the console icon
// and its debug message on every platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "event_fixture.h"
#include "host/dispid.h"

namespace qvi::events_test {
namespace {

using ::testing::ElementsAre;
using platform::Function;

const std::string kInterface = std::string(kClasses) + "Interface";
const std::string kClsid = std::string(kClasses) + "CLSID";
const std::string kOle = std::string(kHklm) + "SOFTWARE\\Microsoft\\OLE";
constexpr const char* kProxyStub = "{00000320-0000-0000-C000-000000000046}";

std::string LastComponent(const std::string& path) { return path.substr(path.rfind('\\') + 1); }

class PostSetupTest : public EventTest {
 protected:
  void SetUpPlatform(std::int32_t platform_code) {
    rhost::HostConfig config = NtHostConfig();
    config.platform_code = platform_code;
    Start(config);
    Raise("qviSetup");
  }

  // The interface keys directly below "Interface".
  std::vector<emu::RegistryKey> InterfaceKeys() const {
    std::vector<emu::RegistryKey> keys;
    for (emu::RegistryKey& key : KeysBelow(kInterface)) {
      if (key.path.find('\\', kInterface.size() + 1) == std::string::npos) keys.push_back(std::move(key));
    }
    return keys;
  }

  std::vector<PlatformCall> CallsOf(Function function, std::size_t from = 0) const {
    std::vector<PlatformCall> calls;
    for (std::size_t i = from; i < platform_calls_.size(); ++i) {
      if (platform_calls_[i].function == function) calls.push_back(platform_calls_[i]);
    }
    return calls;
  }
};

TEST_F(PostSetupTest, Windows95WritesTheProxyStubClassForEveryInterface) {
  SetUpPlatform(2);
  ASSERT_FALSE(Raise("qviPostSetup").failed);

  int proxy_stubs = 0;
  int method_counts = 0;
  for (const emu::RegistryKey& key : KeysBelow(kInterface)) {
    const std::string leaf = LastComponent(key.path);
    if (key.values.empty()) continue;  // an interface known by its proxy/stub alone
    ASSERT_EQ(key.values.size(), 1u) << key.path;
    const emu::RegistryValue& value = key.values.front();
    SCOPED_TRACE(key.path);
    EXPECT_EQ(value.name, "");
    EXPECT_EQ(value.type, platform::kRegSz);
    EXPECT_EQ(value.data.size(), Text(value).size() + 1);
    if (leaf == "ProxyStubClsid32") {
      ++proxy_stubs;
      EXPECT_EQ(Text(value), kProxyStub);
      EXPECT_EQ(value.data.size(), 39u);
    } else if (leaf == "NumMethods") {
      ++method_counts;
      // The three methods of IUnknown are always counted.
      EXPECT_GE(std::stoi(Text(value)), 4);
    }
  }
  EXPECT_EQ(proxy_stubs, 32);
  EXPECT_EQ(method_counts, 7);
}

TEST_F(PostSetupTest, Windows95NamesOnlyTheNamedInterfaces) {
  SetUpPlatform(2);
  Raise("qviPostSetup");

  const std::vector<emu::RegistryKey> interfaces = InterfaceKeys();
  ASSERT_EQ(interfaces.size(), 32u);
  const auto named = std::count_if(interfaces.begin(), interfaces.end(),
                                   [](const emu::RegistryKey& key) { return !key.values.empty(); });
  EXPECT_EQ(named, 25);
  // Interfaces marshalled by the proxy/stub alone carry no name and no count.
  const auto bare = Key(kInterface + "\\{0000010D-0000-0000-C000-000000000046}");
  ASSERT_TRUE(bare);
  EXPECT_TRUE(bare->values.empty());
  EXPECT_FALSE(KeyExists(bare->path + "\\NumMethods"));

  std::set<std::string> spelled;
  for (const emu::RegistryKey& key : interfaces) spelled.insert(LastComponent(key.path));
  for (const char* iid : {"{0000013a-0000-0000-C000-000000000046}", "{99caf010-415e-11cf-8814-00aa00b569f5}",
                          "{B196B284-BAB4-101A-B69C-00AA00341D07}", "{0C733A30-2A1C-11CE-ADE5-00AA0044773D}"}) {
    EXPECT_EQ(spelled.count(iid), 1u) << iid << " not spelled as registered";
  }
  EXPECT_EQ(Text(*Value(kInterface + "\\{de2eacd0-9c9d-11cf-882a-00aa00b569f5}", "")), "IFIllInfo");
  EXPECT_EQ(Text(*Value(kInterface + "\\{B196B286-BAB4-101A-B69C-00AA00341D07}", "")), "IConnectionPoint");
  EXPECT_EQ(Text(*Value(kInterface + "\\{B196B286-BAB4-101A-B69C-00AA00341D07}\\NumMethods", "")), "8");
}

TEST_F(PostSetupTest, Windows95WritesClassEntriesSwitchesAndVersionMarker) {
  SetUpPlatform(2);
  Raise("qviPostSetup");

  struct Expected {
    std::string path;
    const char* name;
    const char* text;
    std::size_t size;
  };
  for (const Expected& e : {
           Expected{kClsid, "", "{0000031A-0000-0000-C000-000000000046}", 39},
           Expected{kClsid + "\\{0000031A-0000-0000-C000-000000000046}", "", "ClassMoniker", 13},
           Expected{kClsid + "\\{0000031A-0000-0000-C000-000000000046}\\InprocServer32", "", "ole32.dll", 10},
           Expected{kClsid + "\\{0000031A-0000-0000-C000-000000000046}\\ProgID", "", "clsid", 6},
           Expected{std::string(kClasses) + "File\\CLSID", "", "{00000303-0000-0000-C000-000000000046}", 39},
           Expected{kOle, "EnableDCOM", "Y", 2},
           Expected{kOle, "EnableRemoteConnect", "N", 2},
           Expected{kClsid + "\\{bdc67890-4fc0-11d0-a805-00aa006d2ea4}\\InstalledVersion", "", "4,71,0,426", 11},
       }) {
    SCOPED_TRACE(e.path + " " + e.name);
    const auto value = Value(e.path, e.name);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, platform::kRegSz);
    EXPECT_EQ(Text(*value), e.text);
    EXPECT_EQ(value->data.size(), e.size);
  }
}

TEST_F(PostSetupTest, Windows95OpensAllThenWritesAllThenClosesAllBeforeTheIcon) {
  SetUpPlatform(2);
  const std::size_t start = platform_calls_.size();
  const std::size_t host_calls_before = host_->calls().size();
  Raise("qviPostSetup");

  const auto creates = CallsOf(Function::kRegCreateKeyA, start);
  const auto sets = CallsOf(Function::kRegSetValueExA, start);
  const auto closes = CallsOf(Function::kRegCloseKey, start);
  ASSERT_EQ(creates.size(), 72u);
  // Every key but the Interface root gets a value; the OLE key gets two.
  EXPECT_EQ(sets.size(), 72u);
  EXPECT_EQ(closes.size(), creates.size());

  int phase = 0;  // 0 open, 1 write, 2 close
  for (std::size_t i = start; i < platform_calls_.size(); ++i) {
    const PlatformCall& call = platform_calls_[i];
    int call_phase = 0;
    if (call.function == Function::kRegSetValueExA) {
      call_phase = 1;
    } else if (call.function == Function::kRegCloseKey) {
      call_phase = 2;
    } else if (call.function != Function::kRegCreateKeyA) {
      continue;
    }
    EXPECT_GE(call_phase, phase) << "registry call " << i - start << " goes back a phase";
    phase = call_phase;
    EXPECT_EQ(call.host_calls_before, host_calls_before) << "registry call " << i - start << " after a host call";
  }
  // The last proxy/stub key opened is closed first, the CLSID root last.
  EXPECT_EQ(closes.front().key, creates[creates.size() - 3].result);
  EXPECT_EQ(creates[creates.size() - 3].argument, "ProxyStubClsid32");
  EXPECT_EQ(closes.back().key, creates.front().result);
  EXPECT_EQ(creates.front().argument, "CLSID");
}

TEST_F(PostSetupTest, RunningTwiceLeavesTheSameRegistry) {
  SetUpPlatform(2);
  Raise("qviPostSetup");
  const std::vector<emu::RegistryKey> once = machine_->SnapshotRegistry();
  Raise("qviPostSetup");

  EXPECT_EQ(machine_->SnapshotRegistry(), once);
  EXPECT_EQ(host_->state().icons.size(), 2u);
}

TEST_F(PostSetupTest, UnopenableInterfaceRootSkipsOnlyTheInterfaces) {
  SetUpPlatform(2);
  // CLSID, the class moniker, InprocServer32, ProgID, File\CLSID, Interface.
  faults_->FailCall(Function::kRegCreateKeyA, 6, platform::win32::kAccessDenied);
  Raise("qviPostSetup");

  EXPECT_FALSE(KeyExists(kInterface));
  EXPECT_EQ(Text(*Value(kClsid, "")), "{0000031A-0000-0000-C000-000000000046}");
  EXPECT_EQ(Text(*Value(std::string(kClasses) + "File\\CLSID", "")), "{00000303-0000-0000-C000-000000000046}");
  EXPECT_EQ(Text(*Value(kOle, "EnableRemoteConnect")), "N");
  EXPECT_TRUE(Value(kClsid + "\\{bdc67890-4fc0-11d0-a805-00aa006d2ea4}\\InstalledVersion", ""));
  EXPECT_EQ(host_->state().icons.size(), 1u);
}

TEST_F(PostSetupTest, WindowsNtTouchesNoRegistryButGetsTheIcon) {
  for (const std::int32_t platform_code : {1, 0}) {
    SCOPED_TRACE(platform_code);
    OpenMachine();
    platform_calls_.clear();
    if (platform_code == 0) {
      Start();  // no qviSetup: LocalOSType stays 0
    } else {
      SetUpPlatform(platform_code);
    }
    const std::size_t start = platform_calls_.size();
    Raise("qviPostSetup");
    for (const Function f : {Function::kRegCreateKeyA, Function::kRegOpenKeyExA, Function::kRegSetValueExA}) {
      EXPECT_TRUE(CallsOf(f, start).empty()) << platform::FunctionName(f);
    }
    EXPECT_EQ(host_->state().icons.size(), 1u);
  }
}

TEST_F(PostSetupTest, IconRequestAsksForTitleAndFolderTwice) {
  rhost::HostConfig config = NtHostConfig();
  config.parameters.clear();
  Start(config);
  Raise("qviSetup");
  Raise("qviPostSetup");

  const std::string target = "C:\\Program Files\\Tessaly\\Quorvex\\Quorvex.exe";
  EXPECT_THAT(Calls("qviPostSetup"),
              ElementsAre("20(7014)", "4(0)",
                          "6(\"Quorvex Console\", \"" + target + "\", \"\", \"" + kDefaultFolder + "\")", "20(7014)",
                          "4(0)"));
}

TEST_F(PostSetupTest, IconMessageShowsTheConsoleNameTwiceAndTheHostsAnswer) {
  SetUpPlatform(1);
  Raise("qviPostSetup");

  EXPECT_THAT(LogLines(), ElementsAre(std::string("(QviConsole) : Installing icon: Quorvex Console\n") +
                                      "ConsoleDir$: C:\\Program Files\\Tessaly\\Quorvex\\Quorvex\n" +
                                      "Default Shell Folder: " + kDefaultFolder + "\nDefault Icon: 1"));
}

TEST_F(PostSetupTest, WithoutConsolePreparationTheTargetIsTheBareProgramName) {
  Start();
  host_->mutable_config().icon_result = -7;
  Raise("qviPostSetup");

  ASSERT_EQ(host_->state().icons.size(), 1u);
  EXPECT_EQ(host_->state().icons[0].target, "\\Quorvex.exe");
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\nConsoleDir$: \\Quorvex\n"), std::string::npos) << lines[0];
  EXPECT_TRUE(lines[0].ends_with("\nDefault Icon: -7")) << lines[0];
}

TEST_F(PostSetupTest, HostFailuresSkipOnlyTheirStatement) {
  struct Case {
    const char* name;
    host::DispId dispid;
    int occurrence;  // within the event; 0 every call
    std::size_t icons;
    const char* last_line_end;  // nullptr: no message
  };
  for (const Case& c : {
           Case{"icon request", host::dispid::kIconOperation, 1, 0, "\nDefault Icon: "},
           Case{"first title", host::dispid::kGetText, 1, 0, "\nDefault Icon: "},
           Case{"every title", host::dispid::kGetText, 0, 0, nullptr},
           Case{"second folder", host::dispid::kGetShellFolder, 2, 1, nullptr},
       }) {
    SCOPED_TRACE(c.name);
    OpenMachine();
    SetUpPlatform(2);
    FailHostCall(c.dispid, c.occurrence == 0 ? 0 : CountCalls(c.dispid) + c.occurrence);
    const rhost::EventOutcome outcome = Raise("qviPostSetup");

    EXPECT_FALSE(outcome.failed);
    EXPECT_EQ(host_->state().icons.size(), c.icons);
    // The registry step has finished before any host call.
    EXPECT_EQ(Text(*Value(kOle, "EnableDCOM")), "Y");
    const std::vector<std::string> lines = LogLines();
    if (c.last_line_end == nullptr) {
      EXPECT_TRUE(lines.empty());
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_TRUE(lines[0].ends_with(c.last_line_end)) << lines[0];
    }
  }
}

}  // namespace
}  // namespace qvi::events_test
