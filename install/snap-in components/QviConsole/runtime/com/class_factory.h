// The one class factory, and DllGetClassObject's answer from a table of the
// binary's classes.
#pragma once

#include <functional>
#include <span>

#include "runtime/com/object.h"

namespace qvi::com {

class ClassFactory final : public Object<ClassFactory, IClassFactory> {
 public:
  // Makes an object of the class and answers `riid`; its HRESULT is
  // CreateInstance's.
  using Create = std::function<HRESULT(REFIID riid, void** object)>;

  // A factory does not keep the binary loaded; LockServer does.
  explicit ClassFactory(Create create) : Object(false), create_(std::move(create)) {}

  static std::span<const InterfaceEntry> InterfaceTable() noexcept;

  // Refuses aggregation (CLASS_E_NOAGGREGATION).
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  Create create_;
};

struct ClassEntry {
  const CLSID* clsid;
  HRESULT (*create)(REFIID riid, void** object);
};

// A new factory for `clsid` answering `riid`, or CLASS_E_CLASSNOTAVAILABLE
// for a class that `classes` does not hold.
HRESULT GetClassObject(std::span<const ClassEntry> classes, REFCLSID clsid, REFIID riid, void** object) noexcept;

}  // namespace qvi::com
