// What a power cut can leave of a machine folder during its saves. A run of
// each embedded scenario on a kept machine is recorded, operation by operation
// (file_io.h's FileOp); after every operation each state the disk may hold is
// built and opened, and must come out as the machine before or after the save
// in progress, every file of it. The disk is taken at its weakest under POSIX:
// a file's data is kept only once the file is flushed (until then it may be
// empty or cut in half), and a folder's entries (creations, renames,
// removals) only once the folder is flushed, until then any of them, in any
// combination. A file written in place (the registry log) is taken a 4 KiB
// block at a time: past what was flushed, its size may run ahead of its
// data, and each block may hold what was written, what it held before, or
// zeros.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "emu/file_io.h"
#include "emu/crc32.h"
#include "emu/machine.h"
#include "emu/registry_image.h"
#include "emu/save_journal.h"
#include "scenario/run.h"
#include "scenario/scenario.h"
#include "testing/error_of.h"
#include "testing/file_bytes.h"
#include "testing/temp_folder.h"

namespace qvi::emu {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;  // relative path -> bytes

struct Inode {
  std::string bytes;
  bool flushed = false;
  std::size_t durable = 0;  // bytes on the disk for certain, the rest may be lost or cut
  std::string before;       // the bytes at the last flush
  bool in_place = false;    // written with kWriteAt

  void Flush() {
    flushed = true;
    durable = bytes.size();
    before = bytes;
  }

  // What the disk may give back of the file now.
  std::vector<std::string> Variants() const {
    std::vector<std::string> out = {bytes, bytes.substr(0, durable),
                                    bytes.substr(0, durable + (bytes.size() - durable) / 2)};
    if (!in_place) return out;
    // Block by block from the first not flushed whole, each as written, as
    // before, or zeros; past five blocks the rest as written, to bound the states.
    constexpr std::size_t kBlock = 4096;
    const std::size_t first = out.size();
    out.push_back(bytes);
    for (std::size_t at = durable / kBlock * kBlock; at < bytes.size() && at < durable + 5 * kBlock; at += kBlock) {
      for (std::size_t i = first, known = out.size(); i < known; ++i) {
        for (const bool zeros : {false, true}) {
          std::string torn = out[i];
          for (std::size_t b = std::max(at, durable); b < std::min(at + kBlock, torn.size()); ++b) {
            torn[b] = zeros || b >= before.size() ? '\0' : before[b];
          }
          out.push_back(std::move(torn));
        }
      }
    }
    return out;
  }
};

// A folder entry operation not yet flushed: `from` empty for a creation,
// `to` empty for a removal.
struct Pending {
  std::string folder, from, to;
  int inode = -1;
};

class Disk {
 public:
  // Everything so far is on the disk: the state the first save starts from.
  void FlushAll() {
    durable_ = names_;
    pending_.clear();
    for (Inode& inode : inodes_) inode.Flush();
  }

  void Apply(const FileOp& op, const fs::path& root) {
    const std::string path = op.path.lexically_relative(root).generic_string();
    const std::string folder = op.path.parent_path().lexically_relative(root).generic_string();
    switch (op.kind) {
      case FileOp::Kind::kCreate:
        inodes_.push_back({op.bytes, false, 0, {}, false});
        names_[path] = static_cast<int>(inodes_.size()) - 1;
        pending_.push_back({folder, "", path, names_[path]});
        break;
      case FileOp::Kind::kSyncFile:
        inodes_[static_cast<std::size_t>(names_.at(path))].Flush();
        break;
      case FileOp::Kind::kWriteAt: {
        Inode& inode = inodes_[static_cast<std::size_t>(names_.at(path))];
        inode.bytes.resize(static_cast<std::size_t>(op.offset));
        inode.bytes += op.bytes;
        inode.flushed = false;
        inode.in_place = true;
        inode.durable = std::min(inode.durable, static_cast<std::size_t>(op.offset));
        break;
      }
      case FileOp::Kind::kRename: {
        const std::string to = op.to.lexically_relative(root).generic_string();
        const int inode = names_.at(path);
        names_.erase(path);
        names_[to] = inode;
        pending_.push_back({folder, path, to, inode});
        break;
      }
      case FileOp::Kind::kRemove:
        names_.erase(path);
        pending_.push_back({folder, path, "", -1});
        break;
      case FileOp::Kind::kSyncFolder: {
        const std::string flushed = op.path.lexically_relative(root).generic_string();
        std::vector<Pending> rest;
        for (const Pending& p : pending_) {
          if (p.folder == flushed) {
            Persist(p, durable_);
          } else {
            rest.push_back(p);
          }
        }
        pending_ = std::move(rest);
        break;
      }
      case FileOp::Kind::kSaveBegin:
      case FileOp::Kind::kSaveEnd:
        break;
    }
  }

