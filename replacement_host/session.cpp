#include "replacement_host/session.h"

#include <charconv>
#include <functional>
#include <stdexcept>

#include "platform/errors.h"

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
    : host_(host), library_(HostControls{host.QviPublic(), host.QviNTNWSvc()}, os), control_(library_, host.QviPublic()) {}

void Session::Create() {
  host_.BeginEvent("creation");
  EventOutcome outcome{"creation", "", false, ""};
  try {
    control_.UserControl_Initialize();
  } catch (const Error& error) {
    outcome.failed = true;
    outcome.reason = std::to_string(error.number()) + ": " + error.description();
  }
  outcomes_.push_back(outcome);
}

EventOutcome Session::Raise(const std::string& event, const std::string& argument) {
  // Resolve the handler before the event begins, so a bad request leaves no
  // trace in the host's record.
  std::function<void()> handler;
  if (event == "qviSetup") {
    handler = [this] { control_.QviPublic1_qviSetup(); };
  } else if (event == "qviUpgrade") {
    const std::int32_t previous = ParseVersion(argument);
    handler = [this, previous] { control_.QviPublic1_qviUpgrade(previous); };
  } else if (event == "qviPostSetup") {
    handler = [this] { control_.QviPublic1_qviPostSetup(); };
  } else if (event == "qviUninstall") {
    handler = [this] { control_.QviPublic1_qviUninstall(); };
  } else if (event == "qviPostPageNotification") {
    handler = [this, argument] { control_.QviPublic1_qviPostPageNotification(argument); };
  } else {
    throw std::invalid_argument("unknown event \"" + event + "\"");
  }

  host_.BeginEvent(event);
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
