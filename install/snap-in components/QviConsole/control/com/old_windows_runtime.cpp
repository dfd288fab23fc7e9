// What the C and C++ runtimes linked into "QviConsole.ocx" ask of Windows,
// put on terms Windows 95 and NT 4.0 meet. docs/windows-floor.tsv lists what
// the file may import; tests/windows/check_floor.cmake holds it to that.
#include <windows.h>

#include <cerrno>

extern "C" {

// No TLS directory. The runtime's TLS support (its directory and callbacks)
// comes in with this pointer, which its DLL entry point calls when set.
// Windows 95's LoadLibrary refuses a DLL with a TLS directory, and NT 4.0
// does not set one up for a DLL loaded at run time. Nothing in the file uses
// static TLS: the compiler keeps thread-local data through TlsAlloc. What
// goes with it are the runtime's per-thread destructors, which would free
// the few bytes a thread that threw an exception through the library keeps
// until that thread ends.
extern const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = nullptr;

#if defined(__i386__)
// Imports of the runtime answered here, so that the file imports the ANSI
// functions Windows 95 implements instead of the wide ones it only stubs
// (they fail there with 120).

// A name as the ANSI functions take it; false (and the last error set) when
// it does not fit.
static bool ToAnsiName(LPCWSTR name, char (&ansi)[MAX_PATH]) {
  return WideCharToMultiByte(CP_ACP, 0, name, -1, ansi, sizeof ansi, nullptr, nullptr) != 0;
}

// The runtime's thread support makes its (unnamed) semaphores with it.
static HANDLE WINAPI CreateSemaphoreOnAnyWindows(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum,
                                                 LPCWSTR name) {
  char ansi[MAX_PATH];
  if (name == nullptr) return CreateSemaphoreA(attributes, initial, maximum, nullptr);
  return ToAnsiName(name, ansi) ? CreateSemaphoreA(attributes, initial, maximum, ansi) : nullptr;
}
extern const decltype(&CreateSemaphoreW) import_CreateSemaphoreW asm("__imp__CreateSemaphoreW@16");
const decltype(&CreateSemaphoreW) import_CreateSemaphoreW = &CreateSemaphoreOnAnyWindows;

// The C runtime asks with it whether its msvcrt.dll tells the locale's code
// page (older ones do not; it then reads it from the locale's name).
static HMODULE WINAPI GetModuleHandleOnAnyWindows(LPCWSTR name) {
  char ansi[MAX_PATH];
  if (name == nullptr) return GetModuleHandleA(nullptr);
  return ToAnsiName(name, ansi) ? GetModuleHandleA(ansi) : nullptr;
}
extern const decltype(&GetModuleHandleW) import_GetModuleHandleW asm("__imp__GetModuleHandleW@4");
const decltype(&GetModuleHandleW) import_GetModuleHandleW = &GetModuleHandleOnAnyWindows;

// The C runtime's rand_s (behind std::random_device, which the library never
// makes) finds the system's random generator through GetModuleHandleW and
// LoadLibraryW. Windows 95 and NT 4.0 have no such generator: there, as on
// any system without it, the answer is EINVAL.
static int __cdecl RandSOnAnyWindows(unsigned int* value) {
  using Generate = BOOLEAN(WINAPI*)(void*, ULONG);
  static const auto generate = reinterpret_cast<Generate>(
      reinterpret_cast<void*>(GetProcAddress(LoadLibraryA("advapi32.dll"), "SystemFunction036")));
  if (value == nullptr || generate == nullptr || !generate(value, sizeof *value)) return EINVAL;
  return 0;
}
using RandS = int(__cdecl*)(unsigned int*);
extern const RandS import_rand_s asm("__imp__rand_s");
const RandS import_rand_s = &RandSOnAnyWindows;
#endif

}  // extern "C"
