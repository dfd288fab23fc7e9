// A DLL for the personality loader's tests, built without the C runtime:
// it imports exactly what its functions call, has no TLS directory but the
// one it may define itself, and runs no code before its own DllMain.
#include <windows.h>

extern "C" {

namespace {
HMODULE self = nullptr;
}

// Marks the process, so a test can tell whether the loader ever ran it.
BOOL WINAPI DllMainCRTStartup(HINSTANCE instance, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) {
    self = instance;
    SetEnvironmentVariableA("QVI_OLD_WINDOWS_DLL_RAN", "1");
  }
  return TRUE;
}

// Windows 95 only stubs both.
__declspec(dllexport) DWORD WINAPI FileNameLength() {
  wchar_t name[MAX_PATH];
  return GetModuleFileNameW(self, name, MAX_PATH);
}

__declspec(dllexport) LONG WINAPI OpenSoftwareKey() {
  HKEY key = nullptr;
  const LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, &key);
  if (status == ERROR_SUCCESS) RegCloseKey(key);
  return status;
}

__declspec(dllexport) FARPROC WINAPI LookUp(const char* dll, const char* function) {
  return GetProcAddress(GetModuleHandleA(dll), function);
}

#ifdef QVI_IMPORT_NEWER
// No Windows before Vista has it.
__declspec(dllexport) ULONGLONG WINAPI Uptime() { return GetTickCount64(); }
#endif

#ifdef QVI_TLS_DIRECTORY
// The linker points the header's TLS directory at _tls_used.
ULONG tls_index;
char tls_data[4];
extern const struct {
  const char *start, *end;
  ULONG* index;
  const void* callbacks;
  DWORD zero_fill, characteristics;
} _tls_used = {tls_data, tls_data + sizeof tls_data, &tls_index, nullptr, 0, 0};
#endif
}
