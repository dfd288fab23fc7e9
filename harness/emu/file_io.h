// The emulated machine's access to the host's files: whole reads, atomic
// replacement, appends, and a stamp that tells whether a file changed.
// Errors name the file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emu/emu_types.h"

namespace qvi::emu {

// Temporary files of an interrupted replacement carry this in their name
// (".registry.reg.qvi-tmp-1234"), so the next open can remove them.
inline constexpr std::string_view kTempMarker = ".qvi-tmp-";

// What a file looked like when it was read.
struct FileStamp {
  bool exists = false;
  std::uint64_t identity = 0;  // device and file number, folded together
  std::uint64_t size = 0;
  std::int64_t modified_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

// The stamp of a regular file; a default stamp when there is none.
FileStamp StampOf(const std::filesystem::path& path);

// One name in a folder, as the folder itself lists it: a link is a link,
// never what it points to.
struct FolderEntry {
  enum class Kind { kFile, kFolder, kLink, kOther };
  std::string name;
  Kind kind = Kind::kOther;
};

// The names in `folder` but "." and "..", in the order the file system gives
// them; nothing when the folder cannot be opened or a read of it fails
// partway (a part of a listing would pass for a folder without the rest).
// One pass of the folder, with no buffer beyond the names: machine folders
// are listed many times a run.
std::optional<std::vector<FolderEntry>> ListFolder(const std::filesystem::path& folder);

// Whether the host's file system finds a name whatever its letter case, as
// Windows' does.
#ifdef _WIN32
inline constexpr bool kHostIgnoresCase = true;
#else
inline constexpr bool kHostIgnoresCase = false;
#endif

// Removes `path` and everything below it, never following a link (a link is
// removed, not what it points to); best effort. Answers whether it is gone.
bool RemoveTree(const std::filesystem::path& path);

// Whether a write must survive a power cut (flushed to the disk) or only a
// killed process. kDiscarded is for a whole machine that is removed at the end
// of its run: it writes its drives' files as kProcessOnly does, and keeps its
// registry and settings in memory only, since nothing will read them back.
enum class Durability { kFlushed, kProcessOnly, kDiscarded };

// A file read from start to end. Only a regular file of at most `max_bytes`
// is read: a symbolic link, a device, a pipe or a larger file is refused, so
// a hostile machine folder can neither block a run nor exhaust its memory.
// Throws MachineError naming the file on any failure; HostFault when the file
// is a regular one the host fails to read.
class FileReader {
 public:
  FileReader(const std::filesystem::path& path, std::uint64_t max_bytes);
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  bool exists() const { return handle_ != kNone; }
  // The size when it was opened.
  std::uint64_t size() const { return size_; }
  // Appends up to `at_most` more bytes to `out`; false at the end.
  bool ReadMore(std::string& out, std::size_t at_most);
  // Replaces `out` with the `size` bytes at `offset`; false when the file
  // ends first. A file read this way is not read with ReadMore. Throws
  // HostFault as ReadMore.
  bool ReadAt(std::uint64_t offset, std::size_t size, std::string& out);
  // What the opened file looked like then, told by the open file itself (no
  // second look up of its name).
  const FileStamp& stamp() const { return stamp_; }
  // Whether the opened file is this user's (or the administrator's) and no
  // one else may write it, as TrustedFile() says of a name.
  bool trusted() const { return trusted_; }

