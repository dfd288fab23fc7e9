#include <array>
#include <cstdint>
#include <string>

#include "control/qv_console.h"
#include "runtime/errors.h"
#include "platform/qvi_common.h"
#include "provisioning/registry_string.h"

namespace qvi {

namespace {

constexpr const char* kBcDefaultsKey = "SOFTWARE\\Halvorn\\Tessaly\\Management Console\\BC Defaults";
constexpr const char* kConsoleSuffix = "\\Quorvex";

enum Device : std::size_t { kAutoAnswer, kModem, kPager, kDeviceCount };
constexpr std::array<const char*, kDeviceCount> kDeviceKeys = {"AutoAnswer", "Modem", "Pager"};

struct AlertDefault {
  Device device;
  const char* name;
  const char* data;
};

// The starting settings of the alerting devices, in the order they are
// written. The alerting components read them as strings, numbers included.
constexpr std::array<AlertDefault, 30> kAlertDefaults = {{
    {kAutoAnswer, "BAUD", "38400"},
    {kAutoAnswer, "PARITY", "2"},
    {kAutoAnswer, "Data Bits", "8"},
    {kAutoAnswer, "Stop Bits", "1"},
    {kAutoAnswer, "Flow Control", "0"},
    {kAutoAnswer, "Dial String", "AT"},
    {kModem, "BAUD", "38400"},
    {kModem, "PARITY", "2"},
    {kModem, "Data Bits", "8"},
    {kModem, "Stop Bits", "1"},
    {kModem, "Flow Control", "0"},
    {kModem, "Dial String", "AT"},
    {kModem, "Daybegin", "0"},
    {kModem, "DayEnd", "6"},
    {kModem, "TimeBegin", "00:00"},
    {kModem, "TimeEnd", "23:59"},
    {kModem, "Dial Mode", "1"},
    {kPager, "BAUD", "2400"},
    {kPager, "PARITY", "1"},
    {kPager, "Data Bits", "7"},
    {kPager, "Stop Bits", "1"},
    {kPager, "Flow Control", "0"},
    {kPager, "Dial String", "AT&M0"},
    {kPager, "Daybegin", "0"},
    {kPager, "DayEnd", "6"},
    {kPager, "TimeBegin", "00:00"},
    {kPager, "TimeEnd", "23:59"},
    {kPager, "AlphaPagerID", "PG1"},
    {kPager, "AlphaDialString", "AT&M0"},
    {kPager, "Dial Mode", "1"},
}};

}  // namespace

void QVConsole::PrepareConsoleComponent() {
  const OnError statement = OnError::ResumeNext();

  // When the host cannot say whether it installs, the installing branch runs:
  // the flag starts on it and a failing query leaves it there.
  bool installing = true;
  statement([&] { installing = QviPublic1.IsInstalling().ToInt32() != 0; });

  std::string base;
  if (installing) {
    statement([&] { base = QviPublic1.GetDirectory("TYConsole", std::int32_t{0}); });
    statement([&] { state_.ConsoleDir = base + kConsoleSuffix; });

    platform::HKey bc_defaults = platform::kNoKey;
    std::array<platform::HKey, kDeviceCount> devices{};
    statement([&] { os_.RegCreateKeyA(platform::kHkeyLocalMachine, kBcDefaultsKey, &bc_defaults); });
    for (std::size_t device = 0; device < kDeviceCount; ++device) {
      statement([&] { os_.RegCreateKeyA(bc_defaults, kDeviceKeys[device], &devices[device]); });
    }
    // Nothing is read first: every installation puts the defaults back.
    for (const AlertDefault& row : kAlertDefaults) {
      statement([&] { SetRegistryString(os_, devices[row.device], row.name, row.data); });
    }
    for (const platform::HKey key : {devices[kAutoAnswer], devices[kModem], devices[kPager], bc_defaults}) {
      if (key != platform::kNoKey) statement([&] { os_.RegCloseKey(key); });
    }
  } else {
    statement([&] { base = QviPublic1.GetRemovalDirectory("TYConsole", "", std::int32_t{1}); });
    if (state_.LocalOSType == kOsWindowsNT) {
      statement([&] { state_.ConsoleDir = platform::MakeLocalUNC(os_, base) + kConsoleSuffix; });
    } else {
      statement([&] { state_.ConsoleDir = base + kConsoleSuffix; });
    }
  }

  if (state_.LocalOSType != kOsWindowsNT) {
    statement([&] { state_.WindowsDir = QviPublic1.GetDirectory("windows", std::int32_t{0}); });
    statement([&] { state_.SystemDir = QviPublic1.GetDirectory("System", std::int32_t{0}); });
  } else {
    statement([&] {
      state_.WindowsDir = platform::MakeLocalUNC(os_, QviPublic1.GetDirectory("windows", std::int32_t{0}));
    });
    statement([&] {
      state_.SystemDir = platform::MakeLocalUNC(os_, QviPublic1.GetDirectory("system", std::int32_t{0}));
    });
  }

  statement([&] { QviPublic1.SetDirectory("QVConsole", host::Arg::Ref(state_.ConsoleDir), std::int32_t{0}); });
  statement([&] { QviPublic1.SetDestinationDir("windows", host::Arg::Ref(state_.WindowsDir)); });
  statement([&] { QviPublic1.SetDestinationDir("system", host::Arg::Ref(state_.SystemDir)); });
  statement([&] { QviPublic1.SetDestinationDir("console", host::Arg::Ref(state_.ConsoleDir)); });

  // A fresh query rather than LocalOSType, which a removal may never have
  // set; a failing query goes on with "NT" as the first branch.
  bool windows_nt = true;
  statement([&] {
    std::int32_t scratch = 0;
    windows_nt = QviPublic1.GetPlatform(host::Arg::Ref(scratch)).ToInt32() == 1;
  });
  if (windows_nt) {
    statement([&] { QviPublic1.SetCopySection("NT"); });
  } else {
    statement([&] { QviPublic1.SetCopySection("95"); });
  }
  statement([&] { QviPublic1.SetCopySection("Common"); });
}

}  // namespace qvi