  // The files as a program sees them now.
  Files Logical() const {
    Files files;
    for (const auto& [name, inode] : names_) files[name] = inodes_[static_cast<std::size_t>(inode)].bytes;
    return files;
  }

  // Every state a power cut now may leave, each once.
  std::set<Files> CrashStates() const {
    std::set<Files> states;
    // A save leaves a handful of entries unflushed at a time; past twelve
    // (or six files of unflushed data) the rest are taken as kept, to bound
    // the states, not to spare any the saves make today.
    const std::size_t n = std::min<std::size_t>(pending_.size(), 12);
    for (std::uint32_t kept = 0; kept < (1u << n); ++kept) {
      std::map<std::string, int> names = durable_;
      for (std::size_t i = 0; i < pending_.size(); ++i) {
        if (i >= n || (kept >> i & 1) != 0) Persist(pending_[i], names);
      }
      // Each file whose data was not flushed: whole, as last flushed, cut
      // halfway between, or torn block by block (Inode::Variants).
      std::vector<std::pair<std::string, std::vector<std::string>>> unflushed;
      for (const auto& [name, inode] : names) {
        const Inode& data = inodes_[static_cast<std::size_t>(inode)];
        if (!data.flushed && unflushed.size() < 6) unflushed.emplace_back(name, data.Variants());
      }
      std::uint32_t choices = 1;
      for (const auto& file : unflushed) choices *= static_cast<std::uint32_t>(file.second.size());
      for (std::uint32_t choice = 0; choice < choices; ++choice) {
        Files files;
        for (const auto& [name, inode] : names) files[name] = inodes_[static_cast<std::size_t>(inode)].bytes;
        std::uint32_t rest = choice;
        for (const auto& [name, variants] : unflushed) {
          files[name] = variants[rest % variants.size()];
          rest /= static_cast<std::uint32_t>(variants.size());
        }
        states.insert(std::move(files));
      }
    }
    return states;
  }

 private:
  static void Persist(const Pending& p, std::map<std::string, int>& names) {
    if (!p.from.empty()) names.erase(p.from);
    if (!p.to.empty()) names[p.to] = p.inode;
  }

  std::vector<Inode> inodes_;
  std::map<std::string, int> names_;    // what the running program sees
  std::map<std::string, int> durable_;  // what the disk holds for certain
  std::vector<Pending> pending_;
};

// The files but what a save leaves behind for itself, and the registry's
// image, which holds nothing of its own: OpenAs checks it against
// registry.reg instead.
Files MachineFiles(const Files& files) {
  Files out;
  for (const auto& [name, bytes] : files) {
    if (name.find(kTempMarker) == std::string::npos && name.find(kJournalFile) == std::string::npos &&
        name != kRegistryImageFile) {
      out[name] = bytes;
    }
  }
  return out;
}

Files ReadTree(const fs::path& root) {
  Files files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().lexically_relative(root).generic_string();
    if (entry.is_regular_file() && name != ".lock" && name != kRegistryImageFile) {
      files[name] = testing::ReadFileBytes(entry.path());
    }
  }
  return files;
}

// The files of a state are written anew, so an image would never name the
// registry.reg beside it: one whose size and sampled bytes match is given
// that file's time, as the file it was made for would have kept it.
// Answers whether the image now mirrors registry.reg.
bool RestampImage(const fs::path& folder) {
  const fs::path image = folder / kRegistryImageFile;
  if (!fs::exists(image) || !fs::exists(folder / "registry.reg")) return false;
  FileReader registry(folder / "registry.reg", Machine::kMaxRegistryBytes);
  const ImageSignature now = SignatureOf(registry);
  std::string bytes = testing::ReadFileBytes(image);
  if (bytes.size() < 64) return false;
  const std::size_t trailer = bytes.size() - 64;
  const auto field = [&](std::size_t at) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[trailer + at + static_cast<std::size_t>(i)]);
    return value;
  };
  if (field(16) != now.size || field(32) != now.sample) return false;
  const auto put = [&](std::size_t at, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i, value >>= 8) bytes[trailer + at + static_cast<std::size_t>(i)] = static_cast<char>(value);
  };
  put(24, static_cast<std::uint64_t>(now.modified_ns), 8);
  put(60, Crc32(std::string_view(bytes).substr(trailer, 60)), 4);
  testing::WriteFileBytes(image, bytes);
  return true;
}

