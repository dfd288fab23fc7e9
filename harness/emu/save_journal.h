// Saves that change several files of a machine folder as one step.
//
// Each new file is first written whole beside the file it replaces; then a
// journal naming every pair is renamed into place. That rename is the commit:
// before it the folder is as it was, after it the next open finishes the
// renames (RecoverFolder), so a killed process leaves the machine as before
// or as after the save, never a mixture.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "emu/file_io.h"

namespace qvi::emu {

// The journal's name in the machine folder.
inline constexpr const char* kJournalFile = ".save-journal";

struct PendingFile {
  std::filesystem::path target;  // inside `folder`
  std::string bytes;
  // When set, writes the content in pieces instead of `bytes`.
  ContentProducer produce;

  ContentProducer Content() const {
    if (produce) return produce;
    return [this](const PutPiece& put) { put(bytes); };
  }
};

// Records for an append-only file (registry_log.h), written at `offset` and
// counting only once their commit record follows them.
struct LogAppend {
  std::filesystem::path path;  // inside `folder`
  std::uint64_t offset = 0;
  std::string records;
  std::uint32_t count = 0;
};

// Replaces every target with its bytes and appends `log`'s records, all or
// none. Throws MachineError naming the file that failed; before the commit
// nothing has changed, after it what remains is finished by the next
// RecoverFolder. Records appended alone commit with their own commit record,
// written with them; beside files, the journal commits them and the commit
// record follows once it has.
void CommitFiles(const std::filesystem::path& folder, const std::vector<PendingFile>& files, Durability durability,
                 const LogAppend* log = nullptr);

// Finishes a save that was committed but interrupted, then removes the
// temporary files of saves that never committed, in the folder and below its
// drive folders (links are not followed). Throws MachineError naming the
// journal when it is not one this program wrote.
void RecoverFolder(const std::filesystem::path& folder);

}  // namespace qvi::emu
