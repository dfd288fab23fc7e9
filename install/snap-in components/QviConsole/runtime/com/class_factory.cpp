#include "runtime/com/class_factory.h"

namespace qvi::com {

std::span<const InterfaceEntry> ClassFactory::InterfaceTable() noexcept {
  static constexpr InterfaceEntry kTable[] = {Entry<IClassFactory>(IID_IClassFactory)};
  return kTable;
}

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  return CatchAll([&] { return create_(riid, object); });
}

HRESULT ClassFactory::LockServer(BOOL lock) {
  Module::Lock(lock != FALSE);
  return S_OK;
}

HRESULT GetClassObject(std::span<const ClassEntry> classes, REFCLSID clsid, REFIID riid, void** object) noexcept {
  if (!object) return E_POINTER;
  *object = nullptr;
  for (const ClassEntry& entry : classes) {
    if (IsEqualCLSID(clsid, *entry.clsid)) {
      return CatchAll([&] { return Make<ClassFactory>(entry.create)->QueryInterface(riid, object); });
    }
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace qvi::com
