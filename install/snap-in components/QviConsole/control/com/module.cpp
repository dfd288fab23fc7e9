// The library's entry points and the state of one loaded copy.
#include "control/com/module.h"

#include <olectl.h>

#include <memory>
#include <new>

#include "QviConsole.h"
#include "control/com/kit_controls.h"
#include "control/com/qv_console_object.h"
#include "control/com/registration.h"
#include "platform/win32/win32_platform.h"

namespace qvi::com::module {

namespace {

HINSTANCE g_instance = nullptr;
LONG g_objects = 0;
LONG g_locks = 0;

struct LoadedLibrary {
  platform::win32api::Win32Platform os;
  ComFormControls form_controls;
  SnapInLibrary library{form_controls, os};
};
// frmCommon is released before the kit controls it was placed with, which
// the member order of LoadedLibrary gives.
std::unique_ptr<LoadedLibrary> g_loaded;

class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // The factory is static; LockServer is what keeps the library loaded.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return CreateQVConsole(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    Lock(lock != FALSE);
    return S_OK;
  }
};

ClassFactory g_factory;

}  // namespace

std::wstring Path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(g_instance, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

HRESULT LoadTypeLibrary(ITypeLib** library) {
  const std::wstring path = Path();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  return LoadTypeLibEx(path.c_str(), REGKIND_NONE, library);
}

void ObjectCreated() { InterlockedIncrement(&g_objects); }
void ObjectDestroyed() { InterlockedDecrement(&g_objects); }
void Lock(bool lock) {
  if (lock) {
    InterlockedIncrement(&g_locks);
  } else {
    InterlockedDecrement(&g_locks);
  }
}

SnapInLibrary& Library() {
  if (!g_loaded) g_loaded = std::make_unique<LoadedLibrary>();
  return g_loaded->library;
}

bool CanUnload() {
  if (g_objects != 0 || g_locks != 0) return false;
  g_loaded.reset();
  return true;
}

IClassFactory& Factory() { return g_factory; }

}  // namespace qvi::com::module

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    qvi::com::module::g_instance = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_QVConsole)) return CLASS_E_CLASSNOTAVAILABLE;
  return qvi::com::module::Factory().QueryInterface(riid, object);
}

STDAPI DllCanUnloadNow() {
  try {
    return qvi::com::module::CanUnload() ? S_OK : S_FALSE;
  } catch (...) {
    return S_FALSE;
  }
}

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
