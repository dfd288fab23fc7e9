#include "replacement_host/replacement_host.h"

#include <algorithm>
#include <utility>

#include "host/dispid.h"
#include "runtime/code_page.h"
#include "runtime/errors.h"

namespace qvi::rhost {

namespace {

using host::Argument;
using host::DispId;
using host::Variant;

using host::Control;
using code_page::EqualsNoCase;

// The entry of `table` whose key matches `key` whatever its letter case; the
// exact spelling wins when both exist.
template <class Map>
auto FindNoCase(Map& table, const std::string& key) -> decltype(table.begin()) {
  if (auto exact = table.find(key); exact != table.end()) return exact;
  return std::find_if(table.begin(), table.end(), [&](const auto& entry) { return EqualsNoCase(entry.first, key); });
}

Variant AtIndex(const std::vector<Variant>& list, std::int32_t index) {
  if (index < 0 || static_cast<std::size_t>(index) >= list.size()) return std::string();
  return list[static_cast<std::size_t>(index)];
}

// The configured answer for `key`, or `missing`.
template <class Map, class Key>
Variant Answer(const Map& table, const Key& key, Variant missing) {
  const auto it = table.find(key);
  return it == table.end() ? missing : it->second;
}

void ExpectCount(const std::vector<Argument>& args, std::size_t count) {
  if (args.size() != count) throw Error(kBadParamCount, "Wrong number of arguments or invalid property assignment");
}

std::string FailureText(const Error& error) { return std::to_string(error.number()) + ": " + error.description(); }

}  // namespace

struct ReplacementHost::Impl {
  // One control of the host kit; every call goes to the host's dispatcher.
  class ControlStub final : public host::HostControl {
   public:
    ControlStub(Impl& host, Control control) : host_(host), control_(control) {}
    Variant Invoke(DispId id, std::vector<Argument>& args) override { return host_.Invoke(control_, id, args); }

   private:
    Impl& host_;
    Control control_;
  };

  explicit Impl(HostConfig c)
      : config(std::move(c)), qvi_public(*this, Control::kQviPublic), qvi_ntnwsvc(*this, Control::kQviNTNWSvc) {
    state.directories = config.directories;
  }

  Variant Invoke(Control control, DispId id, std::vector<Argument>& args) {
    HostCall call;
    call.event = current_event;
    call.control = control;
    call.dispid = id;
    const int occurrence = ++counts[{control, id}];
    // Work on a copy of the arguments so that a failing call leaves the
    // caller's exactly as they were. The host's state is not copied (it grows
    // with every call, and a copy per call made long runs quadratic): each
    // operation changes it only after everything in it that can fail.
    std::vector<Argument> working = args;
    try {
      InjectFailure(control, id, occurrence);
      call.result = control == Control::kQviPublic ? Public(id, working, state) : NtNwSvc(id, working);
    } catch (const Error& error) {
      call.failed = true;
      call.failure = FailureText(error);
      for (const Argument& arg : args) call.args.push_back({arg.value, arg.by_ref});
      calls.push_back(std::move(call));
      throw;
    }
    args = std::move(working);
    for (const Argument& arg : args) call.args.push_back({arg.value, arg.by_ref});
    Variant result = call.result;
    calls.push_back(std::move(call));
    return result;
  }

  void InjectFailure(Control control, DispId id, int occurrence) const {
    for (const InjectedFailure& failure : config.failures) {
      if (failure.dispid != id || failure.control != control) continue;
      if (failure.occurrence == 0 || failure.occurrence == occurrence) throw Error(failure.number, failure.description);
    }
  }

