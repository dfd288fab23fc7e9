#include "emu/save_journal.h"

#include <algorithm>
#include <limits>
#include <set>
#include <string_view>
#include <system_error>

#include "emu/digest.h"
#include "emu/registry_log.h"

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

std::string DigestOfFile(const fs::path& path) {
  FileReader reader(path, std::numeric_limits<std::uint64_t>::max());
  std::uint64_t digest = kDigestStart;
  std::string piece;
  while (reader.ReadMore(piece, 1 << 16)) {
    digest = Digest(digest, piece);
    piece.clear();
  }
  return DigestHex(digest);
}

// A path of the journal: relative, below the folder, never through "..".
fs::path Inside(std::string_view relative, const std::string& where) {
  const fs::path path = fs::path(std::string(relative)).lexically_normal();
  if (relative.empty() || path.is_absolute() || path.has_root_name() || path.empty() || *path.begin() == "..") {
    throw MachineError(where + ": names a file outside the machine");
  }
  return path;
}

void RemoveTemporaries(const fs::path& folder, int depth) {
  for (const FolderEntry& entry : ListFolder(folder).value_or(std::vector<FolderEntry>{})) {
    if (entry.kind == FolderEntry::Kind::kFolder) {
      // At the top level only the drive folders hold saved files.
      if (depth > 0 || entry.name.rfind("drive_", 0) == 0) RemoveTemporaries(folder / entry.name, depth + 1);
    } else if (IsTemporaryName(entry.name)) {
      RemoveFile(folder / entry.name);
    }
  }
}

struct Move {
  fs::path temp, target;  // relative to the machine folder
  std::string digest;     // of the new content; empty in journals without one
  std::string where;
  // For records appended to a log ("+LOG<tab>OFFSET<tab>LENGTH<tab>COUNT"):
  // `target` is the log, and `temp` empty.
  std::uint64_t offset = 0, length = 0;
  std::uint32_t count = 0;
};

// A number of the journal, refused when it is none or beyond 64 bits.
std::uint64_t Number(std::string_view text, const std::string& where) {
  std::uint64_t value = 0;
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != text.npos) {
    throw MachineError(where + ": not a journal line");
  }
  for (const char digit : text) value = value * 10 + static_cast<std::uint64_t>(digit - '0');
  return value;
}

// The journal's lines: "TEMP<tab>TARGET" for each file, "end", then the
// digest of each file's new content in the same order and "end" again. A
// reader that knows no digests stops at the first "end".
std::vector<Move> ParseJournal(const std::string& journal, const std::string& name) {
  // A journal is only ever renamed into place whole, so one without its last
  // line was not written by a save.
  if (!journal.ends_with(std::string(kJournalEnd) + "\n")) throw MachineError(name + ": not a complete journal");
  std::vector<Move> moves;
  std::size_t line_number = 0;
  std::size_t digests = 0;
  bool in_digests = false;
  for (std::size_t at = 0; at < journal.size();) {
    const std::size_t end = journal.find('\n', at);
    const std::string_view line = std::string_view(journal).substr(at, end - at);
    at = end + 1;
    ++line_number;
    const std::string where = name + ":" + std::to_string(line_number);
    if (line == kJournalEnd) {
      if (in_digests) break;
      in_digests = true;
      continue;
    }
    if (in_digests) {
      if (digests == moves.size() || line.size() != 16 || line.find_first_not_of("0123456789abcdef") != line.npos) {
        throw MachineError(where + ": not a digest of the journal");
      }
      moves[digests++].digest = std::string(line);
      continue;
    }
    if (line.starts_with("+")) {
      std::vector<std::string_view> parts;
      for (std::size_t from = 1;;) {
        const std::size_t tab = line.find('\t', from);
        parts.push_back(line.substr(from, tab == line.npos ? tab : tab - from));
        if (tab == line.npos) break;
        from = tab + 1;
      }
      if (parts.size() != 4 || parts[0] != kRegistryLogFile) throw MachineError(where + ": not a journal line");
      Move log{{}, fs::path(std::string(parts[0])), {}, where, Number(parts[1], where), Number(parts[2], where), 0};
      const std::uint64_t count = Number(parts[3], where);
      if (count > 0xffffffffu || log.offset > (std::uint64_t{1} << 40) || log.length > (std::uint64_t{1} << 40)) {
        throw MachineError(where + ": not a journal line");
      }
      log.count = static_cast<std::uint32_t>(count);
      moves.push_back(std::move(log));
      continue;
    }
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) throw MachineError(where + ": not a journal line");
    fs::path temp = Inside(line.substr(0, tab), where);
    fs::path target = Inside(line.substr(tab + 1), where);
    if (temp.parent_path() != target.parent_path() || !IsTemporaryName(temp.filename().string())) {
      throw MachineError(where + ": not a temporary file beside its target");
    }
    moves.push_back({std::move(temp), std::move(target), {}, where});
  }
  if (digests != 0 && digests != moves.size()) throw MachineError(name + ": not a complete journal");
  return moves;
}

