#include "replacement_host/replacement_host.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "host/call.h"
#include "host/dispid.h"
#include "replacement_host/operation_names.h"
#include "runtime/errors.h"
#include "testing/error_of.h"

namespace qvi::rhost {
namespace {

using host::Arg;
using host::Call;
using host::Variant;
namespace d = host::dispid;

HostConfig TypicalConfig() {
  HostConfig c;
  c.directories = {{"TYConsole", {"C:\\Program Files\\Tessaly"}}, {"System", {"C:\\WINNT\\system32"}}};
  c.removal_directories = {{"TYConsole", "D:\\Old"}};
  c.texts = {{7014, "Console"}};
  c.shell_folders = {{0, "C:\\Menu\\Default"}, {4, "C:\\Menu\\Group"}};
  c.parameters = {{"Global", {"debug:1", "autonext"}}};
  c.language = "deu";
  c.platform_code = 2;
  c.platform_version = 4 * 65536 + 10;
  c.icon_result = 7;
  c.directory_operation_results = {{4, 0}};
  c.server_versions = {{"SRV2", 3 * 65536 + 51}};
  c.unc_computer_name = "\\\\ADMIN7\\";
  c.drive_prefix = "\\\\ADMIN7";
  return c;
}

std::vector<host::Argument> A(std::vector<Variant> values) {
  std::vector<host::Argument> args;
  for (auto& v : values) args.push_back({std::move(v), false});
  return args;
}

// Calls a dispatch interface refuses, with the number the caller sees.
TEST(ReplacementHostTest, RefusalsFailLikeADispatchInterfaceAndChangeNothing) {
  // name, DISPID, arguments, number
  const std::tuple<const char*, host::DispId, std::vector<host::Argument>, std::int32_t> cases[] = {
      {"UnknownPublicDispid", 7, {}, kMemberNotFound},
      {"TooFewArguments", d::kSetDestinationDir, A({"windows", "C:\\WINNT"}), kBadParamCount},
      {"TextWhereNumberExpected", d::kSetCopySection, A({"NT", "zero"}), errors::kTypeMismatch},
      {"NegativeDirectoryIndex", d::kSetDirectory, A({"K", "C:\\x", std::int32_t{-1}}), kSubscriptOutOfRange},
      {"RunawayDirectoryIndex", d::kSetDirectory, A({"K", "C:\\x", std::int32_t{kMaxDirectoryIndex + 1}}),
       kSubscriptOutOfRange},
      // The last argument is the one that fails: nothing before it may stick.
      {"DestinationFlagNotANumber", d::kSetDestinationDir, A({"windows", "C:\\WINNT", "x"}), errors::kTypeMismatch},
      {"DirectoryIndexNotANumber", d::kSetDirectory, A({"K", "C:\\x", "x"}), errors::kTypeMismatch},
      {"DirectoryOperationNotANumber", d::kDirectoryOperation, A({"x", "C:\\x"}), errors::kTypeMismatch},
  };
  for (const auto& [name, dispid, arguments, number] : cases) {
    SCOPED_TRACE(name);
    ReplacementHost host(TypicalConfig());
    bool acted = false;
    host.SetDirectoryActor([&](DirectoryAction, const std::string&, const HostConfig&, const HostState&) {
      acted = true;
      return DirectoryOutcome{true, ""};
    });
    std::vector<host::Argument> args = arguments;
    EXPECT_EQ(qvi::testing::ErrorNumberOf([&] { host.QviPublic().Invoke(dispid, args); }), number);
    ASSERT_EQ(host.calls().size(), 1u);
    EXPECT_TRUE(host.calls()[0].failed);
    EXPECT_EQ(host.calls()[0].failure.substr(0, std::to_string(number).size() + 1), std::to_string(number) + ":");
    EXPECT_TRUE(host.state().destination_dirs.empty());
    EXPECT_TRUE(host.state().copy_sections.empty());
    EXPECT_EQ(host.state().directories, TypicalConfig().directories);
    EXPECT_TRUE(host.state().directory_operations.empty());
    EXPECT_FALSE(acted);
  }
}

TEST(ReplacementHostTest, DirectoryTableStoresPadsAndClearsInPlace) {
  ReplacementHost host(TypicalConfig());
  auto& h = host.QviPublic();
  const auto get = [&](const char* key, std::int32_t index) {
    return Call(h, d::kGetDirectory, {key, index}).ToString();
  };
  EXPECT_EQ(Call(h, d::kSetDirectory, {"QVConsole", "C:\\Q", std::int32_t{0}}), Variant(std::int32_t{1}));
  Call(h, d::kSetDirectory, {"qvconsole", "C:\\R", std::int32_t{2}});
  EXPECT_EQ(get("QVCONSOLE", 0) + "|" + get("QVConsole", 1) + "|" + get("QVConsole", 2), "C:\\Q||C:\\R");

  // Clearing entry 0 must not move entry 2 down, or a walk that clears
  // entries one by one would skip every second one.
  Call(h, d::kSetDirectory, {"QVConsole", "", std::int32_t{0}});
  EXPECT_EQ(get("QVConsole", 0) + "|" + get("QVConsole", 2), "|C:\\R");
  EXPECT_EQ(host.state().directories.count("QVConsole"), 1u);
  EXPECT_EQ(host.state().directories.count("qvconsole"), 0u);
}

// The reports pin what a host records and which occurrence fails; what they
// do not show is that a failure set on one control leaves the same DISPID of
// the other alone.
TEST(ReplacementHostTest, AFailureFailsOnlyItsOwnControl) {
  HostConfig config = TypicalConfig();
  config.failures = {{host::Control::kQviPublic, d::kSetDirectory, 0, 5, "Invalid procedure call or argument"}};
  ReplacementHost host(config);
  EXPECT_THROW(Call(host.QviPublic(), d::kSetDirectory, {"TYConsole", "", std::int32_t{0}}), Error);
  EXPECT_EQ(Call(host.QviNTNWSvc(), d::kGetServerVersion, {"\\\\SRV2"}), Variant(3 * 65536 + 51));
  EXPECT_EQ(host.state().directories, config.directories);
}

}  // namespace
}  // namespace qvi::rhost
