// The registry changes of a kept machine since registry.reg was last written
// whole, as an append-only file beside it (registry.log), so that a save
// costs what the run changed rather than the whole store.
//
// The file is a header and then records, each framed as its payload's length
// and CRC-32 (both 32-bit little-endian) and the payload. A save appends the
// records of its changes, flushes them, and only then appends a commit record
// naming where they began and how many there are; only committed records
// count. So a commit record that reads back whole follows whole records:
// a record that does not frame (cut short, a length beyond any record, a
// checksum that fails) with a commit record anywhere after it is damage, and
// the file is refused; with none after it, it is the tail of an append a
// crash cut short, which never counted, and is ignored. A record whose
// checksum holds but whose kind, fields or key the store cannot take is
// refused wherever it is.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "emu/emu_types.h"
#include "emu/registry_store.h"

namespace qvi::emu {

inline constexpr const char* kRegistryLogFile = "registry.log";

struct LogOp {
  enum class Kind : std::uint8_t { kDeleteKey = 1, kCreateKey = 2, kSetValue = 3, kDeleteValue = 4 };
  Kind kind = Kind::kCreateKey;
  std::string key;  // full path, "HKEY_LOCAL_MACHINE\..."
  RegistryValue value;  // name for value operations; type and data for kSetValue
};

// A key as the log last left it.
struct LoggedKey {
  bool exists = false;
  std::string path;
  std::vector<RegistryValue> values;
};

// The operations that take `then` to `now` for one key. Key deletions come
// first in `deletions`, the rest in `changes`; a root key is never created
// or deleted, only its values change.
void LogOpsForKey(const LoggedKey& then, const LoggedKey& now, std::vector<LogOp>& deletions,
                  std::vector<LogOp>& changes);

// The file's first bytes, and all of an empty log.
std::string RegistryLogHeader();
// The framed records of `ops`.
std::string EncodeLogOps(const std::vector<LogOp>& ops);
// The commit record of `count` records that begin at `offset`.
std::string EncodeLogCommit(std::uint64_t offset, std::uint32_t count);

// A commit record's size.
inline constexpr std::uint64_t kLogCommitBytes = 21;

// The largest log a machine writes beside a registry.reg of `registry_bytes`:
// a save that would take its records past a quarter of registry.reg writes
// the store whole instead, so only the commit record may pass it.
inline std::uint64_t MaxRegistryLogBytes(std::uint64_t registry_bytes) { return registry_bytes / 4 + kLogCommitBytes; }

// Appends up to `at_most` more bytes of the file to `out`; false at its end
// (FileReader::ReadMore).
using LogSource = std::function<bool(std::string& out, std::size_t at_most)>;

// What a reading of the log found.
struct LogScan {
  std::uint64_t valid = 0;  // bytes that count: the header and the committed records
  bool committed = false;   // whether a commit record counts, and its fields
  std::uint64_t commit_offset = 0;
  std::uint32_t commit_count = 0;
  std::uint64_t pending_end = 0;    // the end of the whole records past `valid` (no commit counts them)
  std::uint32_t pending_count = 0;  // and how many there are
};

// Reads the log through `read` a piece at a time and applies each save's
// records to `store` (when given) as soon as their commit record is read, so
// that no more than one save's records and one read piece are held. Past
// LogScan::valid lies an append that never finished. Throws MachineError
// naming `name` and the offset of the record refused; `store` is then half
// replayed, to be thrown away.
LogScan ReplayRegistryLog(RegistryStore* store, const LogSource& read, const std::string& name);

}  // namespace qvi::emu
