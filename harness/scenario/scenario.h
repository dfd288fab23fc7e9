// A scenario: the machine to run on, what the host answers and which events it
// raises, loaded from JSON.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "control/events.h"
#include "emu/emu_types.h"
#include "emu/file_io.h"
#include "emu/registry_store.h"
#include "faults/fault_injection.h"
#include "replacement_host/replacement_host.h"
#include "scenario/expectations.h"

namespace qvi::scenario {

// A scenario that cannot be used. what() names the source, and either the line
// and column of a JSON syntax error or the path of the offending field
// ("host.failures[0].dispid").
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The registry a scenario's machine.registry_file seeds, read while the
// scenario was checked. Copies of a scenario share it, and so do scenarios
// loaded with one SeedCache that name the same file.
class RegistrySeed {
 public:
  // Reads `file` a piece at a time: its text is never held whole. Throws
  // emu::MachineError naming the file, or "seed:LINE: ..." for text that
  // does not parse.
  explicit RegistrySeed(std::filesystem::path file);

  const std::filesystem::path& file() const { return file_; }
  // The file as it was when first read, and a digest of its bytes.
  const emu::FileStamp& stamp() const { return stamp_; }
  std::uint64_t digest() const { return digest_; }
  // How many times the file has been read.
  int reads() const { return reads_; }

  // A store for one run to take the trees of: the first time, the store
  // read while checking (which is then let go); after that a new read of
  // the file, refused with emu::MachineError when the file no longer holds
  // the bytes first read.
  std::unique_ptr<emu::RegistryStore> Take();

 private:
  std::unique_ptr<emu::RegistryStore> Read(std::uint64_t& digest);

  std::filesystem::path file_;
  emu::FileStamp stamp_;
  std::uint64_t digest_ = 0;
  std::atomic<int> reads_{0};
  std::mutex mutex_;
  std::unique_ptr<emu::RegistryStore> first_;  // until taken
};

// The registry files read while loading scenarios. A file read before is
// not read again while it keeps its identity, size and modification time;
// two reads of one file (its identity) that give the same bytes (their
// digest) are one seed.
class SeedCache {
 public:
  // Throws as RegistrySeed does.
  std::shared_ptr<RegistrySeed> Get(const std::filesystem::path& file);

 private:
  std::vector<std::shared_ptr<RegistrySeed>> seeds_;
};

struct SeedFile {
  std::string path;  // Windows path, e.g. "C:\WINNT\kethra.ini"
  std::string content;
};

struct PlatformFailure {
  faults::Function function = faults::Function::kRegCreateKeyA;
  int occurrence = 1;
  platform::Status code = 5;
};

struct ScenarioEvent {
  Event event = Event::kCreation;
  std::string argument;  // as text; "" when the event has none
};

struct Scenario {
  std::string name;
  std::string description;
  emu::MachineSettings machine;
  // The machine settings the scenario states ("computer_name", ...): an
  // existing machine keeps its own, which is worth a warning only for these.
  std::vector<std::string> machine_fields;
  // The machine folder the scenario names ("machine.folder", relative to the
  // scenario file); a --machine on the command line wins over it.
  std::optional<std::filesystem::path> machine_folder;
  std::string registry;  // machine.registry: .reg text seeded into the machine, "" for none
  // machine.registry_file, read; null for none.
  std::shared_ptr<RegistrySeed> registry_seed;
  std::vector<SeedFile> files;
  // machine.drives: letters ('D') whose drive folders the machine must have.
  std::vector<char> drives;
  rhost::HostConfig host;
  std::vector<PlatformFailure> platform_failures;
  std::vector<ScenarioEvent> events;
  // The host's answers that stand for the machine's own name (QviNTNWSvc's
  // UNC name and drive prefix): unless the scenario gives them, they are
  // taken from the machine a run opens, which may be an existing one of
  // another name.
  bool unc_name_is_machines = true;
  bool drive_prefix_is_machines = true;
  // A life cycle ("steps"): scenarios run in order on this one's machine,
  // which is seeded before the first; `events` is then empty. Each step
  // brings the seeds of its base (added where absent, as a run on an
  // existing machine adds them) unless it says "seeds": false.
  std::vector<Scenario> steps;
  // The "expect" section, absent when the file has none. A life cycle's
  // holds only "left_behind"; its steps hold their own.
  std::optional<Expectations> expect;
  // The scenario's JSON text as it was read, and the file or name it came from.
  std::string text;
  std::string source;
};

// The scenario's host answers on a computer of this name: the answers that
// stand for the machine's own name made from it.
rhost::HostConfig HostConfigFor(const Scenario& scenario, const std::string& computer_name);

// Parses a scenario. `source` names the text in error messages; `base_dir` is
// where a "registry_file", a "machine.folder" and a "base" file are looked
// for. Text meant for the machine (answers, seeds, arguments) is turned from
// UTF-8 into the machine's code page. Throws ScenarioError. A registry file
// already in `seeds` is not read again.
//
// A top-level "base" names the scenario this one is made from: an embedded
// scenario, or a scenario file relative to `base_dir` (and inside it). The
// scenario is then the base, without its name and description, with this
// document's other fields applied as a JSON merge patch (RFC 7386): objects
// merge key by key, arrays and other values replace, a null removes the
// base's field. Bases may have bases. A base that cannot be found, read or
// parsed, is not an object or leads back to a scenario on the way is refused,
// and so is a null where the base has nothing to remove: in a scenario a null
// is an Empty answer, which a patch cannot give.
Scenario ParseScenario(std::string_view json_text, const std::string& source,
                       const std::filesystem::path& base_dir = {}, SeedCache* seeds = nullptr);

// The paths a scenario file names (its base, registry_file, machine.folder)
// lie in its own folder, or below the nearest folder above it that holds a
// file of this name: a regular file of this user (or the administrator) that
// no one else may write, so that scenarios in sibling folders can share
// bases.
inline constexpr const char* kRootMarker = ".qvihost-root";

// A scenario built into qvihost, or a JSON file (its "base" resolved as by
// ParseScenario). Throws ScenarioError when the name is neither an embedded
// scenario nor a readable file.
Scenario LoadScenario(const std::string& name_or_file, SeedCache* seeds = nullptr);

// A scenario file as one JSON document with its base, and each step's, merged
// in: what a run of it reads (a step's machine settings are still the life
// cycle's). Throws ScenarioError as LoadScenario does.
std::string MergedScenarioText(const std::string& file);

// The embedded scenarios: names in a fixed order, and the text of one.
std::vector<std::string> EmbeddedScenarioNames();
std::optional<std::string_view> EmbeddedScenarioText(std::string_view name);

// "4.0" or "3.51" -> major in the upper 16 bits, minor in the lower.
std::optional<std::int32_t> ParseVersionText(std::string_view text);

}  // namespace qvi::scenario