// Opens `state` as a machine: the folder the machine then holds, or the error.
// A registry read through the state's image must be the one read without it.
std::string OpenAs(const Files& state, const fs::path& folder, Files& opened, int& images) {
  fs::remove_all(folder);
  fs::create_directories(folder);
  for (const auto& [name, bytes] : state) testing::WriteFileBytes(folder / name, bytes);
  images += RestampImage(folder);
  std::vector<RegistryKey> through_image;
  const std::string error =
      testing::ErrorOf<MachineError>([&] { through_image = Machine::Open(folder)->SnapshotRegistry(); }, "");
  if (!error.empty()) return error;
  opened = ReadTree(folder);
  fs::remove(folder / kRegistryImageFile);
  if (Machine::Open(folder)->SnapshotRegistry() != through_image) return "a registry its image does not mirror";
  return "";
}

TEST(CrashStates, EveryStateOfEveryScenarioSaveOpensAsTheMachineBeforeOrAfter) {
  // Saves that append to the registry log, and that fold it into the store.
  int appends = 0, compactions = 0, images = 0;
  // Each scenario also on a registry large enough that its saves append to
  // the log rather than fold it into registry.reg.
  std::string padding = "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Padding]\r\n";
  for (int i = 0; i < 3000; ++i) padding += "\"v" + std::to_string(i) + "\"=\"" + std::string(40, 'p') + "\"\r\n";
  for (const std::string& plain : scenario::EmbeddedScenarioNames()) for (const bool padded : {false, true}) {
      const std::string name = plain + (padded ? " (large registry)" : "");
      testing::TempFolder dir;
      const fs::path machine = dir.path() / "m";
      std::vector<FileOp> ops;
      FileOpRecorderSlot() = [&ops](const FileOp& op) { ops.push_back(op); };
      scenario::RunOptions options;
      options.machine_dir = machine;
      scenario::Scenario run = scenario::LoadScenario(plain);
      if (padded) run.registry = (run.registry.empty() ? "REGEDIT4\r\n" : run.registry) + padding;
      scenario::RunScenario(run, options);
      FileOpRecorderSlot() = nullptr;
      const fs::path root = fs::absolute(machine).lexically_normal();

      // The machine at the end of each save, as the run saw it.
      std::vector<Files> ends;
      Disk replay;
      for (const FileOp& op : ops) {
        replay.Apply(op, root);
        if (op.kind == FileOp::Kind::kSaveEnd) ends.push_back(MachineFiles(replay.Logical()));
      }
    Disk disk;
    Files before, after;
    int saves = 0, states = 0, old_states = 0, new_states = 0;
    bool saving = false, started = false;
    for (const FileOp& op : ops) {
      if (op.kind == FileOp::Kind::kSaveBegin) {
        if (!started) disk.FlushAll();
        started = saving = true;
        before = MachineFiles(disk.Logical());
        ASSERT_LT(static_cast<std::size_t>(saves), ends.size()) << name << ": a save that did not end";
        after = ends[static_cast<std::size_t>(saves)];
        ++saves;
      }
      disk.Apply(op, root);
      if (!started) continue;
      appends += op.kind == FileOp::Kind::kWriteAt && op.path.filename() == "registry.log";
      compactions += saves > 1 && op.kind == FileOp::Kind::kRename && op.to.filename() == "registry.log";
      // Until the save ends its outcome is open; once ended, it must stay.
      if (op.kind == FileOp::Kind::kSaveEnd) saving = false;
      for (const Files& state : disk.CrashStates()) {
        ++states;
        Files opened;
        const std::string error = OpenAs(state, dir.path() / "crash", opened, images);
        const bool is_old = error.empty() && opened == before;
        const bool is_new = error.empty() && opened == after;
        old_states += is_old && !is_new;
        new_states += is_new && !is_old;
        if ((is_old && saving) || is_new) continue;
        std::string listing;
        for (const auto& [file, bytes] : state) listing += "  " + file + " (" + std::to_string(bytes.size()) + " bytes)\n";
        ADD_FAILURE() << name << ", save " << saves << ": a power cut may leave\n"
                      << listing << "which opens " << (error.empty() ? "as neither machine" : "with: " + error);
        return;
      }
    }
    // The checker saw saves and states that end either way.
    EXPECT_GT(saves, 1) << name;
    EXPECT_GT(old_states, 0) << name;
    EXPECT_GT(new_states, 0) << name;
    std::printf("%s: %d saves, %d crash states checked (so far %d registry log writes, %d compactions)\n",
                name.c_str(), saves, states, appends, compactions);
  }
  EXPECT_GT(appends, 0);
  EXPECT_GT(compactions, 0);
  // States whose image was read rather than registry.reg.
  EXPECT_GT(images, 0);
}

}  // namespace
}  // namespace qvi::emu
