// A frmCommon on scripted host controls and an in-memory platform. The
// host's "System" directory is on drive C, so the log is "C:\ods.txt".
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/frm_common.h"
#include "fakes.h"

namespace qvi::testing {

inline constexpr const char* kLogPath = "C:\\ods.txt";

class FrmCommonTest : public ::testing::Test {
 protected:
  FrmCommonTest() {
    Directories({});
    Global({});
  }

  // The parameter lists: "Global" and any other sections.
  void Global(std::vector<std::string> entries, std::map<std::string, std::vector<std::string>> others = {}) {
    others["Global"] = std::move(entries);
    qvi_public.ServeParameters(std::move(others));
  }
  // The host's directory table, with the "System" directory unless given.
  void Directories(std::map<std::string, std::vector<std::string>> directories) {
    directories.try_emplace("System", std::vector<std::string>{"C:\\WINNT\\system32"});
    qvi_public.ServeDirectories(std::move(directories));
  }
  std::string Log() const {
    const auto it = os.files.find(kLogPath);
    return it == os.files.end() ? "" : it->second;
  }

  ScriptedHost qvi_public;
  ScriptedHost qvi_ntnwsvc;
  RecordingPlatform os;
  FrmCommon frm{qvi_public, qvi_ntnwsvc, os};
};

}  // namespace qvi::testing
