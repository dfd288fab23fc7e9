#include "scenario/matrix_lines.h"

#include <algorithm>
#include <functional>

#include "emu/ini_document.h"
#include "runtime/code_page.h"
#include "scenario/report.h"

namespace qvi::scenario {

namespace {

std::vector<EventEnd> Outcomes(const RunResult& run) {
  std::vector<EventEnd> out;
  for (const rhost::EventOutcome& e : run.events) {
    out.push_back({std::string(EventName(e.event)), e.failed, e.failed ? code_page::ToUtf8(e.reason) : ""});
  }
  return out;
}

std::string RegistryLine(const RegistryChange& c) {
  const auto value = [](const emu::RegistryValue& v) {
    return RegistryTypeName(v.type) + " \"" + RegistryDataText(v) + "\"";
  };
  switch (c.op) {
    case RegistryChange::Op::kCreateKey: return "create " + c.key;
    case RegistryChange::Op::kDeleteKey: return "delete " + c.key;
    case RegistryChange::Op::kSetValue: return "set " + c.key + " \"" + c.value.name + "\" " + value(c.value);
    case RegistryChange::Op::kChangeValue:
      return "change " + c.key + " \"" + c.value.name + "\" " + value(c.value) + " was " + value(*c.before);
    case RegistryChange::Op::kDeleteValue: return "delete " + c.key + " \"" + c.value.name + "\"";
  }
  return c.key;
}

void AddRegistry(RunLines& lines, const std::vector<RegistryChange>& changes) {
  for (const RegistryChange& c : changes) {
    lines.registry.push_back(code_page::ToUtf8(RegistryLine(c)));
    const bool of_value = c.op != RegistryChange::Op::kCreateKey && c.op != RegistryChange::Op::kDeleteKey;
    lines.registry_targets.push_back({c.op, c.key, of_value ? std::optional(c.value.name) : std::nullopt});
  }
}

void AddFiles(RunLines& lines, const std::vector<FileChange>& files) {
  for (const FileChange& f : files) {
    lines.files.push_back(code_page::ToUtf8(f.path) +
                          (f.after ? " " + std::to_string(f.after->size()) + " bytes" : " removed"));
    lines.file_paths.push_back(f.path);
  }
}

// The watched files' bytes: at the end as `now` holds them, and before as
// the change to each tells, else as they are now (they did not change).
void AddProfiles(RunLines& lines, const std::vector<std::string>& watched, const std::map<std::string, std::string>& now,
                 const std::vector<FileChange>& changes) {
  for (const std::string& path : watched) {
    ProfileFile file{path, std::nullopt, std::nullopt};
    const auto held = std::find_if(now.begin(), now.end(),
                                   [&](const auto& entry) { return code_page::EqualsNoCase(entry.first, path); });
    if (held != now.end()) file.after = held->second;
    const auto changed = std::find_if(changes.begin(), changes.end(),
                                      [&](const FileChange& c) { return code_page::EqualsNoCase(c.path, path); });
    file.before = changed != changes.end() ? changed->before : file.after;
    lines.profiles.push_back(std::move(file));
  }
}

// "- " for lines only `clean` has, "+ " for lines only `faulty` has, as
// multisets so a line made twice counts twice.
std::vector<std::string> Difference(std::vector<std::string> clean, std::vector<std::string> faulty) {
  std::sort(clean.begin(), clean.end());
  std::sort(faulty.begin(), faulty.end());
  std::vector<std::string> only_clean;
  std::vector<std::string> only_faulty;
  std::set_difference(clean.begin(), clean.end(), faulty.begin(), faulty.end(), std::back_inserter(only_clean));
  std::set_difference(faulty.begin(), faulty.end(), clean.begin(), clean.end(), std::back_inserter(only_faulty));
  std::vector<std::string> out;
  for (const std::string& line : only_clean) out.push_back("- " + line);
  for (const std::string& line : only_faulty) out.push_back("+ " + line);
  return out;
}

// How a line of the clean run's registry stands to a call's own write.
enum class Own { kNot, kLost, kMaybeLost };

// The faulty run's registry is the clean one's without every line `own` says
// is lost and perhaps some it says may be; at least one line is lost.
bool OnlyRegistryLost(const RunLines& clean, const RunLines& faulty, const Effect& effect,
                      const std::function<Own(const RegistryTarget&)>& own) {
  if (!effect.files.empty() || !effect.log.empty() || !effect.host.empty()) return false;
  std::vector<std::string> kept;
  std::vector<std::string> maybe;
  for (std::size_t i = 0; i < clean.registry.size(); ++i) {
    const Own is = own(clean.registry_targets[i]);
    if (is != Own::kLost) (is == Own::kNot ? kept : maybe).push_back(clean.registry[i]);
  }
  if (kept.size() + maybe.size() == clean.registry.size()) return false;
  for (const std::string& line : Difference(kept, faulty.registry)) {
    if (!line.starts_with("+ ") || std::find(maybe.begin(), maybe.end(), line.substr(2)) == maybe.end()) return false;
  }
  return true;
}

const ProfileFile* ProfileOf(const RunLines& lines, const std::string& path) {
  for (const ProfileFile& file : lines.profiles) {
    if (file.path == path) return &file;
  }
  return nullptr;
}

std::vector<std::string> FileLinesBut(const RunLines& lines, const std::string& path) {
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < lines.files.size(); ++i) {
    if (!code_page::EqualsNoCase(lines.file_paths[i], path)) rest.push_back(lines.files[i]);
  }
  return rest;
}

// Every entry of the faulty run's file is the clean run's, but the written
// one, which is as it was before the run; and the write changed it.
bool OnlyEntryLost(const ProfileFile& clean, const ProfileFile& faulty, const OwnWrite& write) {
  const emu::IniDocument before(clean.before.value_or(""));
  const emu::IniDocument done(clean.after.value_or(""));
  const emu::IniDocument lost(faulty.after.value_or(""));
  const auto own = [&](const std::string& section, const std::string& key) {
    return emu::IniNamesEqual(section, write.section) && (!write.entry || emu::IniNamesEqual(key, *write.entry));
  };
  bool changed = false;
  for (const emu::IniDocument* names : {&before, &done, &lost}) {
    for (const std::string& section : names->SectionNames()) {
      for (const std::string& key : names->KeyNames(section)) {
        const auto expected = own(section, key) ? before.RawValue(section, key) : done.RawValue(section, key);
        if (lost.RawValue(section, key) != expected) return false;
        changed = changed || (own(section, key) && done.RawValue(section, key) != expected);
      }
    }
  }
  return changed;
}

bool ProfileEntryLost(const RunLines& clean, const RunLines& faulty, const Effect& effect, const OwnWrite& write) {
  if (!effect.registry.empty() || !effect.log.empty() || !effect.host.empty()) return false;
  if (!Difference(FileLinesBut(clean, write.file), FileLinesBut(faulty, write.file)).empty()) return false;
  const ProfileFile* done = ProfileOf(clean, write.file);
  const ProfileFile* lost = ProfileOf(faulty, write.file);
  return done != nullptr && lost != nullptr && OnlyEntryLost(*done, *lost, write);
}

}  // namespace

