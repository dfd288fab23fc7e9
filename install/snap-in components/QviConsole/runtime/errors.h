// Errors raised inside the snap-in, and the one mechanism by which a routine
// decides what a failing statement means to it.
//
// A routine names its policy once, at its top, and runs each statement through
// it:
//
//   const OnError statement = OnError::ResumeNext();
//   statement([&] { ConsoleDir = base + "\\Quorvex"; });
//
// A statement that raises Error is abandoned as a whole, so a variable it was
// to assign keeps its former value; whether the routine then goes on silently,
// reports and goes on, or lets the error leave the routine is the policy's.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

namespace qvi {

// A run-time error with a number and a description, as the system's callers
// see it (a failing host call, an impossible string length, an overflow).
class Error : public std::runtime_error {
 public:
  Error(std::int32_t number, const std::string& description) : std::runtime_error(description), number_(number) {}
  std::int32_t number() const { return number_; }
  std::string description() const { return what(); }

 private:
  std::int32_t number_;
};

namespace errors {
inline constexpr std::int32_t kInvalidArgument = 5;
inline constexpr std::int32_t kOverflow = 6;
inline constexpr std::int32_t kTypeMismatch = 13;

inline Error InvalidArgument() { return Error(kInvalidArgument, "Invalid procedure call or argument"); }
inline Error Overflow() { return Error(kOverflow, "Overflow"); }
inline Error TypeMismatch() { return Error(kTypeMismatch, "Type mismatch"); }
}  // namespace errors

class OnError {
 public:
  using Reporter = std::function<void(const Error&)>;

  // Continue silently: a failing statement is dropped without a word.
  static OnError ResumeNext() { return OnError(Kind::kResumeNext, nullptr); }
  // Report and continue: the reporter hears of the failure, then the next
  // statement runs. A reporter that itself fails passes its error on.
  static OnError Report(Reporter reporter) { return OnError(Kind::kReport, std::move(reporter)); }
  // Pass to the caller: the routine handles nothing of its own.
  static OnError PassToCaller() { return OnError(Kind::kPassToCaller, nullptr); }

  // Runs one statement. Returns true when it completed, false when it failed
  // and the policy absorbed the failure.
  template <class Statement>
  bool operator()(Statement&& statement) const {
    if (kind_ == Kind::kPassToCaller) {
      std::forward<Statement>(statement)();
      return true;
    }
    try {
      std::forward<Statement>(statement)();
      return true;
    } catch (const Error& error) {
      if (kind_ == Kind::kReport) reporter_(error);
      return false;
    }
  }

 private:
  enum class Kind { kResumeNext, kReport, kPassToCaller };
  OnError(Kind kind, Reporter reporter) : kind_(kind), reporter_(std::move(reporter)) {}

  Kind kind_;
  Reporter reporter_;
};

}  // namespace qvi
