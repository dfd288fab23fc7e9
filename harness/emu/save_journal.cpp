#include "emu/save_journal.h"

#include <set>
#include <string_view>
#include <system_error>

namespace qvi::emu {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kJournalEnd = "end";
// A journal names at most every INI file and the store; anything larger was
// not written here.
constexpr std::uint64_t kMaxJournalBytes = 16u << 20;

bool IsTemporaryName(const std::string& name) {
  return !name.empty() && name.front() == '.' && name.find(kTempMarker) != std::string::npos;
}

// A path of the journal: relative, below the folder, never through "..".
fs::path Inside(const fs::path& folder, std::string_view relative, const std::string& where) {
  const fs::path path = fs::path(std::string(relative)).lexically_normal();
  if (relative.empty() || path.is_absolute() || path.has_root_name() || path.empty() || *path.begin() == "..") {
    throw MachineError(where + ": names a file outside the machine");
  }
  return folder / path;
}

void RemoveTemporaries(const fs::path& folder, int depth) {
  for (const FolderEntry& entry : ListFolder(folder).value_or(std::vector<FolderEntry>{})) {
    if (entry.kind == FolderEntry::Kind::kFolder) {
      // At the top level only the drive folders hold saved files.
      if (depth > 0 || entry.name.rfind("drive_", 0) == 0) RemoveTemporaries(folder / entry.name, depth + 1);
    } else if (IsTemporaryName(entry.name)) {
      std::error_code ignored;
      fs::remove(folder / entry.name, ignored);
    }
  }
}

}  // namespace

void CommitFiles(const fs::path& folder, const std::vector<PendingFile>& files, Durability durability) {
  if (files.empty()) return;
  // A journal still here is one of an earlier save, whose files are all in
  // place: left lying, it would later finish this save's temporaries
  // before their commit.
  std::error_code stale;
  fs::remove(folder / kJournalFile, stale);
  if (stale) throw MachineError((folder / kJournalFile).string() + ": cannot remove: " + stale.message());
  if (files.size() == 1) {
    AtomicWrite(files.front().target, files.front().Content(), durability);
    return;
  }
  std::vector<fs::path> temps;
  std::string journal;
  const auto discard = [&] {
    std::error_code ignored;
    for (const fs::path& temp : temps) fs::remove(temp, ignored);
  };
  try {
    for (const PendingFile& file : files) {
      temps.push_back(WriteTemporary(file.target, file.Content(), durability));
      journal += temps.back().lexically_relative(folder).generic_string() + "\t" +
                 file.target.lexically_relative(folder).generic_string() + "\n";
    }
    journal += std::string(kJournalEnd) + "\n";
    const fs::path journal_path = folder / kJournalFile;
    temps.push_back(WriteTemporary(journal_path, journal, durability));
    RenameOver(temps.back(), journal_path);
    temps.pop_back();
  } catch (const MachineError&) {
    discard();
    throw;
  }
  if (durability == Durability::kFlushed) SyncFolder(folder);
  // Committed: from here on a failure is finished by the next open.
  std::set<fs::path> folders;
  for (std::size_t i = 0; i < files.size(); ++i) {
    RenameOver(temps[i], files[i].target);
    folders.insert(files[i].target.parent_path());
  }
  if (durability == Durability::kFlushed) {
    for (const fs::path& changed : folders) SyncFolder(changed);
  }
  std::error_code ignored;
  fs::remove(folder / kJournalFile, ignored);
}

void RecoverFolder(const fs::path& folder) {
  const fs::path journal_path = folder / kJournalFile;
  if (const auto journal = ReadWholeFile(journal_path, kMaxJournalBytes)) {
    const std::string name = journal_path.string();
    // A journal is only ever renamed into place whole, so one without its last
    // line was not written by a save.
    if (!journal->ends_with(std::string(kJournalEnd) + "\n")) throw MachineError(name + ": not a complete journal");
    std::vector<std::pair<fs::path, fs::path>> moves;
    std::size_t line_number = 0;
    for (std::size_t at = 0; at < journal->size();) {
      const std::size_t end = journal->find('\n', at);
      const std::string_view line = std::string_view(*journal).substr(at, end - at);
      at = end + 1;
      ++line_number;
      if (line == kJournalEnd) break;
      const std::string where = name + ":" + std::to_string(line_number);
      const std::size_t tab = line.find('\t');
      if (tab == std::string_view::npos) throw MachineError(where + ": not a journal line");
      fs::path temp = Inside(folder, line.substr(0, tab), where);
      fs::path target = Inside(folder, line.substr(tab + 1), where);
      if (temp.parent_path() != target.parent_path() || !IsTemporaryName(temp.filename().string())) {
        throw MachineError(where + ": not a temporary file beside its target");
      }
      moves.emplace_back(std::move(temp), std::move(target));
    }
    std::set<fs::path> folders;
    for (const auto& [temp, target] : moves) {
      std::error_code ec;
      // Gone when this move was made before the interruption.
      if (!fs::is_regular_file(fs::symlink_status(temp, ec))) continue;
      RenameOver(temp, target);
      folders.insert(target.parent_path());
    }
    for (const fs::path& changed : folders) SyncFolder(changed);
    std::error_code ignored;
    fs::remove(journal_path, ignored);
    SyncFolder(folder);
  }
  RemoveTemporaries(folder, 0);
}

}  // namespace qvi::emu