// Writes the commit record of records a committed journal appended, once
// they are found whole where it says and nothing but they follow the log's
// last commit: a journal that names other bytes (stale, or made by hand)
// would otherwise cut committed records away. Lost or other records leave
// the save unfinishable.
void FinishLogAppend(const fs::path& folder, const Move& move) {
  const fs::path log = folder / move.target;
  const std::uint64_t end = move.offset + move.length;
  // Opened without following a link, as the renames are.
  FileReader reader(log, std::numeric_limits<std::uint64_t>::max());
  std::uint64_t read = 0, digest = kDigestStart;
  const LogScan scan = ReplayRegistryLog(
      nullptr,
      [&](std::string& out, std::size_t at_most) {
        const std::size_t before = out.size();
        const bool more = reader.ReadMore(out, at_most);
        // The journal's records, digested on the way past.
        const std::uint64_t from = std::max(read, move.offset),
                            to = std::min<std::uint64_t>(read + out.size() - before, end);
        if (from < to) digest = Digest(digest, std::string_view(out).substr(before + (from - read), to - from));
        read += out.size() - before;
        return more;
      },
      log.string());
  // Committed before the interruption: the journal's commit is the log's last.
  if (scan.committed && scan.valid == end + kLogCommitBytes && scan.commit_offset == move.offset &&
      scan.commit_count == move.count) {
    return;
  }
  if (scan.valid != move.offset || scan.pending_end != end || scan.pending_count != move.count ||
      (!move.digest.empty() && DigestHex(digest) != move.digest)) {
    throw MachineError(move.where + ": the records appended to " + move.target.generic_string() +
                       " are not where the journal says; the committed save cannot be finished");
  }
  WriteAt(log, end, EncodeLogCommit(move.offset, move.count), Durability::kFlushed);
}

}  // namespace

