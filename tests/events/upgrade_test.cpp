// qviUpgrade removes the earlier installation's registry through a connection
// to this machine's registry, closed again. The rest of the handler is pinned
// by the approved reports of the upgrade scenarios.
#include <gtest/gtest.h>

#include <string>

#include "scenario/run.h"
#include "scenario/scenario.h"

namespace qvi::events_test {
namespace {

using faults::Function;
using scenario::RegistryChange;

TEST(UpgradeTest, UnreachableOrMissingInstallRegistryIsQuiet) {
  for (const bool unreachable : {true, false}) {
    SCOPED_TRACE(unreachable ? "unreachable" : "missing");
    const std::string patch = unreachable ? R"("platform_failures": [{"function": "RegConnectRegistryA", "code": 53}])"
                                          : R"("machine": {"registry": null})";
    const scenario::RunResult run = scenario::RunScenario(
        scenario::ParseScenario(
            R"({"base": "upgrade", "events": ["creation", {"event": "qviUpgrade", "argument": 3}], )" + patch + "}",
            "upgrade test"),
        {});
    ASSERT_EQ(run.events.size(), 2u);
    EXPECT_FALSE(run.events[1].failed);
    for (const RegistryChange& change : run.registry_changes) EXPECT_NE(change.op, RegistryChange::Op::kDeleteKey);
    const auto& calls = run.os_calls_after_event.back();
    EXPECT_EQ(calls.count(Function::kRegDeleteKeyA), 0u);
    EXPECT_EQ(calls.contains(Function::kRegCloseKey) ? calls.at(Function::kRegCloseKey) : 0, unreachable ? 0 : 1);
    EXPECT_EQ(run.log.size(), 6u);
  }
}

}  // namespace
}  // namespace qvi::events_test
