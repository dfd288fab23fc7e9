// The names reports give the host kit's controls and the operations the
// snap-in calls on them.
#pragma once

#include <string_view>

#include "host/dispid.h"

namespace qvi::rhost {

// "QviPublic" and "QviNTNWSvc".
std::string_view ControlName(host::Control control);

// The short name of an operation ("SetDestinationDir"); "" for a DISPID the
// snap-in never calls on that control.
std::string_view OperationName(host::Control control, host::DispId id);

}  // namespace qvi::rhost
