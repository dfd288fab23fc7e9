// A file in the running program's folder, where the Windows builds put what
// a test loads beside it.
#pragma once

#include <windows.h>

#include <cwchar>
#include <string>

namespace qvi::testing {

inline std::wstring BesideProgram(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, std::wcsrchr(path, L'\\') + 1) + name;
}

}  // namespace qvi::testing
