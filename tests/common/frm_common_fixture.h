// A frmCommon on scripted host controls and an emulated machine, behind a
// platform that can be told to fail calls. The host's "System" directory is on
// drive C, so the log is "C:\ods.txt".
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/frm_common.h"
#include "emu/machine.h"
#include "faults/fault_injection.h"
#include "host/dispid.h"
#include "runtime/errors.h"
#include "testing/file_bytes.h"
#include "testing/scripted_host.h"
#include "testing/temp_folder.h"

namespace qvi::testing {

class FrmCommonTest : public ::testing::Test {
 protected:
  FrmCommonTest() {
    Directories({});
    Global({});
  }

  // The parameter lists: "Global" and any other sections.
  void Global(std::vector<std::string> entries, std::map<std::string, std::vector<std::string>> others = {}) {
    others["Global"] = std::move(entries);
    qvi_public.ServeLists(host::dispid::kGetParameter, std::move(others));
  }
  // The host's directory table, with the "System" directory unless given.
  void Directories(std::map<std::string, std::vector<std::string>> directories) {
    directories.try_emplace("System", std::vector<std::string>{"C:\\WINNT\\system32"});
    qvi_public.ServeLists(host::dispid::kGetDirectory, std::move(directories));
  }
  // The content of a file of the machine, "" when it does not exist.
  std::string FileText(const std::string& windows_path = "C:\\ods.txt") const {
    return ReadFileBytes(machine->MapPath(windows_path));
  }
  std::string Log() const { return FileText(); }
  void ClearLog() { std::filesystem::remove(machine->MapPath("C:\\ods.txt")); }
  bool LogExists() const { return std::filesystem::exists(machine->MapPath("C:\\ods.txt")); }
  // `count` report lines of frmCommon for the routine labelled `label`.
  static std::string Reports(const std::string& label, int count = 1) {
    std::string lines;
    for (int i = 0; i < count; ++i) lines += "(frmCommon) : Error in " + label + "\r\n";
    return lines;
  }
  const std::vector<emu::MessageBoxRecord>& Boxes() const { return machine->message_boxes(); }

  TempFolder dir;
  std::unique_ptr<emu::Machine> machine = emu::Machine::Open(dir.path() / "machine");
  faults::FaultInjectingPlatform os{*machine};
  ScriptedHost qvi_public;
  ScriptedHost qvi_ntnwsvc;
  FrmCommon frm{qvi_public, qvi_ntnwsvc, os};
};

}  // namespace qvi::testing
