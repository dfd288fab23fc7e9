#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "emu/file_io.h"

namespace qvi::emu {

namespace fs = std::filesystem;
namespace win32 = platform::win32;

namespace {

std::string Errno(int error) { return std::strerror(error); }

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

platform::Status ErrnoToWin32(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return win32::kPathNotFound;
    case ENOSPC:
      return win32::kDiskFull;
    default:
      return win32::kAccessDenied;
  }
}

FolderEntry::Kind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return FolderEntry::Kind::kFile;
  if (S_ISDIR(mode)) return FolderEntry::Kind::kFolder;
  if (S_ISLNK(mode)) return FolderEntry::Kind::kLink;
  return FolderEntry::Kind::kOther;
}

// The entries of the open folder `fd`, or nothing when a read of it fails
// (`injected`: as a test makes it fail). getdents64 straight into a small
// buffer: opendir would add a status call, two descriptor calls and a large
// buffer of its own to every listing.
std::optional<std::vector<FolderEntry>> ListOpenFolder(int fd, int injected = 0) {
  std::vector<FolderEntry> entries;
  alignas(8) char buffer[4096];
  for (;;) {
    const ssize_t n = injected != 0 ? (errno = injected, -1) : ::getdents64(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
      at += entry->d_reclen;
      const std::string_view name(entry->d_name);
      if (name == "." || name == "..") continue;
      FolderEntry out{std::string(name), FolderEntry::Kind::kOther};
      switch (entry->d_type) {
        case DT_REG: out.kind = FolderEntry::Kind::kFile; break;
        case DT_DIR: out.kind = FolderEntry::Kind::kFolder; break;
        case DT_LNK: out.kind = FolderEntry::Kind::kLink; break;
        case DT_UNKNOWN: {
          // Some file systems leave the type to a status call.
          struct stat st {};
          if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) out.kind = KindOf(st.st_mode);
          break;
        }
        default: break;
      }
      entries.push_back(std::move(out));
    }
  }
  return entries;
}

mode_t FileMode(Durability durability) { return durability == Durability::kDiscarded ? 0600 : 0644; }

// Whether `path` names a regular file, the link itself when it is one.
bool IsRegularFile(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Empties the open folder `fd`.
bool RemoveFolderAt(int parent, const char* name, int depth);
void EmptyFolder(int fd, int depth) {
  // Best effort: what a failed listing leaves stays, and the folder with it.
  for (const FolderEntry& entry : ListOpenFolder(fd).value_or(std::vector<FolderEntry>{})) {
    if (entry.kind == FolderEntry::Kind::kFolder) {
      RemoveFolderAt(fd, entry.name.c_str(), depth + 1);
    } else {
      ::unlinkat(fd, entry.name.c_str(), 0);
    }
  }
}

// Empties and removes the folder `name` of the open folder `parent`.
bool RemoveFolderAt(int parent, const char* name, int depth) {
  // Deeper than any path a machine can hold: left alone rather than risk the
  // descriptors of a hostile tree.
  constexpr int kMaxDepth = 512;
  if (depth > kMaxDepth) return false;
  const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  EmptyFolder(fd, depth);
  ::close(fd);
  return ::unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

}  // namespace

std::optional<std::vector<FolderEntry>> ListFolder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  auto entries = ListOpenFolder(fd, InjectedHostFault(HostCall::kListFolder, folder));
  ::close(fd);
  return entries;
}

bool RemoveTree(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0;
  return RemoveFolderAt(AT_FDCWD, path.c_str(), 0);
}

FileStamp StampOf(const fs::path& path) {
  struct stat st {};
  FileStamp stamp;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return stamp;
  stamp.exists = true;
  stamp.identity = (static_cast<std::uint64_t>(st.st_dev) << 40) ^ static_cast<std::uint64_t>(st.st_ino);
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.modified_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  return stamp;
}

