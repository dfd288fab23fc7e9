// The one base of every COM object: QueryInterface answered from the
// object's interface table, one atomic reference count, and the binary's
// count of live objects that DllCanUnloadNow answers from.
//
//   class Sink final : public Object<Sink, IDispatch, IProvideClassInfo> {
//    public:
//     static std::span<const InterfaceEntry> InterfaceTable() {
//       static constexpr InterfaceEntry kTable[] = {
//           Entry<IDispatch>(IID_IDispatch), Entry<IProvideClassInfo>(IID_IProvideClassInfo)};
//       return kTable;
//     }
//     ...
//   };
//   ComPtr<Sink> sink = Make<Sink>(...);
//
// IID_IUnknown answers the table's first interface, so every interface leads
// back to one identity. An object whose answers depend on its state, or on an
// IID known only when it runs, adds `void* OtherInterface(REFIID)`, asked
// after the table (null: not offered).
#pragma once

#include <unknwn.h>

#include <atomic>
#include <new>
#include <span>
#include <utility>

#include "runtime/com/com_ptr.h"

namespace qvi::com {

// What keeps the binary (the DLL or program linking this toolkit) loaded:
// its live objects and its server locks.
class Module {
 public:
  static long Objects() noexcept;
  static long Locks() noexcept;
  static void Lock(bool lock) noexcept;
  // No object lives and no lock is held.
  static bool Idle() noexcept { return Objects() == 0 && Locks() == 0; }

  // For Object only.
  static void ObjectCreated() noexcept;
  static void ObjectDestroyed() noexcept;
};

struct InterfaceEntry {
  const IID* iid;
  void* (*get)(void* object);
};

template <class Derived, class... Interfaces>
class Object : public Interfaces... {
 public:
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    auto* self = static_cast<Derived*>(this);
    const std::span<const InterfaceEntry> table = Derived::InterfaceTable();
    void* found = IsEqualIID(riid, IID_IUnknown) ? table.front().get(self) : nullptr;
    for (auto entry = table.begin(); !found && entry != table.end(); ++entry) {
      if (IsEqualIID(riid, *entry->iid)) found = entry->get(self);
    }
    if constexpr (requires(Derived& d, REFIID iid) { d.OtherInterface(iid); }) {
      if (!found) found = self->OtherInterface(riid);
    }
    if (!found) return E_NOINTERFACE;
    AddRef();
    *out = found;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete static_cast<Derived*>(this);
    return left;
  }

  // For tests and diagnostics.
  ULONG RefCount() const noexcept { return references_; }

 protected:
  // An object starts with one reference, its creator's. One that does not
  // keep the binary loaded (a class factory: LockServer does that) is not
  // counted among the live objects.
  explicit Object(bool keeps_module_loaded = true) noexcept : counted_(keeps_module_loaded) {
    if (counted_) Module::ObjectCreated();
  }
  virtual ~Object() {
    if (counted_) Module::ObjectDestroyed();
  }

  // A row of the interface table: `iid` answered by the object as `Interface`.
  template <class Interface>
  static constexpr InterfaceEntry Entry(const IID& iid) noexcept {
    return {&iid, &As<Interface>};
  }

 private:
  template <class Interface>
  static void* As(void* self) noexcept {
    return static_cast<Interface*>(static_cast<Derived*>(self));
  }

  std::atomic<ULONG> references_{1};
  const bool counted_;
};

// A new object holding its first reference. Throws std::bad_alloc, and what
// T's constructor throws.
template <class T, class... Args>
ComPtr<T> Make(Args&&... args) {
  ComPtr<T> object;
  object.Attach(new T(std::forward<Args>(args)...));
  return object;
}

// The body of a COM entry point, which no exception may leave: std::bad_alloc
// becomes E_OUTOFMEMORY, anything else E_UNEXPECTED.
template <class Body>
HRESULT CatchAll(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace qvi::com
