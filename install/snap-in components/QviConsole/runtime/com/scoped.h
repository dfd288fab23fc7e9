// Owned automation values: a BSTR, a VARIANT, an EXCEPINFO and the argument
// array of one IDispatch::Invoke, each freed when its owner ends. Move-only.
// Get gives the value to read; ReleaseAndGetAddressOf frees what is held and
// gives the slot for an out-parameter; GetAddressOf gives the slot with its
// value, for an in-out parameter.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <utility>
#include <vector>

namespace qvi::com {

class ScopedBstr {
 public:
  ScopedBstr() noexcept = default;
  // Takes over `owned`.
  explicit ScopedBstr(BSTR owned) noexcept : text_(owned) {}
  ScopedBstr(ScopedBstr&& other) noexcept : text_(std::exchange(other.text_, nullptr)) {}
  ScopedBstr& operator=(ScopedBstr&& other) noexcept {
    Reset(other.Detach());
    return *this;
  }
  ~ScopedBstr() { Reset(); }

  BSTR Get() const noexcept { return text_; }
  UINT Length() const noexcept { return SysStringLen(text_); }
  BSTR* GetAddressOf() noexcept { return &text_; }
  BSTR* ReleaseAndGetAddressOf() noexcept {
    Reset();
    return &text_;
  }
  BSTR Detach() noexcept { return std::exchange(text_, nullptr); }
  void Reset(BSTR owned = nullptr) noexcept { SysFreeString(std::exchange(text_, owned)); }

 private:
  BSTR text_ = nullptr;
};

class ScopedVariant {
 public:
  ScopedVariant() noexcept { VariantInit(&value_); }
  ScopedVariant(ScopedVariant&& other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
  ScopedVariant& operator=(ScopedVariant&& other) noexcept {
    std::swap(value_, other.value_);
    return *this;
  }
  ~ScopedVariant() { Reset(); }

  const VARIANT& Get() const noexcept { return value_; }
  VARIANT* GetAddressOf() noexcept { return &value_; }
  VARIANT* ReleaseAndGetAddressOf() noexcept {
    Reset();
    return &value_;
  }
  void Reset() noexcept { VariantClear(&value_); }

 private:
  VARIANT value_;
};

// What a failed IDispatch::Invoke left in its EXCEPINFO; the three strings
// are freed with it.
class ScopedExcepInfo {
 public:
  ScopedExcepInfo() noexcept = default;
  ScopedExcepInfo(const ScopedExcepInfo&) = delete;
  ScopedExcepInfo& operator=(const ScopedExcepInfo&) = delete;
  ~ScopedExcepInfo() { Reset(); }

  const EXCEPINFO& Get() const noexcept { return info_; }
  EXCEPINFO* ReleaseAndGetAddressOf() noexcept {
    Reset();
    return &info_;
  }
  // Runs a deferred fill-in, once, so that the fields can be read.
  void Fill() noexcept;
  void Reset() noexcept;

 private:
  EXCEPINFO info_{};
};

// The arguments of one IDispatch::Invoke, given in call order and held last
// first, as DISPPARAMS wants them. Each is cleared at the end; a by-reference
// argument points at the caller's variable, which clearing leaves alone.
class DispatchArguments {
 public:
  // `count` empty arguments. Throws std::bad_alloc.
  explicit DispatchArguments(std::size_t count);
  DispatchArguments(const DispatchArguments&) = delete;
  DispatchArguments& operator=(const DispatchArguments&) = delete;
  ~DispatchArguments();

  // Argument `i` in call order.
  VARIANT& operator[](std::size_t i) noexcept { return args_[args_.size() - 1 - i]; }
  std::size_t size() const noexcept { return args_.size(); }
  // Valid while this object lives.
  DISPPARAMS* params() noexcept;

 private:
  std::vector<VARIANT> args_;
  DISPPARAMS params_{};
};

}  // namespace qvi::com