  Variant Public(DispId id, std::vector<Argument>& args, HostState& next) const {
    namespace d = host::dispid;
    switch (id) {
      case d::kSetDestinationDir: {
        ExpectCount(args, 3);
        std::string name = args[0].value.ToString();
        std::string path = args[1].value.ToString();
        args[2].value.ToInt32();
        auto& dirs = next.destination_dirs;
        auto it = std::find_if(dirs.begin(), dirs.end(), [&](const auto& e) { return EqualsNoCase(e.first, name); });
        if (it == dirs.end()) {
          dirs.emplace_back(std::move(name), std::move(path));
        } else {
          it->second = std::move(path);
        }
        return {};
      }
      case d::kSetCopySection: {
        ExpectCount(args, 2);
        std::string section = args[0].value.ToString();
        args[1].value.ToInt32();
        auto& sections = next.copy_sections;
        if (std::none_of(sections.begin(), sections.end(), [&](const auto& s) { return EqualsNoCase(s, section); })) {
          sections.push_back(std::move(section));
        }
        return {};
      }
      case d::kGetShellFolder:
        ExpectCount(args, 1);
        return Answer(config.shell_folders, args[0].value.ToInt32(), std::string());
      case d::kRemoveFolder:
        ExpectCount(args, 1);
        next.removed_folders.push_back(args[0].value.ToString());
        return {};
      case d::kIconOperation: {
        ExpectCount(args, 4);
        next.icons.push_back({args[0].value.ToString(), args[1].value.ToString(), args[2].value.ToString(),
                              args[3].value.ToString(), config.icon_result});
        return config.icon_result;
      }
      case d::kGetDirectory: {
        ExpectCount(args, 2);
        const std::string key = args[0].value.ToString();
        const std::int32_t index = args[1].value.ToInt32();
        const auto it = FindNoCase(next.directories, key);
        return it == next.directories.end() ? Variant(std::string()) : AtIndex(it->second, index);
      }
      case d::kSetDirectory: {
        ExpectCount(args, 3);
        const std::string key = args[0].value.ToString();
        std::string directory = args[1].value.ToString();
        const std::int32_t index = args[2].value.ToInt32();
        if (index < 0 || index > kMaxDirectoryIndex) throw Error(kSubscriptOutOfRange, "Subscript out of range");
        auto it = FindNoCase(next.directories, key);
        if (it == next.directories.end()) it = next.directories.emplace(key, std::vector<Variant>{}).first;
        auto& list = it->second;
        if (list.size() <= static_cast<std::size_t>(index)) {
          list.resize(static_cast<std::size_t>(index) + 1, Variant(std::string()));
        }
        list[static_cast<std::size_t>(index)] = std::move(directory);
        return std::int32_t{1};
      }
      case d::kIsInstalling:
        ExpectCount(args, 0);
        return config.installing;
      case d::kSetSettingsFile:
        ExpectCount(args, 1);
        next.settings_file = args[0].value.ToString();
        return {};
      case d::kGetText:
        ExpectCount(args, 1);
        return Answer(config.texts, args[0].value.ToInt32(), std::string());
      case d::kGetLanguage:
        ExpectCount(args, 0);
        return config.language;
      case d::kGetPlatform:
        ExpectCount(args, 1);
        args[0].value.ToInt32();
        args[0].value = config.platform_version;
        return config.platform_code;
      case d::kGetRemovalDirectory: {
        ExpectCount(args, 3);
        const std::string key = args[0].value.ToString();
        args[2].value.ToInt32();
        const auto it = FindNoCase(config.removal_directories, key);
        return it == config.removal_directories.end() ? Variant(std::string()) : it->second;
      }
      case d::kGetParameter: {
        ExpectCount(args, 2);
        const std::string section = args[0].value.ToString();
        const std::int32_t index = args[1].value.ToInt32();
        const auto it = FindNoCase(config.parameters, section);
        return it == config.parameters.end() ? Variant(std::string()) : AtIndex(it->second, index);
      }
      case d::kDirectoryOperation: {
        ExpectCount(args, 2);
        const std::int32_t operation = args[0].value.ToInt32();
        std::string directory = args[1].value.ToString();
        const auto configured = config.directory_actions.find(operation);
        const DirectoryAction action =
            actor && configured != config.directory_actions.end() ? configured->second : DirectoryAction::kNone;
        Variant result = std::int32_t{1};
        std::string outcome;
        // Acted on only once nothing else can fail: a refused call changes
        // nothing.
        if (action != DirectoryAction::kNone) {
          const DirectoryOutcome done = actor(action, directory, config, next);
          result = std::int32_t{done.gone ? 1 : 0};
          outcome = done.summary;
        }
        result = Answer(config.directory_operation_results, operation, result);
        next.directory_operations.push_back({operation, std::move(directory), result, action, std::move(outcome)});
        return result;
      }
      default:
        throw MemberNotFound();
    }
  }

