// The registry changes of a kept machine since registry.reg was last written
// whole, as an append-only file beside it (registry.log), so that a save
// costs what the run changed rather than the whole store.
//
// The file is a header and then records, each framed as its payload's length
// and CRC-32 (both 32-bit little-endian) and the payload. A save appends the
// records of its changes and then a commit record naming where they began and
// how many there are; only committed records count. A tail that ends early or
// fails its checksum is what an interrupted append leaves, and is ignored; a
// bad record with anything after it, an unknown kind, a huge length or a path
// outside the two root keys is not, and the file is refused.
#pragma once

#include <cstdint>
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

// Applies every committed record of `log` (the file's bytes) to `store`.
// Returns how many bytes of the file count; past them lies an interrupted
// append. Throws MachineError naming `name` and the offset of the record
// refused, before anything is applied.
std::uint64_t ReplayRegistryLog(RegistryStore& store, std::string_view log, const std::string& name);

}  // namespace qvi::emu
