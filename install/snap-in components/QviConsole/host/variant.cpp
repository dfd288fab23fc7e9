#include "host/variant.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "runtime/errors.h"

namespace qvi::host {

namespace {

// Parses decimal text the way the system's numeric conversions accept it.
// Returns the value rounded to a whole number, half to even.
double ParseNumber(const std::string& text) {
  std::size_t i = 0;
  const auto blank = [&](std::size_t at) { return at < text.size() && (text[at] == ' ' || text[at] == '\t'); };
  while (blank(i)) ++i;
  std::size_t end = text.size();
  while (end > i && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  const std::string body = text.substr(i, end - i);
  if (body.empty()) throw errors::TypeMismatch();
  std::size_t j = 0;
  if (body[j] == '+' || body[j] == '-') ++j;
  bool digits = false;
  bool point = false;
  for (; j < body.size(); ++j) {
    if (body[j] >= '0' && body[j] <= '9') {
      digits = true;
    } else if (body[j] == '.' && !point) {
      point = true;
    } else {
      throw errors::TypeMismatch();
    }
  }
  if (!digits) throw errors::TypeMismatch();
  return std::nearbyint(std::strtod(body.c_str(), nullptr));  // default rounding mode: half to even
}

template <class Int>
Int Convert(const std::variant<std::monostate, std::int16_t, std::int32_t, std::string>& value) {
  std::int64_t wide = 0;
  if (const auto* i16 = std::get_if<std::int16_t>(&value)) {
    wide = *i16;
  } else if (const auto* i32 = std::get_if<std::int32_t>(&value)) {
    wide = *i32;
  } else if (const auto* s = std::get_if<std::string>(&value)) {
    const double d = ParseNumber(*s);
    if (d < static_cast<double>(std::numeric_limits<Int>::min()) ||
        d > static_cast<double>(std::numeric_limits<Int>::max())) {
      throw errors::Overflow();
    }
    return static_cast<Int>(d);
  }
  if (wide < std::numeric_limits<Int>::min() || wide > std::numeric_limits<Int>::max()) throw errors::Overflow();
  return static_cast<Int>(wide);
}

}  // namespace

std::int32_t Variant::ToInt32() const { return Convert<std::int32_t>(value_); }
std::int16_t Variant::ToInt16() const { return Convert<std::int16_t>(value_); }

std::string Variant::ToString() const {
  switch (type()) {
    case Type::kEmpty: return {};
    case Type::kInt16: return std::to_string(std::get<std::int16_t>(value_));
    case Type::kInt32: return std::to_string(std::get<std::int32_t>(value_));
    case Type::kString: return std::get<std::string>(value_);
  }
  return {};
}

}  // namespace qvi::host
