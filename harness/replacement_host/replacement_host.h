// A replacement for the setup host: it answers every operation of the host
// kit's controls QviPublic and QviNTNWSvc from a configuration, keeps the state
// those operations change, records every call in order, and can make chosen
// calls fail.
//
// What each operation answers (arguments are coerced as a dispatch interface
// does: numbers from decimal text, text from numbers; a value that cannot be
// coerced fails with 13 "Type mismatch"). Answers are configured as variants,
// so a host that answers a number where text is usual, or Empty, can be
// played too:
//
//   QviPublic
//    2  name, path, int      records the destination directory; a name given
//                            again (any letter case) keeps its place and takes
//                            the new path. Answers Empty.
//    3  section, int         records the copy section once, in first-selected
//                            order (letter case ignored). Answers Empty.
//    4  int folder           the configured shell folder, "" for an unknown number.
//    5  folder               records the folder as removed. Answers Empty.
//    6  title, target,       records the icon request; answers icon_result.
//       arguments, folder
//    8  key, int index       the index-th directory of the key (table as DISPID 9
//                            left it), "" past the end, for a negative index or
//                            an unknown key.
//    9  key, dir, int index  stores the directory, padding the list with "" up
//                            to the index; "" clears the entry but keeps later
//                            ones where they are. Answers 1. A negative index or
//                            one beyond kMaxDirectoryIndex fails with
//                            9 "Subscript out of range".
//   13  none                 installing (1 while installing, 0 while removing).
//   14  name                 records the settings-file name. Answers Empty.
//   20  int number           the configured text, "" for an unknown number.
//   21  none                 language.
//   22  int (by ref)         writes platform_version into the variable and
//                            answers platform_code.
//   24  key, text, int       the configured removal directory of the key, "".
//   25  section, int index   the index-th parameter of the section, "" past the
//                            last, for a negative index or an unknown section.
//   28  int operation, dir   records the operation and carries out its
//                            action (directory_actions, through the
//                            DirectoryActor; without one, none):
//                              4 remove_copied  removes the files of
//                                copy_files this host copies below dir
//                                (ResolveCopies: sections selected and
//                                directories bound so far), then every folder
//                                below dir, and dir, left empty
//                              5 remove_empty   removes dir if it is empty
//                              remove_tree      removes dir and all below it
//                              none             records only
//                            Answers directory_operation_results[operation]
//                            when configured (the action still runs); else,
//                            after an action, 1 when dir no longer exists and
//                            0 when it does or cannot be acted on; 1 with
//                            none. A drive's root is never acted on.
//   QviNTNWSvc
//    9  "\\" + server        server_versions[server] (without the leading
//                            backslashes, letter case ignored), 0 when unknown.
//   10  int, text            unc_computer_name.
//   11  int drive letter     drive_prefix.
//
// Any other DISPID fails with 438 "Object doesn't support this property or
// method (member not found)"; a wrong number of arguments fails with 450
// "Wrong number of arguments or invalid property assignment". A failing call
// changes no state and leaves by-reference arguments as they were.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/snap_in_library.h"
#include "host/dispid.h"
#include "host/host_control.h"

