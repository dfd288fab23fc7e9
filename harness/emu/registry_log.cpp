#include "emu/registry_log.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "emu/binary_fields.h"
#include "runtime/code_page.h"

namespace qvi::emu {

namespace {

constexpr std::string_view kHeader = "QVIRLOG1";
constexpr std::uint8_t kCommit = 5;
// No value the store takes comes near it: a length beyond it is no record.
constexpr std::uint32_t kMaxRecord = 64u << 20;

void PutText(std::string& out, std::string_view text) {
  PutInt(out, text.size(), 4);
  out += text;
}

bool IsRoot(std::string_view path) { return path.find('\\') == std::string_view::npos; }

bool HasLineBreak(std::string_view name) { return name.find_first_of("\r\n") != std::string_view::npos; }

// Only what the store itself could hold: a key below one of its two roots,
// no empty, overlong or line-breaking name.
const char* KeyFault(std::string_view path) {
  const std::size_t slash = path.find('\\');
  const std::string_view root = path.substr(0, slash);
  if (root != "HKEY_LOCAL_MACHINE" && root != "HKEY_CURRENT_USER") return "a key outside the root keys";
  std::size_t depth = 0;
  for (std::size_t at = slash; at != std::string_view::npos;) {
    const std::size_t next = path.find('\\', at + 1);
    const std::string_view name = path.substr(at + 1, next == std::string_view::npos ? next : next - at - 1);
    if (name.empty() || name.size() > RegistryStore::kMaxKeyNameLength || HasLineBreak(name)) {
      return "a key name the registry cannot hold";
    }
    if (++depth > RegistryStore::kMaxDepth) return "a key deeper than the registry allows";
    at = next;
  }
  return nullptr;
}

}  // namespace

void LogOpsForKey(const LoggedKey& then, const LoggedKey& now, std::vector<LogOp>& deletions,
                  std::vector<LogOp>& changes) {
  const std::string& path = now.exists ? now.path : then.path;
  const bool root = IsRoot(path);
  const bool remade = !root && then.exists && (!now.exists || then.path != now.path);
  if (remade) deletions.push_back({LogOp::Kind::kDeleteKey, then.path, {}});
  if (!root && !now.exists) return;
  // What the key holds before these operations, in its order.
  std::vector<const RegistryValue*> kept;
  if (then.exists && !remade) {
    std::unordered_set<std::string> names_now;
    for (const RegistryValue& value : now.values) names_now.insert(code_page::Lower(value.name));
    for (const RegistryValue& value : then.values) {
      if (names_now.contains(code_page::Lower(value.name))) {
        kept.push_back(&value);
      } else {
        changes.push_back({LogOp::Kind::kDeleteValue, path, {value.name, 0, {}}});
      }
    }
  } else if (!root) {
    changes.push_back({LogOp::Kind::kCreateKey, now.path, {}});
  }
  // A value set again keeps its place, a new one goes last: the part of the
  // old order that still holds is set in place, the rest is made again, so
  // that enumeration after a replay is as before it.
  std::size_t same = 0;
  while (same < kept.size() && kept[same]->name == now.values[same].name) ++same;
  for (std::size_t i = same; i < kept.size(); ++i) changes.push_back({LogOp::Kind::kDeleteValue, path, {kept[i]->name, 0, {}}});
  for (std::size_t i = 0; i < now.values.size(); ++i) {
    if (i >= same || *kept[i] != now.values[i]) changes.push_back({LogOp::Kind::kSetValue, path, now.values[i]});
  }
}

std::string RegistryLogHeader() { return std::string(kHeader); }

std::string EncodeLogOps(const std::vector<LogOp>& ops) {
  std::string out;
  std::string payload;
  for (const LogOp& op : ops) {
    payload.clear();
    payload += static_cast<char>(op.kind);
    PutText(payload, op.key);
    if (op.kind == LogOp::Kind::kSetValue || op.kind == LogOp::Kind::kDeleteValue) PutText(payload, op.value.name);
    if (op.kind == LogOp::Kind::kSetValue) {
      PutInt(payload, op.value.type, 4);
      PutText(payload, std::string_view(reinterpret_cast<const char*>(op.value.data.data()), op.value.data.size()));
    }
    PutFramed(out, payload);
  }
  return out;
}

std::string EncodeLogCommit(std::uint64_t offset, std::uint32_t count) {
  std::string payload(1, static_cast<char>(kCommit));
  PutInt(payload, offset, 8);
  PutInt(payload, count, 4);
  std::string out;
  PutFramed(out, payload);
  return out;
}

namespace {

// The file from `base` on, read a piece at a time: the record being read is
// held, and the bytes before it let go.
class LogWindow {
 public:
  explicit LogWindow(const LogSource& read) : read_(read) {}

  // Whether the file holds its first `end` bytes, reading on as far as that.
  bool Has(std::uint64_t end) {
    while (base_ + bytes_.size() < end && !at_end_) {
      const std::uint64_t want = std::max<std::uint64_t>(end - base_ - bytes_.size(), kPiece);
      if (!read_(bytes_, static_cast<std::size_t>(want))) at_end_ = true;
    }
    return base_ + bytes_.size() >= end;
  }
  // The bytes [at, at + length), once Has(at + length).
  std::string_view At(std::uint64_t at, std::uint64_t length) const {
    return std::string_view(bytes_).substr(static_cast<std::size_t>(at - base_), static_cast<std::size_t>(length));
  }
  std::uint64_t Int(std::uint64_t at, int size) const {
    return GetInt(At(at, static_cast<std::uint64_t>(size)), 0, size);
  }
  // Lets go of the bytes before `at`, once they are many: erasing costs what
  // is kept.
  void Forget(std::uint64_t at) {
    const std::uint64_t drop = at - base_;
    if (drop < kPiece || drop < bytes_.size() / 2) return;
    bytes_.erase(0, static_cast<std::size_t>(drop));
    base_ = at;
  }

