#include "scenario/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emu/machine.h"
#include "platform/win32_types.h"
#include "runtime/errors.h"
#include "testing/golden.h"
#include "testing/temp_folder.h"

namespace qvi::scenario {
namespace {

using platform::kRegSz;
namespace win32 = platform::win32;

const auto* Bytes(const char* text) { return reinterpret_cast<const std::uint8_t*>(text); }

// The recorder sees each call as the snap-in does, an injected failure as
// that call's result, in front of a machine the failed call never reached;
// handles read as the keys they were opened on; host calls fall between the
// platform calls in the order made, a refused one injected only when the
// scenario's failures name its occurrence; each call under its event; the
// end of an enumeration is no failure.
TEST(TraceTest, RecordsEveryCallAsTheSnapInSawItInTheOrderMade) {
  testing::TempFolder folder;
  const auto machine = emu::Machine::Open(folder.path() / "m", std::nullopt, emu::Durability::kDiscarded);
  rhost::HostConfig config;
  config.failures = {{host::Control::kQviPublic, 13, 2, 440, "Automation error"}};
  rhost::ReplacementHost host(config);
  faults::FaultInjectingPlatform faulty(*machine);
  faulty.FailCall(faults::Function::kRegSetValueExA, 2, win32::kAccessDenied);
  faulty.FailCall(faults::Function::kWritePrivateProfileStringA, 1, win32::kDiskFull);
  RecordingPlatform os(faulty, host);
  const auto invoke = [&host](std::vector<host::Argument> args) {
    try {
      host.QviPublic().Invoke(13, args);
    } catch (const Error&) {
    }
  };

  host.BeginEvent("qviSetup");
  platform::HKey key = platform::kNoKey;
  os.RegCreateKeyA(platform::kHkeyLocalMachine, "SOFTWARE\\X", &key);
  char name[16];
  os.RegEnumKeyA(key, 0, name, sizeof name);
  os.RegSetValueExA(key, "Pager", 0, kRegSz, Bytes("AT"), 3);
  invoke({{host::Variant(1), false}});
  os.RegSetValueExA(key, "Modem", 0, kRegSz, Bytes("COM1"), 5);
  invoke({});
  os.RegCloseKey(key);
  host.BeginEvent("qviPostSetup");
  os.WritePrivateProfileStringA("S", "K", "V", "C:\\x.ini");
  os.RegEnumKeyA(platform::kHkeyLocalMachine, 0, name, sizeof name);

  std::string lines;
  for (const TracedCall& call : MergeTrace(os.calls(), host.calls(), config.failures)) {
    lines += std::to_string(call.seq) + (call.kind == TracedCall::Kind::kHost ? " host " : " os ") + call.event +
             (call.failed ? " failed " : " ") + TraceLine(call) + "\n";
  }
  qvi::testing::ExpectApproved(std::filesystem::path(QVI_GOLDEN_DIR) / "trace.txt", lines);
  ASSERT_EQ(machine->RegOpenKeyExA(platform::kHkeyLocalMachine, "SOFTWARE\\X", 0, platform::kKeyAllAccess, &key),
            win32::kSuccess);
  std::uint32_t size = 0;
  EXPECT_EQ(machine->RegQueryValueExA(key, "Pager", nullptr, nullptr, &size), win32::kSuccess);
  EXPECT_EQ(machine->RegQueryValueExA(key, "Modem", nullptr, nullptr, &size), win32::kFileNotFound);
}

}  // namespace
}  // namespace qvi::scenario