FileReader::FileReader(const fs::path& path, std::uint64_t max_bytes) : path_(path), max_bytes_(max_bytes) {
  // Not following a link, and not waiting for a writer on a pipe: the checks
  // below then see what the name itself is.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT) return;
    if (error == ELOOP) throw MachineError(path.string() + ": is a symbolic link; only regular files are read");
    // A device refused is no more than its being no regular file.
    if (IsRegularFile(path)) throw HostFault(path.string() + ": cannot read: " + Errno(error));
    throw MachineError(path.string() + ": cannot read: " + Errno(error));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw MachineError(path.string() + ": not a regular file");
  }
  if (static_cast<std::uint64_t>(st.st_size) > max_bytes) {
    ::close(fd);
    throw MachineError(path.string() + ": larger than " + std::to_string(max_bytes) + " bytes");
  }
  handle_ = fd;
  size_ = static_cast<std::uint64_t>(st.st_size);
  stamp_ = {true, (static_cast<std::uint64_t>(st.st_dev) << 40) ^ static_cast<std::uint64_t>(st.st_ino), size_,
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
  trusted_ = (st.st_uid == ::geteuid() || st.st_uid == 0) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool FileReader::ReadAt(std::uint64_t offset, std::size_t size, std::string& out) {
  out.resize(size);
  if (handle_ == kNone) return false;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(static_cast<int>(handle_), out.data() + done, size - done,
                              static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw HostFault(path_.string() + ": cannot read: " + Errno(errno));
    if (n == 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

FileReader::~FileReader() {
  if (handle_ != kNone) ::close(static_cast<int>(handle_));
}

bool FileReader::ReadMore(std::string& out, std::size_t at_most) {
  if (handle_ == kNone || at_end_) return false;
  // Straight into `out`, asking for one byte more than is left of the size
  // seen at the open: a read that comes back short is the end of a regular
  // file, so the end costs no read of its own and a small file no buffer.
  // Past that size, one byte tells whether the file grew.
  const std::uint64_t expected = read_ < size_ ? size_ - read_ + 1 : read_ == size_ ? 1 : std::uint64_t{1} << 16;
  const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(at_most, expected));
  const std::size_t before = out.size();
  out.resize(before + want);
  ssize_t n = 0;
  do {
    n = ::read(static_cast<int>(handle_), out.data() + before, want);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    const int error = errno;
    out.resize(before);
    throw HostFault(path_.string() + ": cannot read: " + Errno(error));
  }
  out.resize(before + static_cast<std::size_t>(n));
  read_ += static_cast<std::uint64_t>(n);
  at_end_ = static_cast<std::size_t>(n) < want;
  // The file may grow while it is read.
  if (read_ > max_bytes_) throw MachineError(path_.string() + ": larger than " + std::to_string(max_bytes_) + " bytes");
  return n > 0;
}

fs::path WriteTemporary(const fs::path& path, const ContentProducer& content, Durability durability) {
  const fs::path temp = path.parent_path() /
                        ("." + path.filename().string() + std::string(kTempMarker) + std::to_string(::getpid()));
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, FileMode(durability));
  if (fd < 0) throw MachineError(path.string() + ": cannot write: " + Errno(errno));
  bool written = true;
  int error = 0;
  const bool recording = static_cast<bool>(FileOpRecorderSlot());
  FileOp created{FileOp::Kind::kCreate, temp, {}, {}};
  try {
    content([&](std::string_view piece) {
      if (recording) created.bytes += piece;
      if (written && !WriteAll(fd, piece)) {
        written = false;
        error = errno;
      }
    });
  } catch (...) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw;
  }
  if (written && durability == Durability::kFlushed && ::fsync(fd) != 0) {
    written = false;
    error = errno;
  }
  if (!written) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw MachineError(path.string() + ": cannot write: " + Errno(error));
  }
  if (::close(fd) != 0) {
    error = errno;
    ::unlink(temp.c_str());
    throw MachineError(path.string() + ": cannot write: " + Errno(error));
  }
  RecordFileOp(std::move(created));
  if (durability == Durability::kFlushed) RecordFileOp({FileOp::Kind::kSyncFile, temp, {}, {}});
  return temp;
}

void RenameOver(const fs::path& temp, const fs::path& path) {
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    throw MachineError(path.string() + ": cannot write: " + Errno(error));
  }
  RecordFileOp({FileOp::Kind::kRename, temp, path, {}});
}

void SyncFolder(const fs::path& folder) {
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A file system that cannot flush a folder (EINVAL) keeps its entries as
  // it keeps its data; anything else may have lost what the save depends on.
  const int injected = InjectedHostFault(HostCall::kSyncFolder, folder);
  const int error = dir < 0 ? errno : injected != 0 ? injected : ::fsync(dir) == 0 || errno == EINVAL ? 0 : errno;
  if (dir >= 0) ::close(dir);
  if (error != 0) throw MachineError(folder.string() + ": cannot flush the folder to the disk: " + Errno(error));
  RecordFileOp({FileOp::Kind::kSyncFolder, folder, {}, {}});
}

bool RemoveFile(const fs::path& path) {
  if (::unlink(path.c_str()) != 0) return false;
  RecordFileOp({FileOp::Kind::kRemove, path, {}, {}});
  return true;
}

