// qviPostSetup: the OLE/DCOM registration on Windows 95, then the console icon
// and its debug message on every platform.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "event_fixture.h"

namespace qvi::events_test {
namespace {

using ::testing::ElementsAre;
using platform::Function;

const std::string kClassesRoot = std::string(kHklm) + "SOFTWARE\\Classes";
const std::string kInterface = kClassesRoot + "\\Interface";
const std::string kClsid = std::string(kClasses) + "CLSID";
const std::string kMicrosoft = std::string(kHklm) + "SOFTWARE\\Microsoft";
const std::string kOle = kMicrosoft + "\\OLE";
const std::string kVersionMarker = kClsid + "\\{bdc67890-4fc0-11d0-a805-00aa006d2ea4}\\InstalledVersion";

class PostSetupTest : public EventTest {
 protected:
  void SetUpPlatform(std::int32_t platform_code) {
    rhost::HostConfig config = NtHostConfig();
    config.platform_code = platform_code;
    Start(config);
    Raise("qviSetup");
  }
};

TEST_F(PostSetupTest, Windows95RegistersEveryInterfaceAndClassAsStrings) {
  SetUpPlatform(2);
  ASSERT_FALSE(Raise("qviPostSetup").failed);

  int interfaces = 0, named = 0, proxy_stubs = 0, method_counts = 0;
  std::set<std::string> spelled;
  for (const std::string& root : {kClassesRoot, kMicrosoft}) {
    for (const emu::RegistryKey& key : KeysBelow(root)) {
      const std::string leaf = key.path.substr(key.path.rfind('\\') + 1);
      for (const emu::RegistryValue& value : key.values) {
        SCOPED_TRACE(key.path + " " + value.name);
        EXPECT_EQ(value.type, platform::kRegSz);
        EXPECT_EQ(value.data.size(), Text(value).size() + 1);
        EXPECT_EQ(value.name.empty(), root != kMicrosoft);
      }
      if (key.path.starts_with(kInterface + "\\") && key.path.rfind('\\') == kInterface.size()) {
        ++interfaces;
        named += key.values.empty() ? 0 : 1;
        spelled.insert(leaf);
      } else if (leaf == "ProxyStubClsid32") {
        proxy_stubs += Text(key.values.at(0)) == "{00000320-0000-0000-C000-000000000046}" ? 1 : 0;
      } else if (leaf == "NumMethods") {
        // The three methods of IUnknown are always counted.
        method_counts += std::stoi(Text(key.values.at(0))) >= 4 ? 1 : 0;
      }
    }
  }
  EXPECT_EQ(interfaces, 32);
  EXPECT_EQ(named, 25);
  EXPECT_EQ(proxy_stubs, 32);
  EXPECT_EQ(method_counts, 7);
  // Interfaces marshalled by the proxy/stub alone carry no name and no count.
  EXPECT_TRUE(Key(kInterface + "\\{0000010D-0000-0000-C000-000000000046}")->values.empty());
  EXPECT_FALSE(KeyExists(kInterface + "\\{0000010D-0000-0000-C000-000000000046}\\NumMethods"));
  for (const char* iid : {"{0000013a-0000-0000-C000-000000000046}", "{99caf010-415e-11cf-8814-00aa00b569f5}",
                          "{B196B284-BAB4-101A-B69C-00AA00341D07}", "{0C733A30-2A1C-11CE-ADE5-00AA0044773D}"}) {
    EXPECT_EQ(spelled.count(iid), 1u) << iid << " not spelled as registered";
  }
  const std::string moniker = kClsid + "\\{0000031A-0000-0000-C000-000000000046}";
  for (const auto& [path, name, text] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {kInterface + "\\{de2eacd0-9c9d-11cf-882a-00aa00b569f5}", "", "IFIllInfo"},
           {kInterface + "\\{B196B286-BAB4-101A-B69C-00AA00341D07}", "", "IConnectionPoint"},
           {kInterface + "\\{B196B286-BAB4-101A-B69C-00AA00341D07}\\NumMethods", "", "8"},
           {kClsid, "", "{0000031A-0000-0000-C000-000000000046}"},
           {moniker, "", "ClassMoniker"},
           {moniker + "\\InprocServer32", "", "ole32.dll"},
           {moniker + "\\ProgID", "", "clsid"},
           {std::string(kClasses) + "File\\CLSID", "", "{00000303-0000-0000-C000-000000000046}"},
           {kOle, "EnableDCOM", "Y"},
           {kOle, "EnableRemoteConnect", "N"},
           {kVersionMarker, "", "4,71,0,426"},
       }) {
    EXPECT_EQ(ValueText(path, name), text) << path << " " << name;
  }
}

TEST_F(PostSetupTest, Windows95OpensAllThenWritesAllThenClosesAllBeforeTheIcon) {
  SetUpPlatform(2);
  const std::size_t start = platform_calls_.size();
  const std::size_t host_calls_before = host_->calls().size();
  Raise("qviPostSetup");

  const auto creates = RegistryCalls(Function::kRegCreateKeyA, start);
  const auto closes = RegistryCalls(Function::kRegCloseKey, start);
  ASSERT_EQ(creates.size(), 72u);
  // Every key but the Interface root gets a value; the OLE key gets two.
  EXPECT_EQ(RegistryCalls(Function::kRegSetValueExA, start).size(), 72u);
  EXPECT_EQ(closes.size(), creates.size());
  EXPECT_EQ(platform_calls_.size() - start, 3 * 72u);

  int phase = 0;  // 0 open, 1 write, 2 close
  for (std::size_t i = start; i < platform_calls_.size(); ++i) {
    const PlatformCall& call = platform_calls_[i];
    const int call_phase =
        call.function == Function::kRegSetValueExA ? 1 : (call.function == Function::kRegCloseKey ? 2 : 0);
    EXPECT_GE(call_phase, phase) << "registry call " << i - start << " goes back a phase";
    phase = call_phase;
    EXPECT_EQ(call.host_calls_before, host_calls_before) << "registry call " << i - start << " after a host call";
  }
  // The last proxy/stub key opened is closed first, the CLSID root last.
  EXPECT_EQ(creates[creates.size() - 3].argument, "ProxyStubClsid32");
  EXPECT_EQ(closes.front().key, creates[creates.size() - 3].result);
  EXPECT_EQ(creates.front().argument, "CLSID");
  EXPECT_EQ(closes.back().key, creates.front().result);
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
  EXPECT_EQ(ValueText(kClsid, ""), "{0000031A-0000-0000-C000-000000000046}");
  EXPECT_EQ(ValueText(std::string(kClasses) + "File\\CLSID", ""), "{00000303-0000-0000-C000-000000000046}");
  EXPECT_EQ(ValueText(kOle, "EnableRemoteConnect") + ValueText(kVersionMarker, ""), "N4,71,0,426");
  EXPECT_EQ(host_->state().icons.size(), 1u);
}

// Elsewhere than on Windows 95 (NT, or a load that never ran qviSetup) the
// registry is left alone; the title and folder are asked for again for the
// message, which shows the console name twice and the host's answer.
TEST_F(PostSetupTest, OtherPlatformsGetOnlyTheIconAndItsMessage) {
  // A fresh load has no console directory and the host may answer anything.
  for (const auto& [setup, icon_result, console_dir] : std::vector<std::tuple<bool, std::int32_t, std::string>>{
           {true, 1, "C:\\Program Files\\Tessaly\\Quorvex"}, {false, -7, ""}}) {
    SCOPED_TRACE(setup ? "NT" : "fresh load");
    OpenMachine();
    Start();
    if (setup) Raise("qviSetup");
    host_->mutable_config().icon_result = icon_result;
    const std::size_t start = platform_calls_.size();
    Raise("qviPostSetup");

    EXPECT_EQ(platform_calls_.size(), start);
    EXPECT_THAT(Calls("qviPostSetup"),
                ElementsAre("20(7014)", "4(0)",
                            "6(\"Quorvex Console\", \"" + console_dir + "\\Quorvex.exe\", \"\", \"" +
                                kDefaultFolder + "\")",
                            "20(7014)", "4(0)", "8(\"System\", 0)"));
    EXPECT_THAT(LogLines(), ElementsAre("(QviConsole) : Installing icon: Quorvex Console\nConsoleDir$: " +
                                        console_dir + "\\Quorvex\nDefault Shell Folder: " +
                                        kDefaultFolder + "\nDefault Icon: " + std::to_string(icon_result)));
  }
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
    FailHostCall(c.dispid, c.occurrence);

    EXPECT_FALSE(Raise("qviPostSetup").failed);
    EXPECT_EQ(host_->state().icons.size(), c.icons);
    // The registry step has finished before any host call.
    EXPECT_EQ(ValueText(kOle, "EnableDCOM"), "Y");
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), c.last_line_end == nullptr ? 0u : 1u);
    if (c.last_line_end != nullptr) {
      EXPECT_TRUE(lines[0].ends_with(c.last_line_end)) << lines[0];
    }
  }
}

}  // namespace
}  // namespace qvi::events_test
