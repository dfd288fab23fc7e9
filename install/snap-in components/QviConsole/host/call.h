// Calling a host control with arguments bound to the caller's variables.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <variant>

#include "host/host_control.h"

namespace qvi::host {

// One argument of a host call: a value, or a variable passed by reference
// that receives what the host leaves in it when the call succeeds.
class Arg {
 public:
  Arg(std::int32_t value) : value_(value) {}
  Arg(std::int16_t value) : value_(value) {}
  Arg(std::string value) : value_(std::move(value)) {}
  Arg(const char* value) : value_(value) {}

  static Arg Ref(std::string& variable) { return Arg(Variant(variable), &variable); }
  static Arg Ref(std::int32_t& variable) { return Arg(Variant(variable), &variable); }
  static Arg Ref(std::int16_t& variable) { return Arg(Variant(variable), &variable); }

  const Variant& value() const { return value_; }
  bool by_ref() const { return !std::holds_alternative<std::monostate>(target_); }
  // Stores what the host left in the argument into the caller's variable.
  void WriteBack(const Variant& value) const;

 private:
  using Target = std::variant<std::monostate, std::string*, std::int32_t*, std::int16_t*>;
  Arg(Variant value, Target target) : value_(std::move(value)), target_(target) {}
  Variant value_;
  Target target_;
};

// Invokes `id` on `control`. On success the by-reference variables receive
// the host's values; on failure qvi::Error leaves them untouched.
Variant Call(HostControl& control, DispId id, std::initializer_list<Arg> args);

}  // namespace qvi::host
