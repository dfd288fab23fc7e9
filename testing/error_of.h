// The message of an expected refusal, so that a test compares it whole or
// looks for its place in it.
#pragma once

#include <string>

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

}  // namespace qvi::testing