 private:
  static constexpr std::intptr_t kNone = -1;
  std::filesystem::path path_;
  std::uint64_t max_bytes_;
  std::intptr_t handle_ = kNone;
  std::uint64_t size_ = 0;
  std::uint64_t read_ = 0;
  bool at_end_ = false;
  FileStamp stamp_;
  bool trusted_ = false;
};

// The whole file, or nothing when it does not exist; as FileReader reads it.
inline std::optional<std::string> ReadWholeFile(const std::filesystem::path& path, std::uint64_t max_bytes) {
  FileReader reader(path, max_bytes);
  if (!reader.exists()) return std::nullopt;
  std::string out;
  // A byte more than the size, which a read asks for to see the end.
  out.reserve(static_cast<std::size_t>(reader.size()) + 1);
  while (reader.ReadMore(out, 1 << 16)) {
  }
  return out;
}

// Hands the pieces of a file's content, in order, to `put`: a large file need
// not be held whole in memory to be written.
using PutPiece = std::function<void(std::string_view piece)>;
using ContentProducer = std::function<void(const PutPiece& put)>;

// What the machine's file functions do to the folder, in order, for a test
// that rebuilds every state a power cut could leave (tests/crash/). kCreate
// is a new file with its bytes, kWriteAt bytes written at `offset` of a file
// that is there (cutting it there first); kSaveBegin and kSaveEnd bracket one
// save.
struct FileOp {
  enum class Kind { kCreate, kSyncFile, kRename, kRemove, kSyncFolder, kSaveBegin, kSaveEnd, kWriteAt };
  Kind kind;
  std::filesystem::path path;
  std::filesystem::path to;  // kRename only
  std::string bytes;         // kCreate and kWriteAt only
  std::uint64_t offset = 0;  // kWriteAt only
};
using FileOpRecorder = std::function<void(const FileOp&)>;
// The recorder every call reports to; none outside such a test.
inline FileOpRecorder& FileOpRecorderSlot() {
  static FileOpRecorder recorder;
  return recorder;
}
inline void RecordFileOp(FileOp op) {
  if (FileOpRecorderSlot()) FileOpRecorderSlot()(op);
}

// Host calls a test may make fail, to see what a failing disk leaves: the
// injector is asked before each one with its path and answers 0 or the errno
// the call then fails with. None outside such a test.
enum class HostCall { kSyncFolder, kListFolder };
using HostFaultInjector = std::function<int(HostCall call, const std::filesystem::path& path)>;
inline HostFaultInjector& HostFaultSlot() {
  static HostFaultInjector injector;
  return injector;
}
inline int InjectedHostFault(HostCall call, const std::filesystem::path& path) {
  return HostFaultSlot() ? HostFaultSlot()(call, path) : 0;
}

// Replaces `path` with `bytes` so that a crash at any moment leaves either the
// old file or the new one, never a mixture: the data goes to a temporary file
// beside it, is flushed to the disk (with kFlushed), and is then renamed over
// the old file. Throws MachineError; the old file is then untouched.
void AtomicWrite(const std::filesystem::path& path, const ContentProducer& content,
                 Durability durability = Durability::kFlushed);
inline void AtomicWrite(const std::filesystem::path& path, std::string_view bytes,
                        Durability durability = Durability::kFlushed) {
  AtomicWrite(path, [bytes](const PutPiece& put) { put(bytes); }, durability);
}

// The first half of AtomicWrite: `bytes` in a temporary file beside `path`,
// whose name carries kTempMarker, private to this user for a kDiscarded
// machine; returns that file. Throws MachineError
// naming `path`, leaving no temporary file.
std::filesystem::path WriteTemporary(const std::filesystem::path& path, const ContentProducer& content,
                                     Durability durability);
inline std::filesystem::path WriteTemporary(const std::filesystem::path& path, std::string_view bytes,
                                            Durability durability) {
  return WriteTemporary(path, [bytes](const PutPiece& put) { put(bytes); }, durability);
}
// The second half: renames `temp` over `path`. Throws MachineError naming
// `path`.
void RenameOver(const std::filesystem::path& temp, const std::filesystem::path& path);
// Flushes a folder's entries (renames, removals) to the disk. Throws
// MachineError naming the folder when the host cannot.
void SyncFolder(const std::filesystem::path& folder);
// Removes a file (not a folder); answers whether it was there.
// Whether `path` is a regular file, not a link, that this user (or the
// administrator) owns and no one else may write: a file whose presence
// grants something, which another local user must not be able to plant.
bool TrustedFile(const std::filesystem::path& path);

bool RemoveFile(const std::filesystem::path& path);

// Renames `temp` over `target`, two names of one folder below `folder`
// (relative paths), opening every folder on the way without following a link,
// so that a hand-made journal cannot move files outside the machine. Answers
// false when `temp` is not there. Throws MachineError when a folder on the
// way is a link or no folder, or `temp` is not a regular file.
bool RenameInside(const std::filesystem::path& folder, const std::filesystem::path& temp,
                  const std::filesystem::path& target);

// Removes the folder `name` of `base` when it is a folder of this user (never
// a link; checked on the opened folder) whose lock file `lock_name`, if any,
// is a regular file of this user that nobody holds. Answers whether it went.
bool RemoveUnlockedFolder(const std::filesystem::path& base, const std::string& name, const std::string& lock_name);

// Appends `bytes` to `path`, creating it when absent; opened and closed within
// the call. Returns a Win32 status: ERROR_PATH_NOT_FOUND when the folder is
// missing, ERROR_DISK_FULL, ERROR_ACCESS_DENIED for what is no regular file.
// Throws HostFault naming the file when the host fails to write a regular
// file that is there. A file made for a kDiscarded machine is private.
platform::Status AppendToFile(const std::filesystem::path& path, std::string_view bytes,
                              Durability durability = Durability::kFlushed);

// Cuts the regular file `path` (never through a link) at `offset` and writes
// `bytes` there, flushed to the disk with kFlushed: what an append-only file
// needs, whose tail past `offset` holds nothing it still wants. Throws
// MachineError naming the file.
void WriteAt(const std::filesystem::path& path, std::uint64_t offset, std::string_view bytes, Durability durability);

// An exclusive hold on a lock file, for as long as the object lives; the
// operating system lets go of it when the process ends, however it ends.
class FileLock {
 public:
  // A run that opens the machine holds it alone; copies of the machine may
  // be made side by side, but never while a run holds it.
  enum class Mode { kExclusive, kShared };
  // Takes the lock on `path` (created when absent), or throws MachineError
  // naming it when another holder has it, or when it is a link or anything
  // but a regular file of this user: a lock file another user planted could
  // make this process create or hold a file elsewhere. A shared lock in a
  // folder this user may not write holds the lock file that is there, or
  // nothing when there is none (no run can start there).
  explicit FileLock(const std::filesystem::path& path, Mode mode = Mode::kExclusive);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  std::intptr_t handle_;
};

}  // namespace qvi::emu
