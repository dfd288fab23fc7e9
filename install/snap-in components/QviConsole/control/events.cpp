#include "control/events.h"

#include <array>

namespace qvi {

namespace {

struct EventInfo {
  Event event;
  std::string_view name;
  EventArgument argument;
};

constexpr std::array<EventInfo, 6> kEvents = {{
    {Event::kCreation, "creation", EventArgument::kNone},
    {Event::kSetup, "qviSetup", EventArgument::kNone},
    {Event::kUpgrade, "qviUpgrade", EventArgument::kNumber},
    {Event::kPostSetup, "qviPostSetup", EventArgument::kNone},
    {Event::kUninstall, "qviUninstall", EventArgument::kNone},
    {Event::kPostPageNotification, "qviPostPageNotification", EventArgument::kText},
}};

const EventInfo& Info(Event event) { return kEvents[static_cast<std::size_t>(event)]; }

}  // namespace

std::string_view EventName(Event event) { return Info(event).name; }

EventArgument ArgumentOf(Event event) { return Info(event).argument; }

std::optional<Event> EventByName(std::string_view name) {
  for (const EventInfo& info : kEvents) {
    if (info.name == name) return info.event;
  }
  return std::nullopt;
}

}  // namespace qvi
