// One owned reference to a COM interface.
//
// A small pointer of our own rather than mingw-w64's <wrl/client.h>: that
// copy's Attach adds a reference (WRL's takes one over, so code written to
// WRL's contract leaks), its move assignment copies, and it pulls in the
// Windows Runtime's roapi.h. The names follow WRL's.
#pragma once

#include <unknwn.h>

#include <cstddef>
#include <type_traits>
#include <utility>

namespace qvi::com {

template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Takes a reference of its own; the caller keeps its own.
  ComPtr(T* object) noexcept : p_(object) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& other) noexcept : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class U>
    requires std::is_convertible_v<U*, T*>
  ComPtr(const ComPtr<U>& other) noexcept : ComPtr(other.Get()) {}
  template <class U>
    requires std::is_convertible_v<U*, T*>
  ComPtr(ComPtr<U>&& other) noexcept : p_(other.Detach()) {}
  ~ComPtr() { Reset(); }

  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  T* Get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // For an out-parameter: drops the reference held, then gives its slot.
  T** ReleaseAndGetAddressOf() noexcept {
    Reset();
    return &p_;
  }
  void** ReleaseAndGetVoidAddressOf() noexcept { return reinterpret_cast<void**>(ReleaseAndGetAddressOf()); }

  // Takes over a reference the caller owned.
  void Attach(T* object) noexcept {
    Reset();
    p_ = object;
  }
  // Gives up the reference without releasing it.
  T* Detach() noexcept { return std::exchange(p_, nullptr); }
  void Reset() noexcept {
    if (T* object = std::exchange(p_, nullptr)) object->Release();
  }

  // A new reference for an out-parameter (null stays null).
  HRESULT CopyTo(T** out) const noexcept {
    if (!out) return E_POINTER;
    *out = ComPtr(p_).Detach();
    return S_OK;
  }
  // QueryInterface for `iid` into `out`.
  template <class U>
  HRESULT As(REFIID iid, ComPtr<U>& out) const noexcept {
    return p_->QueryInterface(iid, out.ReleaseAndGetVoidAddressOf());
  }

 private:
  T* p_ = nullptr;
};

}  // namespace qvi::com
