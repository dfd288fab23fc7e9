#include "runtime/com/object.h"

namespace qvi::com {

namespace {
std::atomic<long> live_objects{0};
std::atomic<long> server_locks{0};
}  // namespace

long Module::Objects() noexcept { return live_objects; }
long Module::Locks() noexcept { return server_locks; }
void Module::Lock(bool lock) noexcept { lock ? ++server_locks : --server_locks; }
void Module::ObjectCreated() noexcept { ++live_objects; }
void Module::ObjectDestroyed() noexcept { --live_objects; }

}  // namespace qvi::com