 private:
  static constexpr std::uint64_t kPiece = 1 << 16;
  const LogSource& read_;
  std::string bytes_;
  std::uint64_t base_ = 0;
  bool at_end_ = false;
};

// Whether a whole commit record of records from `valid` on lies anywhere
// from `from` on. Saves flush their records before their commit record, so
// one found past a record that does not frame was written after that record
// was whole.
bool CommitFollows(LogWindow& log, std::uint64_t from, std::uint64_t valid) {
  constexpr std::uint64_t kPayload = kLogCommitBytes - 8;
  for (std::uint64_t at = from; log.Has(at + kLogCommitBytes); ++at) {
    log.Forget(at);
    if (log.Int(at, 4) != kPayload || static_cast<std::uint8_t>(log.At(at + 8, 1)[0]) != kCommit) continue;
    const std::string_view payload = log.At(at + 8, kPayload);
    const std::uint64_t offset = GetInt(payload, 1, 8);
    if (Crc32(payload) == log.Int(at + 4, 4) && offset >= valid && offset < at) return true;
  }
  return false;
}

void Apply(RegistryStore& store, LogOp& op) {
  if (op.kind == LogOp::Kind::kDeleteKey) {
    store.DeleteTree(op.key);
    return;
  }
  RegistryStore::Node* node = store.EnsureKey(op.key);
  if (!node) return;  // refused when read; EnsureKey agrees
  if (op.kind == LogOp::Kind::kSetValue) {
    store.PutValue(*node, op.value.name, op.value.type, std::move(op.value.data));
  } else if (op.kind == LogOp::Kind::kDeleteValue) {
    store.RemoveValue(*node, op.value.name);
  }
}

}  // namespace

LogScan ReplayRegistryLog(RegistryStore* store, const LogSource& read, const std::string& name) {
  LogWindow log(read);
  if (!log.Has(kHeader.size()) || log.At(0, kHeader.size()) != kHeader)
    throw MachineError(name + ": not a registry log");
  LogScan scan;
  scan.valid = scan.pending_end = kHeader.size();
  std::vector<LogOp> batch;
  const auto refuse = [&](std::uint64_t where, const std::string& why) {
    throw MachineError(name + ": offset " + std::to_string(where) + ": " + why);
  };
  for (std::uint64_t at = kHeader.size(); log.Has(at + 1);) {
    log.Forget(at);
    std::string fault;
    std::uint64_t length = 0;
    if (!log.Has(at + 8)) {
      fault = "a record cut short";
    } else if (length = log.Int(at, 4); length == 0 || length > kMaxRecord) {
      fault = "a record of " + std::to_string(length) + " bytes";
    } else if (!log.Has(at + 8 + length)) {
      fault = "a record cut short";
    } else if (Crc32(log.At(at + 8, length)) != log.Int(at + 4, 4)) {
      fault = "a record that fails its checksum";
    }
    if (!fault.empty()) {
      if (CommitFollows(log, at + 1, scan.valid)) refuse(at, fault);
      break;
    }
    const std::string_view payload = log.At(at + 8, length);
    const std::uint64_t end = at + 8 + length;
    Fields fields{payload};
    const auto kind = static_cast<std::uint8_t>(fields.Int(1));
    if (kind == kCommit) {
      const std::uint64_t offset = fields.Int(8);
      const std::uint64_t count = fields.Int(4);
      if (!fields.ok || fields.at != payload.size() || offset != scan.valid || count != scan.pending_count) {
        refuse(at, "a commit of records that are not there");
      }
      if (store) {
        for (LogOp& op : batch) Apply(*store, op);
      }
      batch.clear();
      scan.valid = scan.pending_end = end;
      scan.committed = true;
      scan.commit_offset = offset;
      scan.commit_count = static_cast<std::uint32_t>(count);
      scan.pending_count = 0;
    } else {
      LogOp op;
      op.kind = static_cast<LogOp::Kind>(kind);
      op.key = fields.Text();
      if (kind == 3 || kind == 4) op.value.name = fields.Text();
      if (kind == 3) {
        op.value.type = static_cast<std::uint32_t>(fields.Int(4));
        const std::string data = fields.Text();
        op.value.data.assign(data.begin(), data.end());
      }
      if (kind < 1 || kind > 4 || !fields.ok || fields.at != payload.size()) refuse(at, "not a registry log record");
      if (const char* fault_in_key = KeyFault(op.key)) refuse(at, fault_in_key);
      if (op.kind == LogOp::Kind::kDeleteKey && IsRoot(op.key)) refuse(at, "a deletion of a root key");
      if (op.value.name.size() > RegistryStore::kMaxValueNameLength || HasLineBreak(op.value.name)) {
        refuse(at, "a value name the registry cannot hold");
      }
      if (store) batch.push_back(std::move(op));
      scan.pending_end = end;
      ++scan.pending_count;
    }
    at = end;
  }
  return scan;
}

}  // namespace qvi::emu
