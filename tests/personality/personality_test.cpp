// The personality loader on DLLs built for it (old_windows_dll.cpp), under a
// floor of the test's own: the built-in one is the control's, and its values
// are not this test's to rely on.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <tuple>

#include "personality/personality.h"
#include "testing/beside_program.h"
#include "testing/error_of.h"

namespace {

using namespace qvi::personality;

constexpr const char* kRan = "QVI_OLD_WINDOWS_DLL_RAN";  // set by the test DLLs' DllMain

const Floor kFloor = {
    {"advapi32.dll", "RegOpenKeyExW", Presence::kStub, Presence::kYes},
    {"advapi32.dll", "RegCloseKey", Presence::kYes, Presence::kYes},
    {"kernel32.dll", "GetModuleFileNameW", Presence::kStub, Presence::kYes},
    {"kernel32.dll", "GetModuleHandleA", Presence::kYes, Presence::kYes},
    {"kernel32.dll", "GetProcAddress", Presence::kYes, Presence::kYes},
    {"kernel32.dll", "SetEnvironmentVariableA", Presence::kYes, Presence::kYes},
    {"kernel32.dll", "IsDebuggerPresent", Presence::kNo, Presence::kYes},
    {"kernel32.dll", "GetTickCount64", Presence::kNo, Presence::kNo},
};

// This Windows's own loader, then the two personalities.
const std::optional<System> kLoaders[] = {std::nullopt, System::kWindows95, System::kWindowsNT40};

template <class Function>
Function Cast(FARPROC proc) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

// old_windows.dll, loaded by one of kLoaders while it lives.
struct OldWindowsDll {
  explicit OldWindowsDll(std::optional<System> system)
      : module(system ? LoadAs(*system, path, kFloor) : LoadLibraryW(path.c_str())) {}
  ~OldWindowsDll() { FreeLibrary(module); }
  template <class Function>
  Function Export(const char* name) const {
    return Cast<Function>(GetProcAddress(module, name));
  }
  const std::wstring path = qvi::testing::BesideProgram(L"old_windows.dll");
  const HMODULE module;
};

TEST(PersonalityTest, Windows95sStubsFailWhereNT40sFunctionsWork) {
  for (const std::optional<System>& loader : kLoaders) {
    SCOPED_TRACE(loader ? SystemName(*loader) : "this Windows");
    const bool stubbed = loader == System::kWindows95;
    const std::wstring path = qvi::testing::BesideProgram(L"old_windows.dll");
    {
      const OldWindowsDll dll(loader);
      SetLastError(0);
      EXPECT_EQ(dll.Export<DWORD(WINAPI*)()>("FileNameLength")(), stubbed ? 0u : path.size());
      EXPECT_EQ(GetLastError(), stubbed ? ERROR_CALL_NOT_IMPLEMENTED : 0u);
      SetLastError(0);
      EXPECT_EQ(dll.Export<LONG(WINAPI*)()>("OpenSoftwareKey")(), stubbed ? ERROR_CALL_NOT_IMPLEMENTED : ERROR_SUCCESS);
      EXPECT_EQ(GetLastError(), stubbed ? ERROR_CALL_NOT_IMPLEMENTED : 0u);
    }
    EXPECT_EQ(GetModuleHandleW(path.c_str()), nullptr) << "a reference of the loader's own is left";
  }
}

// What the DLL's GetProcAddress finds under each of kLoaders: the real
// function, Windows 95's stub (which fails), or nothing.
TEST(PersonalityTest, GetProcAddressFindsWhatTheSystemExports) {
  enum Found { kReal, kStub, kNone };
  const std::tuple<const char*, const char*, std::array<Found, 3>> look_ups[] = {
      {"kernel32.dll", "GetModuleHandleA", {kReal, kReal, kReal}},
      {"kernel32.dll", "IsDebuggerPresent", {kReal, kNone, kReal}},
      {"kernel32.dll", "GetTickCount64", {kReal, kNone, kNone}},
      {"kernel32.dll", "VirtualAlloc", {kReal, kNone, kNone}},  // not on the floor
      {"kernel32.dll", "GetModuleFileNameW", {kReal, kStub, kReal}},
      {"ntdll.dll", "NtClose", {kReal, kReal, kReal}},  // a DLL the floor does not cover
  };
  for (std::size_t i = 0; i < std::size(kLoaders); ++i) {
    const OldWindowsDll dll(kLoaders[i]);
    const auto look_up = dll.Export<FARPROC(WINAPI*)(const char*, const char*)>("LookUp");
    for (const auto& [module, function, found] : look_ups) {
      const FARPROC real = GetProcAddress(GetModuleHandleA(module), function);
      const FARPROC seen = look_up(module, function);
      ASSERT_NE(real, nullptr) << function;
      EXPECT_EQ(seen == real ? kReal : seen == nullptr ? kNone : kStub, found[i]) << function << " loader " << i;
      if (seen != nullptr && seen != real) {
        wchar_t name[MAX_PATH];
        EXPECT_EQ(Cast<DWORD(WINAPI*)(HMODULE, LPWSTR, DWORD)>(seen)(nullptr, name, MAX_PATH), 0u);
        EXPECT_EQ(GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);
      }
    }
  }
}

// Every reason is told, and nothing of the file has run.
TEST(PersonalityTest, RefusesWhatTheSystemsLoaderRefusesBeforeAnyOfItRuns) {
  Floor unlisted = kFloor, unstubbable = kFloor;
  unlisted.erase(unlisted.begin() + 1);
  unstubbable[1].windows95 = Presence::kStub;
  const std::string newer =
      "its header's operating system version is 5.1, above 4.0; its header's subsystem "
      "version is 5.1, above 4.0; it imports kernel32.dll!GetTickCount64, which ";
  const std::tuple<const wchar_t*, System, const Floor*, std::string> refusals[] = {
      {L"newer.dll", System::kWindows95, &kFloor, newer + "Windows 95 does not export"},
      {L"newer.dll", System::kWindowsNT40, &kFloor, newer + "Windows NT 4.0 does not export"},
      {L"tls.dll", System::kWindows95, &kFloor,
       "it has a TLS directory, and Windows 95's LoadLibrary fails such a DLL with error 1114 (ERROR_DLL_INIT_FAILED)"},
      {L"tls.dll", System::kWindowsNT40, &kFloor,
       "it has a TLS directory, which NT 4.0 does not set up for a DLL that LoadLibrary loads: its thread-local data "
       "and TLS callbacks would be missing"},
      {L"old_windows.dll", System::kWindowsNT40, &unlisted,
       "it imports advapi32.dll!RegCloseKey, which is not on the floor"},
      {L"old_windows.dll", System::kWindows95, &unstubbable,
       "it imports advapi32.dll!RegCloseKey, which Windows 95 only stubs, and this host cannot fail it as the stub "
       "does"},
  };
  for (const auto& [name, system, floor, reasons] : refusals) {
    const std::wstring path = qvi::testing::BesideProgram(name);
    SetEnvironmentVariableA(kRan, nullptr);
    EXPECT_EQ(
        qvi::testing::ErrorOf<Refused>([&] { LoadAs(system, path, *floor); }),
        std::string(SystemName(system)) + " would not load " + std::string(path.begin(), path.end()) + ": " + reasons);
    EXPECT_EQ(GetModuleHandleW(path.c_str()), nullptr);
    EXPECT_EQ(GetEnvironmentVariableA(kRan, nullptr, 0), 0u) << "its DllMain ran";
  }
}

}  // namespace