namespace qvi::rhost {

// Error numbers of a dispatch interface that refuses a call.
inline constexpr std::int32_t kMemberNotFound = 438;
inline constexpr std::int32_t kBadParamCount = 450;
inline constexpr std::int32_t kSubscriptOutOfRange = 9;
// The highest index DISPID 9 accepts, so a runaway index cannot exhaust memory.
inline constexpr std::int32_t kMaxDirectoryIndex = 4095;

// Makes the `occurrence`-th call (1-based, counted per control and DISPID over
// the whole session; 0 = every call) fail with this error.
struct InjectedFailure {
  host::Control control = host::Control::kQviPublic;
  host::DispId dispid = 0;
  int occurrence = 1;
  std::int32_t number = 440;  // the number a failing automation call raises
  std::string description = "Automation error";
};

// What the host does with a directory handed to DISPID 28.
enum class DirectoryAction { kNone, kRemoveCopied, kRemoveEmpty, kRemoveTree };

// "none", "remove_copied", "remove_empty", "remove_tree"; the reverse answers
// nothing for any other name.
std::string_view DirectoryActionName(DirectoryAction action);
std::optional<DirectoryAction> DirectoryActionByName(std::string_view name);

// What the host knows before the setup starts. Keys of the directory table and
// parameter sections are matched without regard to letter case.
struct HostConfig {
  using Variant = host::Variant;
  // DISPIDs 8 and 9: the directory table, key -> directories by index.
  std::map<std::string, std::vector<Variant>> directories;
  // DISPID 24: directories answered while removing, key -> directory.
  std::map<std::string, Variant> removal_directories;
  // DISPID 13: non-zero while installing, 0 while removing.
  Variant installing = std::int32_t{1};
  // DISPID 22: platform code (1 NT, 2 Windows 95) and the version written back
  // (major in the upper 16 bits, minor in the lower).
  Variant platform_code = std::int32_t{1};
  std::int32_t platform_version = 4 << 16;
  // DISPID 20: texts by number.
  std::map<std::int32_t, Variant> texts;
  // DISPID 21.
  Variant language = "enu";
  // DISPID 4: shell folders by number.
  std::map<std::int32_t, Variant> shell_folders;
  // DISPID 25: parameter sections, name -> entries in order.
  std::map<std::string, std::vector<Variant>> parameters;
  // DISPID 6 answers this; DISPID 28 answers directory_operation_results by
  // operation code (4, 5) when present, else from its action's outcome.
  Variant icon_result = std::int32_t{1};
  std::map<std::int32_t, Variant> directory_operation_results;
  // DISPID 28: the action of each operation code; an absent code has none.
  std::map<std::int32_t, DirectoryAction> directory_actions = {{4, DirectoryAction::kRemoveCopied},
                                                               {5, DirectoryAction::kRemoveEmpty}};
  // QviNTNWSvc DISPID 10: the UNC name of this computer ("\\SRV1\").
  Variant unc_computer_name = "\\\\SRV1\\";
  // QviNTNWSvc DISPID 11: the UNC machine prefix of the drives ("\\SRV1").
  Variant drive_prefix = "\\\\SRV1";
  // QviNTNWSvc DISPID 9: server name (without "\\") -> version.
  std::map<std::string, Variant> server_versions;
  std::vector<InjectedFailure> failures;
  // What the host copies before it raises qviPostSetup, for each copy section
  // the snap-in selected (DISPID 3): section -> files, each into the
  // destination directory of that name (DISPID 2). Sections match without
  // regard to letter case.
  struct CopyFile {
    std::string directory;
    std::string file;
    std::string content;
  };
  std::map<std::string, std::vector<CopyFile>> copy_files;
};

struct RecordedArgument {
  host::Variant value;  // by-reference ones as they were after the call
  bool by_ref = false;
};

struct HostCall {
  std::string event;
  host::Control control = host::Control::kQviPublic;
  host::DispId dispid = 0;
  std::vector<RecordedArgument> args;
  host::Variant result;
  bool failed = false;
  std::string failure;  // "number: description" when failed
};

struct IconRequest {
  std::string title;
  std::string target;
  std::string arguments;
  std::string folder;
  host::Variant result;
};

struct DirectoryOperation {
  std::int32_t operation = 0;
  std::string directory;
  host::Variant result;
  DirectoryAction action = DirectoryAction::kNone;
  std::string outcome;  // what the action did, "" for none
};

// What the snap-in has asked of the host so far.
struct HostState {
  std::string settings_file;                                   // DISPID 14
  std::vector<std::pair<std::string, std::string>> destination_dirs;  // DISPID 2, in order, last one wins per name
  std::vector<std::string> copy_sections;                      // DISPID 3, in order
  std::vector<IconRequest> icons;                              // DISPID 6
  std::vector<std::string> removed_folders;                    // DISPID 5
  std::vector<DirectoryOperation> directory_operations;        // DISPID 28
  std::map<std::string, std::vector<host::Variant>> directories;  // the table as DISPID 9 left it
};

// One file of copy_files as the host places it: the section as the snap-in
// selected it, and the destination directory the snap-in bound to the file's
// directory name ("" when it bound none) joined with the file's name.
struct PlannedCopy {
  std::string section;
  const HostConfig::CopyFile* file = nullptr;  // points into the HostConfig
  std::string destination;                     // Windows path
};

// Every file of `config.copy_files` in the sections `state` has selected so
// far, in selection order, resolved through the directories bound so far.
std::vector<PlannedCopy> ResolveCopies(const HostConfig& config, const HostState& state);

// What a DISPID 28 action did on the machine the host runs on.
struct DirectoryOutcome {
  bool gone = false;    // the directory no longer exists
  std::string summary;  // what was removed and what was left, or why nothing was
};

// Carries out `action` on `directory` for a host in `state`; must not throw.
using DirectoryActor = std::function<DirectoryOutcome(DirectoryAction action, const std::string& directory,
                                                      const HostConfig& config, const HostState& state)>;

// Also places its own two controls on frmCommon, so the snap-in's calls from
// either object are recorded in one sequence.
class ReplacementHost final : public FormControlProvider {
 public:
  explicit ReplacementHost(HostConfig config);
  ~ReplacementHost() override;
  ReplacementHost(const ReplacementHost&) = delete;
  ReplacementHost& operator=(const ReplacementHost&) = delete;

  host::HostControl& QviPublic();
  host::HostControl& QviNTNWSvc();
  HostControls PlaceOnFrmCommon() override;

  // Calls from now on are recorded under this event name ("creation",
  // "qviSetup", ...).
  void BeginEvent(const std::string& event);
  const std::string& current_event() const;

  const std::vector<HostCall>& calls() const;
  const HostState& state() const;
  // Lets a test change what the host answers between events.
  HostConfig& mutable_config();
  // Who acts on the machine for DISPID 28; without one no action runs.
  void SetDirectoryActor(DirectoryActor actor);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qvi::rhost
