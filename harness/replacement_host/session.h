// Drives the snap-in as the setup host does: loads the library, creates the
// control, raises events, and records each event's outcome.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "control/events.h"
#include "control/qv_console.h"
#include "control/snap_in_library.h"
#include "platform/platform.h"
#include "replacement_host/replacement_host.h"

namespace qvi::rhost {

struct EventOutcome {
  Event event = Event::kCreation;
  std::string argument;  // the event's argument as text, "" when it has none
  bool failed = false;
  std::string reason;    // "number: description" when the handler ended on a failure
};

class Session {
 public:
  // Loads a fresh copy of the library on `os`, talking to `host`.
  Session(ReplacementHost& host, platform::Platform& os);

  // Creation of QVConsole (UserControl_Initialize) or one of the host's
  // events, with its argument as text (a number for qviUpgrade, the page
  // identifier for the page notification). An argument the event cannot take
  // throws std::invalid_argument before anything happens.
  EventOutcome Raise(Event event, const std::string& argument = "");

  const std::vector<EventOutcome>& outcomes() const { return outcomes_; }
  SnapInLibrary& library() { return library_; }

 private:
  ReplacementHost& host_;
  SnapInLibrary library_;
  QVConsole control_;
  std::vector<EventOutcome> outcomes_;
};

}  // namespace qvi::rhost
