// The events QVConsole answers: its own creation and the five the host raises
// on QviPublic1, with what argument each carries.
#pragma once

#include <optional>
#include <string_view>

namespace qvi {

enum class Event { kCreation, kSetup, kUpgrade, kPostSetup, kUninstall, kPostPageNotification };

enum class EventArgument {
  kNone,
  kNumber,  // nPreviousVersion, a 32-bit whole number
  kText,    // bstrPropertyPageProgId
};

// "creation", "qviSetup", "qviUpgrade", "qviPostSetup", "qviUninstall",
// "qviPostPageNotification".
std::string_view EventName(Event event);
// The exact name, letter case included.
std::optional<Event> EventByName(std::string_view name);
EventArgument ArgumentOf(Event event);

}  // namespace qvi