RunLines LinesOf(const RunResult& run, const std::vector<std::string>& watched) {
  RunLines lines;
  lines.outcomes = Outcomes(run);
  AddRegistry(lines, run.registry_changes);
  AddFiles(lines, run.files);
  for (const std::string& line : run.log) lines.log.push_back(code_page::ToUtf8(line));
  lines.host = HostRequestLines(run.host_state);
  AddProfiles(lines, watched, run.files_after, run.files);
  return lines;
}

RunLines LinesOf(const LifeCycleResult& cycle, const std::vector<std::string>& watched) {
  RunLines lines;
  for (std::size_t i = 0; i < cycle.steps.size(); ++i) {
    const std::string step = "step " + std::to_string(i + 1) + " ";
    RunLines own = LinesOf(cycle.steps[i], {});
    for (EventEnd& e : own.outcomes) {
      e.event = step + e.event;
      lines.outcomes.push_back(std::move(e));
    }
    for (const std::string& line : own.log) lines.log.push_back(step + line);
    for (const std::string& line : own.host) lines.host.push_back(step + line);
  }
  if (!cycle.stopped.empty()) lines.outcomes.push_back({"(the life cycle)", true, cycle.stopped});
  AddRegistry(lines, cycle.left_registry);
  AddFiles(lines, cycle.left_files);
  AddProfiles(lines, watched, cycle.steps.empty() ? std::map<std::string, std::string>{} : cycle.steps.back().files_after,
              cycle.left_files);
  return lines;
}

Effect EffectOf(const RunLines& clean, const RunLines& faulty) {
  return {faulty.outcomes, Difference(clean.registry, faulty.registry), Difference(clean.files, faulty.files),
          Difference(clean.log, faulty.log), Difference(clean.host, faulty.host)};
}

std::vector<std::string> WatchedFiles(const std::vector<std::optional<OwnWrite>>& writes) {
  std::vector<std::string> files;
  for (const auto& write : writes) {
    if (write && !write->file.empty() && std::find(files.begin(), files.end(), write->file) == files.end()) {
      files.push_back(write->file);
    }
  }
  return files;
}

OwnLoss LossOf(const Fault& fault, const OwnWrite& write, const RunLines& clean, const RunLines& faulty) {
  if (faulty.outcomes != clean.outcomes) return OwnLoss::kNone;
  const Effect effect = EffectOf(clean, faulty);
  if (fault.host) {
    const bool lost = !write.host_line.empty() && effect.registry.empty() && effect.files.empty() &&
                      effect.log.empty() && effect.host == std::vector<std::string>{"- " + write.host_line};
    return lost ? OwnLoss::kHostRequest : OwnLoss::kNone;
  }
  switch (fault.function) {
    case faults::Function::kRegSetValueExA: {
      const auto own = [&](const RegistryTarget& t) {
        const bool mine = t.value && write.value && code_page::EqualsNoCase(t.key, write.key) &&
                          code_page::EqualsNoCase(*t.value, *write.value);
        return mine ? Own::kLost : Own::kNot;
      };
      return OnlyRegistryLost(clean, faulty, effect, own) ? OwnLoss::kValue : OwnLoss::kNone;
    }
    case faults::Function::kRegCreateKeyA: {
      // The call makes the keys above its own that are missing, too; a
      // later call may make them all the same.
      const auto own = [&](const RegistryTarget& t) {
        if (code_page::EqualsNoCase(t.key, write.key) || code_page::StartsWithNoCase(t.key, write.key + "\\")) {
          return Own::kLost;
        }
        const bool above = t.op == RegistryChange::Op::kCreateKey && code_page::StartsWithNoCase(write.key, t.key + "\\");
        return above ? Own::kMaybeLost : Own::kNot;
      };
      return !write.key.empty() && OnlyRegistryLost(clean, faulty, effect, own) ? OwnLoss::kKeyTree : OwnLoss::kNone;
    }
    case faults::Function::kWritePrivateProfileStringA:
      return !write.file.empty() && ProfileEntryLost(clean, faulty, effect, write) ? OwnLoss::kProfileEntry
                                                                                  : OwnLoss::kNone;
    default: return OwnLoss::kNone;
  }
}

}  // namespace qvi::scenario