  Variant NtNwSvc(DispId id, std::vector<Argument>& args) const {
    namespace d = host::dispid;
    switch (id) {
      case d::kGetServerVersion: {
        ExpectCount(args, 1);
        std::string server = args[0].value.ToString();
        if (server.rfind("\\\\", 0) == 0) server.erase(0, 2);
        const auto it = FindNoCase(config.server_versions, server);
        return it == config.server_versions.end() ? Variant(std::int32_t{0}) : it->second;
      }
      case d::kGetUncComputerName:
        ExpectCount(args, 2);
        args[0].value.ToInt32();
        return config.unc_computer_name;
      case d::kGetDrivePrefix:
        ExpectCount(args, 1);
        args[0].value.ToInt32();
        return config.drive_prefix;
      default:
        throw MemberNotFound();
    }
  }

  static Error MemberNotFound() {
    return Error(kMemberNotFound, "Object doesn't support this property or method (member not found)");
  }

  HostConfig config;
  DirectoryActor actor;
  HostState state;
  std::vector<HostCall> calls;
  std::map<std::pair<Control, DispId>, int> counts;
  std::string current_event;
  ControlStub qvi_public;
  ControlStub qvi_ntnwsvc;
};

ReplacementHost::ReplacementHost(HostConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}
ReplacementHost::~ReplacementHost() = default;

host::HostControl& ReplacementHost::QviPublic() { return impl_->qvi_public; }
host::HostControl& ReplacementHost::QviNTNWSvc() { return impl_->qvi_ntnwsvc; }
HostControls ReplacementHost::PlaceOnFrmCommon() { return {impl_->qvi_public, impl_->qvi_ntnwsvc}; }

void ReplacementHost::BeginEvent(const std::string& event) { impl_->current_event = event; }
const std::string& ReplacementHost::current_event() const { return impl_->current_event; }

const std::vector<HostCall>& ReplacementHost::calls() const { return impl_->calls; }
const HostState& ReplacementHost::state() const { return impl_->state; }
HostConfig& ReplacementHost::mutable_config() { return impl_->config; }
void ReplacementHost::SetDirectoryActor(DirectoryActor actor) { impl_->actor = std::move(actor); }

namespace {

constexpr std::pair<DirectoryAction, std::string_view> kActionNames[] = {
    {DirectoryAction::kNone, "none"},
    {DirectoryAction::kRemoveCopied, "remove_copied"},
    {DirectoryAction::kRemoveEmpty, "remove_empty"},
    {DirectoryAction::kRemoveTree, "remove_tree"},
};

}  // namespace

std::string_view DirectoryActionName(DirectoryAction action) {
  for (const auto& [known, name] : kActionNames) {
    if (known == action) return name;
  }
  return "";
}

std::optional<DirectoryAction> DirectoryActionByName(std::string_view name) {
  for (const auto& [action, known] : kActionNames) {
    if (known == name) return action;
  }
  return std::nullopt;
}

std::vector<PlannedCopy> ResolveCopies(const HostConfig& config, const HostState& state) {
  std::vector<PlannedCopy> copies;
  for (const std::string& section : state.copy_sections) {
    for (const auto& [name, files] : config.copy_files) {
      if (!EqualsNoCase(name, section)) continue;
      for (const HostConfig::CopyFile& file : files) {
        const auto& dirs = state.destination_dirs;
        const auto bound = std::find_if(dirs.begin(), dirs.end(),
                                        [&](const auto& dir) { return EqualsNoCase(dir.first, file.directory); });
        copies.push_back({section, &file, bound == dirs.end() ? "" : bound->second + "\\" + file.file});
      }
    }
  }
  return copies;
}

}  // namespace qvi::rhost
