// A snap-in loaded by the replacement host on an emulated machine, with the
// means to read back what an event left in the host, the registry, the
// settings files and the debug log.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emu/machine.h"
#include "faults/fault_injection.h"
#include "host/dispid.h"
#include "replacement_host/replacement_host.h"
#include "replacement_host/session.h"
#include "testing/temp_folder.h"

namespace qvi::events_test {

inline constexpr const char* kWindowsDir = "C:\\WINNT";
inline constexpr const char* kHklm = "HKEY_LOCAL_MACHINE\\";
inline const std::string kBcDefaults = std::string(kHklm) + "SOFTWARE\\Halvorn\\Tessaly\\Management Console\\BC Defaults";

// A host installing the console on Windows NT, machine SRV1, drive C, debug
// messages to the log.
rhost::HostConfig NtHostConfig();
// The same host removing the console.
rhost::HostConfig RemovalHostConfig();

// The text of a REG_SZ value: its bytes up to the first NUL.
std::string Text(const emu::RegistryValue& value);

// A registry call the snap-in made, with the number of host calls made
// before it, so that the order of registry work and host calls can be judged.
struct PlatformCall {
  faults::Function function;
  std::string argument;       // the sub key or value name, "" when none
  platform::HKey key = 0;     // the handle worked on
  platform::HKey result = 0;  // the handle a create or open returned
  std::size_t host_calls_before = 0;
};

class EventTest : public ::testing::Test {
 protected:
  EventTest();

  // Makes a new machine in a folder of its own.
  void OpenMachine(const emu::MachineSettings& settings = {});
  // Starts a fresh load of the snap-in under a new host and creates the control.
  void Start(rhost::HostConfig config = NtHostConfig());
  rhost::EventOutcome Raise(const std::string& event, const std::string& argument = "");

  // The calls the snap-in made on QviPublic during `event`, written as
  // `8("TYConsole", 0)`, strings unescaped. The debug channel's parameter reads (DISPID 25) are
  // left out: they follow the debug level, not the event's work.
  std::vector<std::string> Calls(const std::string& event) const;
  // Fails the `occurrence`-th DISPID `id` call from now on; 0 fails every one.
  void FailHostCall(host::DispId id, int occurrence);
  // The one failed call of `event`, written as by Calls(), strings unescaped.
  std::string FailedCall(const std::string& event) const;
  // The registry calls made since the `from`-th, of `function` only.
  std::vector<PlatformCall> RegistryCalls(faults::Function function, std::size_t from = 0) const;

  std::optional<emu::RegistryKey> Key(const std::string& path) const;
  bool KeyExists(const std::string& path) const { return Key(path).has_value(); }

  void WriteKethraIni(const std::string& content);
  // The debug log "ods.txt" at the root of drive C, split into its CRLF lines.
  std::vector<std::string> LogLines() const;

  ModuleState& State() { return session_->library().state(); }

  testing::TempFolder dir_;
  int machines_ = 0;
  std::unique_ptr<emu::Machine> machine_;
  std::unique_ptr<faults::FaultInjectingPlatform> faults_;
  std::unique_ptr<platform::Platform> recorder_;
  std::vector<PlatformCall> platform_calls_;
  std::unique_ptr<rhost::ReplacementHost> host_;
  std::unique_ptr<rhost::Session> session_;

 private:
  std::string ReadFile(const std::string& windows_path) const;
};

}  // namespace qvi::events_test
