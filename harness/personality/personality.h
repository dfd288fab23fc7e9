// A 32-bit DLL loaded as Windows 95's or Windows NT 4.0's loader would load
// it, on a Windows (or a Wine) that has every function of every version.
// Before any code of the file runs, it is refused for what that system's
// loader refuses; otherwise it runs with what that system offers: Windows
// 95's stubs fail, and GetProcAddress finds nothing the system lacks. What
// each system offers is the floor (docs/windows-floor.tsv, built in).
#pragma once

#include <windows.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qvi::personality {

enum class System { kWindows95, kWindowsNT40 };

// Exported and implemented; exported but failing every call with
// ERROR_CALL_NOT_IMPLEMENTED (Windows 95's Unicode functions, mostly); not
// exported.
enum class Presence { kYes, kStub, kNo };

struct FloorEntry {
  std::string dll;  // lower case, "kernel32.dll"
  std::string function;
  Presence windows95;
  Presence nt40;  // kYes or kNo
};
using Floor = std::vector<FloorEntry>;

// The floor of docs/windows-floor.tsv as the build was configured.
const Floor& BuiltInFloor();

// "win95" and "nt40", as command lines (and Wine's version setting) spell them.
std::optional<System> SystemNamed(std::string_view name);
// "Windows 95", "Windows NT 4.0".
const char* SystemName(System system);

// The system's loader would not load the file; what() names every reason.
class Refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Loads the DLL at `path` as `system` would, its imports bound to what
// `floor` says the system has, and runs its DllMain through the loader, so
// that a later LoadLibrary of the same path (COM's, for a registered server)
// finds it. Returns the module with one reference, as LoadLibrary does. A
// function the floor does not list is one the system lacks. Throws Refused,
// with nothing of the file run, for: an import the system lacks, or one it
// only stubs and this host cannot fail as it does; a TLS directory; an
// operating system or subsystem version above 4.0; a file that is not 32-bit
// x86 (and in a 64-bit process, any file). Throws std::runtime_error when the
// file cannot be mapped, this Windows lacks a function the floor has, or the
// file's DllMain fails.
HMODULE LoadAs(System system, const std::wstring& path, const Floor& floor = BuiltInFloor());

}  // namespace qvi::personality