void CommitFiles(const fs::path& folder, const std::vector<PendingFile>& files, Durability durability,
                 const LogAppend* log) {
  if (files.empty() && !log) return;
  const bool flushed = durability == Durability::kFlushed;
  RecordFileOp({FileOp::Kind::kSaveBegin, folder, {}, {}});
  // A journal still here is one of an earlier save, whose files are all in
  // place: left lying, it would later finish this save's temporaries
  // before their commit.
  const fs::path journal_path = folder / kJournalFile;
  std::error_code stale;
  if (!RemoveFile(journal_path) && fs::exists(fs::symlink_status(journal_path, stale))) {
    throw MachineError(journal_path.string() + ": cannot remove");
  }
  if (files.empty()) {
    // The records reach the disk before their commit record is written: a
    // commit record read back then always follows whole records, so damage
    // before one is damage, never a torn append (registry_log.h).
    WriteAt(log->path, log->offset, log->records, durability);
    WriteAt(log->path, log->offset + log->records.size(), EncodeLogCommit(log->offset, log->count), durability);
    RecordFileOp({FileOp::Kind::kSaveEnd, folder, {}, {}});
    return;
  }
  if (files.size() == 1 && !log) {
    AtomicWrite(files.front().target, files.front().Content(), durability);
    RecordFileOp({FileOp::Kind::kSaveEnd, folder, {}, {}});
    return;
  }
  std::vector<fs::path> temps;
  std::string journal;
  std::string digests;
  const auto discard = [&] {
    for (const fs::path& temp : temps) RemoveFile(temp);
  };
  std::set<fs::path> folders;
  try {
    for (const PendingFile& file : files) {
      std::uint64_t digest = kDigestStart;
      const ContentProducer content = file.Content();
      temps.push_back(WriteTemporary(
          file.target,
          [&](const PutPiece& put) {
            content([&](std::string_view piece) {
              digest = Digest(digest, piece);
              put(piece);
            });
          },
          durability));
      journal += temps.back().lexically_relative(folder).generic_string() + "\t" +
                 file.target.lexically_relative(folder).generic_string() + "\n";
      digests += DigestHex(digest) + "\n";
      folders.insert(file.target.parent_path());
    }
    if (log) {
      // Written but not yet counted: without their commit record the next
      // open takes them for the tail of an append that never finished.
      WriteAt(log->path, log->offset, log->records, durability);
      journal += "+" + log->path.lexically_relative(folder).generic_string() + "\t" + std::to_string(log->offset) +
                 "\t" + std::to_string(log->records.size()) + "\t" + std::to_string(log->count) + "\n";
      digests += DigestHex(Digest(kDigestStart, log->records)) + "\n";
    }
    journal += std::string(kJournalEnd) + "\n" + digests + std::string(kJournalEnd) + "\n";
    // The journal's rename may reach the disk before the names of the files
    // it lists: after a power cut it would then commit files that are not
    // there. Their folders are flushed first.
    if (flushed) {
      for (const fs::path& changed : folders) SyncFolder(changed);
    }
    temps.push_back(WriteTemporary(journal_path, journal, durability));
    RenameOver(temps.back(), journal_path);
    temps.pop_back();
  } catch (const MachineError&) {
    discard();
    throw;
  }
  // Committed: from here on a failure is finished by the next open, and no
  // file the journal names may go, or that open could only refuse the
  // machine. A flush that fails still fails the save.
  if (flushed) SyncFolder(folder);
  for (std::size_t i = 0; i < files.size(); ++i) RenameOver(temps[i], files[i].target);
  if (log) WriteAt(log->path, log->offset + log->records.size(), EncodeLogCommit(log->offset, log->count), durability);
  if (flushed) {
    for (const fs::path& changed : folders) SyncFolder(changed);
  }
  RemoveFile(journal_path);
  // Gone from the disk before the next save writes temporaries of the same
  // names, or a power cut could bring it back to commit them.
  if (flushed) SyncFolder(folder);
  RecordFileOp({FileOp::Kind::kSaveEnd, folder, {}, {}});
}

void RecoverFolder(const fs::path& folder) {
  const fs::path journal_path = folder / kJournalFile;
  if (const auto journal = ReadWholeFile(journal_path, kMaxJournalBytes)) {
    std::set<fs::path> folders;
    for (const Move& move : ParseJournal(*journal, journal_path.string())) {
      if (move.temp.empty()) {
        FinishLogAppend(folder, move);
        continue;
      }
      if (RenameInside(folder, move.temp, move.target)) {
        folders.insert(folder / move.target.parent_path());
        continue;
      }
      // Gone: renamed before the interruption, unless the disk lost it. The
      // target then holds other bytes than the journal's, and finishing the
      // save would leave the machine half old, half new.
      if (!move.digest.empty() && DigestOfFile(folder / move.target) != move.digest) {
        throw MachineError(move.where + ": " + move.temp.generic_string() +
                           " is lost; the committed save cannot be finished");
      }
    }
    for (const fs::path& changed : folders) SyncFolder(changed);
    RemoveFile(journal_path);
    SyncFolder(folder);
  }
  RemoveTemporaries(folder, 0);
}

}  // namespace qvi::emu
