#include "replacement_host/session.h"

#include <charconv>
#include <functional>
#include <stdexcept>

#include "runtime/errors.h"

namespace qvi::rhost {

namespace {

std::int32_t ParseVersion(const std::string& text) {
  if (text.empty()) return 0;
  std::int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) {
    throw std::invalid_argument("qviUpgrade needs a 32-bit whole number as its argument, not \"" + text + "\"");
  }
  return value;
}

}  // namespace

Session::Session(ReplacementHost& host, platform::Platform& os)
    : host_(host), library_(host, os), control_(library_, host.QviPublic()) {}

EventOutcome Session::Raise(Event event, const std::string& argument) {
  // Resolve the handler before the event begins, so a bad request leaves no
  // trace in the host's record.
  if (ArgumentOf(event) == EventArgument::kNone && !argument.empty()) {
    throw std::invalid_argument(std::string(EventName(event)) + " takes no argument");
  }
  std::function<void()> handler;
  switch (event) {
    case Event::kCreation: handler = [this] { control_.UserControl_Initialize(); }; break;
    case Event::kSetup: handler = [this] { control_.QviPublic1_qviSetup(); }; break;
    case Event::kUpgrade: {
      const std::int32_t previous = ParseVersion(argument);
      handler = [this, previous] { control_.QviPublic1_qviUpgrade(previous); };
      break;
    }
    case Event::kPostSetup: handler = [this] { control_.QviPublic1_qviPostSetup(); }; break;
    case Event::kUninstall: handler = [this] { control_.QviPublic1_qviUninstall(); }; break;
    case Event::kPostPageNotification:
      handler = [this, argument] { control_.QviPublic1_qviPostPageNotification(argument); };
      break;
  }

  host_.BeginEvent(std::string(EventName(event)));
  EventOutcome outcome{event, argument, false, ""};
  try {
    handler();
  } catch (const Error& error) {
    // Only the page notification lets a failure out; the host takes it as the
    // end of that handler and goes on with its setup.
    outcome.failed = true;
    outcome.reason = std::to_string(error.number()) + ": " + error.description();
  }
  outcomes_.push_back(outcome);
  return outcome;
}

}  // namespace qvi::rhost