namespace {

// The folder `relative` below the open folder `fd`, each component opened
// without following a link; -1 with errno set when one cannot be.
int OpenFolderBelow(int fd, const fs::path& relative) {
  int at = ::dup(fd);
  for (const fs::path& part : relative) {
    if (at < 0) break;
    const int next = ::openat(at, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    ::close(at);
    at = next;
    errno = error;
  }
  return at;
}

}  // namespace

bool RenameInside(const fs::path& folder, const fs::path& temp, const fs::path& target) {
  const int top = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (top < 0) throw MachineError(folder.string() + ": cannot open: " + Errno(errno));
  const int dir = OpenFolderBelow(top, temp.parent_path());
  const int error = errno;
  ::close(top);
  if (dir < 0) {
    if (error == ENOENT) return false;
    throw MachineError((folder / temp).string() + ": not reached without following a link or leaving a folder");
  }
  struct stat st {};
  if (::fstatat(dir, temp.filename().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    const int missing = errno;
    ::close(dir);
    if (missing == ENOENT) return false;
    throw MachineError((folder / temp).string() + ": cannot read: " + Errno(missing));
  }
  const bool moved = S_ISREG(st.st_mode) &&
                     ::renameat(dir, temp.filename().c_str(), dir, target.filename().c_str()) == 0;
  const int rename_error = errno;
  ::close(dir);
  if (!S_ISREG(st.st_mode)) throw MachineError((folder / temp).string() + ": not a regular file");
  if (!moved) throw MachineError((folder / target).string() + ": cannot write: " + Errno(rename_error));
  RecordFileOp({FileOp::Kind::kRename, folder / temp, folder / target, {}});
  return true;
}

bool RemoveUnlockedFolder(const fs::path& base, const std::string& name, const std::string& lock_name) {
  const int parent = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) return false;
  const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  bool removable = fd >= 0 && ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid();
  int lock = -1;
  if (removable) {
    lock = ::openat(fd, lock_name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (lock >= 0) {
      removable = ::fstat(lock, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
                  ::flock(lock, LOCK_EX | LOCK_NB) == 0;
    } else {
      removable = errno == ENOENT;
    }
  }
  // Emptied while the lock is held, so no run can open the machine meanwhile.
  if (removable) EmptyFolder(fd, 0);
  if (lock >= 0) ::close(lock);
  if (fd >= 0) ::close(fd);
  removable = removable && ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0;
  ::close(parent);
  return removable;
}

void AtomicWrite(const fs::path& path, const ContentProducer& content, Durability durability) {
  const fs::path temp = WriteTemporary(path, content, durability);
  try {
    RenameOver(temp, path);
  } catch (const MachineError&) {
    ::unlink(temp.c_str());
    throw;
  }
  // The rename itself lives in the folder; flush it too.
  if (durability == Durability::kFlushed) SyncFolder(path.parent_path());
}

platform::Status AppendToFile(const fs::path& path, std::string_view bytes, Durability durability) {
  // Not waiting for a reader of a pipe, and writing to nothing but a file.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, FileMode(durability));
  if (fd < 0) {
    const int error = errno;
    if (error == EISDIR || error == ENXIO) return win32::kAccessDenied;
    if (error != ENOENT && error != ENOTDIR && error != ENOSPC && IsRegularFile(path)) {
      throw HostFault(path.string() + ": cannot append: " + Errno(error));
    }
    return ErrnoToWin32(error);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return win32::kAccessDenied;
  }
  int error = WriteAll(fd, bytes) ? 0 : errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0) return win32::kSuccess;
  if (error == ENOSPC) return win32::kDiskFull;
  throw HostFault(path.string() + ": cannot append: " + Errno(error));
}

void WriteAt(const fs::path& path, std::uint64_t offset, std::string_view bytes, Durability durability) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) throw MachineError(path.string() + ": cannot write: " + Errno(errno));
  struct stat st {};
  int error = 0;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = EINVAL;
  } else if (::ftruncate(fd, static_cast<off_t>(offset)) != 0 || ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0 ||
             !WriteAll(fd, bytes) || (durability == Durability::kFlushed && ::fsync(fd) != 0)) {
    error = errno;
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) throw MachineError(path.string() + ": cannot write: " + Errno(error));
  RecordFileOp({FileOp::Kind::kWriteAt, path, {}, std::string(bytes), offset});
  if (durability == Durability::kFlushed) RecordFileOp({FileOp::Kind::kSyncFile, path, {}, {}});
}

bool TrustedFile(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_uid == ::geteuid() || st.st_uid == 0) &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

FileLock::FileLock(const fs::path& path, Mode mode) {
  // Private: another user who could open it could hold it.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0 && mode == Mode::kShared && (errno == EACCES || errno == EROFS || errno == EPERM)) {
    // A folder this user may not write (a CI job's artifact): a reader
    // shares the lock that is there, and where there is none, no run of this
    // user can be changing the folder, since a run must first make one.
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT) {
      handle_ = -1;
      return;
    }
  }
  if (fd < 0) {
    const int error = errno;
    if (error == ELOOP) throw MachineError(path.string() + ": is a symbolic link; refused as a lock file");
    throw MachineError(path.string() + ": cannot lock: " + Errno(error));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    ::close(fd);
    throw MachineError(path.string() + ": not a regular file of this user; refused as a lock file");
  }
  if (::flock(fd, (mode == Mode::kShared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) throw MachineError(path.parent_path().string() + ": the machine is in use by another run");
    throw MachineError(path.string() + ": cannot lock: " + Errno(error));
  }
  handle_ = fd;
}

FileLock::~FileLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

}  // namespace qvi::emu
