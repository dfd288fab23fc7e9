// The library's entry points and the state of one loaded copy.
#include "control/com/module.h"

#include <olectl.h>

#include "QviConsole.h"
#include "control/com/kit_controls.h"
#include "control/com/qv_console_object.h"
#include "control/com/registration.h"
#include "platform/win32/win32_platform.h"
#include "runtime/com/class_factory.h"

namespace qvi::com::module {

namespace {

HINSTANCE g_instance = nullptr;

struct LoadedLibrary {
  platform::win32api::Win32Platform os;
  ComFormControls form_controls;
  SnapInLibrary library{form_controls, os};
};
// frmCommon is released before the kit controls it was placed with, which
// the member order of LoadedLibrary gives.
//
// Only CanUnload releases the state. A process that unloads the library
// without DllCanUnloadNow having answered S_OK leaks it on purpose: releasing
// it then would release the host kit's controls inside DllMain, under the
// loader lock, where COM may not be called and the kit's DLL may already be
// gone. Hence a plain pointer, which no static destructor touches.
LoadedLibrary* g_loaded = nullptr;
// COM may call in from several threads (the class is apartment-threaded,
// and DllCanUnloadNow comes from any apartment): the state is made and
// released under this lock. A critical section, which Windows 95 and NT 4.0
// have (slim locks came later), made and deleted with the process's load of
// the library.
CRITICAL_SECTION g_loaded_lock;

class ExclusiveLock {
 public:
  explicit ExclusiveLock(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
  ~ExclusiveLock() { LeaveCriticalSection(&lock_); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  CRITICAL_SECTION& lock_;
};

constexpr ClassEntry kClasses[] = {{&CLSID_QVConsole, &CreateQVConsole}};

}  // namespace

std::string Path() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = GetModuleFileNameA(g_instance, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::string();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

HRESULT LoadTypeLibrary(ComPtr<ITypeLib>& library) {
  const std::string path = Path();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  return LoadTypeLibEx(FromAnsi(path).c_str(), REGKIND_NONE, library.ReleaseAndGetAddressOf());
}

SnapInLibrary& Library() {
  const ExclusiveLock lock(g_loaded_lock);
  if (!g_loaded) g_loaded = new LoadedLibrary();
  return g_loaded->library;
}

bool CanUnload() noexcept {
  const ExclusiveLock lock(g_loaded_lock);
  if (!Module::Idle()) return false;
  delete std::exchange(g_loaded, nullptr);
  return true;
}

}  // namespace qvi::com::module

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    qvi::com::module::g_instance = instance;
    InitializeCriticalSection(&qvi::com::module::g_loaded_lock);
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH) {
    DeleteCriticalSection(&qvi::com::module::g_loaded_lock);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
  return qvi::com::GetClassObject(qvi::com::module::kClasses, clsid, riid, object);
}

STDAPI DllCanUnloadNow() { return qvi::com::module::CanUnload() ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
  try {
    return qvi::com::Register(qvi::com::module::Path());
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}

STDAPI DllUnregisterServer() {
  try {
    return qvi::com::Unregister(qvi::com::module::Path());
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}
