// The values that cross the host's dispatch interface.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace qvi::host {

class Variant {
 public:
  enum class Type { kEmpty, kInt16, kInt32, kString };

  Variant() = default;
  Variant(std::int16_t value) : value_(value) {}
  Variant(std::int32_t value) : value_(value) {}
  Variant(std::string value) : value_(std::move(value)) {}
  Variant(const char* value) : value_(std::string(value)) {}

  Type type() const { return static_cast<Type>(value_.index()); }
  bool IsEmpty() const { return type() == Type::kEmpty; }

  // Conversions raise qvi::Error: Overflow when the number does not fit,
  // TypeMismatch for text that is not a number. Empty converts to 0 and "".
  // Decimal text may carry blanks around it, a sign and a fraction, which is
  // rounded half to even.
  std::int32_t ToInt32() const;
  std::int16_t ToInt16() const;
  std::string ToString() const;

  bool operator==(const Variant&) const = default;

 private:
  std::variant<std::monostate, std::int16_t, std::int32_t, std::string> value_;
};

}  // namespace qvi::host
