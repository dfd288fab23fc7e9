// The message of an expected refusal, so that a test compares it whole or
// looks for its place in it.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/errors.h"

namespace qvi::testing {

// What the `Error` that `action` throws says; `none` when it throws nothing.
template <typename Error, typename Action>
std::string ErrorOf(Action&& action, const std::string& none = "(accepted)") {
  try {
    action();
  } catch (const Error& error) {
    return error.what();
  }
  return none;
}

// The number of the Error that `action` raises; 0 when it raises none.
template <typename Action>
std::int32_t ErrorNumberOf(Action&& action) {
  try {
    action();
  } catch (const Error& error) {
    return error.number();
  }
  return 0;
}

}  // namespace qvi::testing
