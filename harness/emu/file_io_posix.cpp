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

// The entries of the open folder `fd`. getdents64 straight into a small
// buffer: opendir would add a status call, two descriptor calls and a large
// buffer of its own to every listing.
std::vector<FolderEntry> ListOpenFolder(int fd) {
  std::vector<FolderEntry> entries;
  alignas(8) char buffer[4096];
  for (;;) {
    const ssize_t n = ::getdents64(fd, buffer, sizeof buffer);
    if (n <= 0) break;
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

// Empties and removes the folder `name` of the open folder `parent`.
bool RemoveFolderAt(int parent, const char* name, int depth) {
  // Deeper than any path a machine can hold: left alone rather than risk the
  // descriptors of a hostile tree.
  constexpr int kMaxDepth = 512;
  if (depth > kMaxDepth) return false;
  const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  for (const FolderEntry& entry : ListOpenFolder(fd)) {
    if (entry.kind == FolderEntry::Kind::kFolder) {
      RemoveFolderAt(fd, entry.name.c_str(), depth + 1);
    } else {
      ::unlinkat(fd, entry.name.c_str(), 0);
    }
  }
  ::close(fd);
  return ::unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

}  // namespace

std::optional<std::vector<FolderEntry>> ListFolder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::vector<FolderEntry> entries = ListOpenFolder(fd);
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
    if (errno == ENOENT) return;
    if (errno == ELOOP) throw MachineError(path.string() + ": is a symbolic link; only regular files are read");
    throw MachineError(path.string() + ": cannot read: " + Errno(errno));
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
    out.resize(before);
    throw MachineError(path_.string() + ": cannot read: " + Errno(errno));
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
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) throw MachineError(path.string() + ": cannot write: " + Errno(errno));
  bool written = true;
  int error = 0;
  try {
    content([&](std::string_view piece) {
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
  return temp;
}

void RenameOver(const fs::path& temp, const fs::path& path) {
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    throw MachineError(path.string() + ": cannot write: " + Errno(error));
  }
}

void SyncFolder(const fs::path& folder) {
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
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

platform::Status AppendToFile(const fs::path& path, std::string_view bytes) {
  // Not waiting for a reader of a pipe, and writing to nothing but a file.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return errno == EISDIR || errno == ENXIO ? win32::kAccessDenied : ErrnoToWin32(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return win32::kAccessDenied;
  }
  const bool written = WriteAll(fd, bytes);
  const int error = errno;
  if (::close(fd) != 0 || !written) return ErrnoToWin32(written ? errno : error);
  return win32::kSuccess;
}

FileLock::FileLock(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw MachineError(path.string() + ": cannot lock: " + Errno(errno));
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) throw MachineError(path.parent_path().string() + ": the machine is in use by another run");
    throw MachineError(path.string() + ": cannot lock: " + Errno(error));
  }
  handle_ = fd;
}

FileLock::~FileLock() { ::close(static_cast<int>(handle_)); }

}  // namespace qvi::emu
