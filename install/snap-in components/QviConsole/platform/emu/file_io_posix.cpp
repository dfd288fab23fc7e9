#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/emu/file_io.h"

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

}  // namespace

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

std::optional<std::string> ReadWholeFile(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw MachineError(path.string() + ": cannot read: " + Errno(errno));
  }
  std::string out;
  char chunk[16384];
  while (true) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      throw MachineError(path.string() + ": cannot read: " + Errno(error));
    }
    if (n == 0) break;
    out.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

void AtomicWrite(const fs::path& path, std::string_view bytes) {
  const fs::path temp = path.parent_path() /
                        ("." + path.filename().string() + std::string(kTempMarker) + std::to_string(::getpid()));
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw MachineError(path.string() + ": cannot write: " + Errno(errno));
  if (!WriteAll(fd, bytes) || ::fsync(fd) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    throw MachineError(path.string() + ": cannot write: " + Errno(error));
  }
  if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    throw MachineError(path.string() + ": cannot write: " + Errno(error));
  }
  // The rename itself lives in the folder; flush it too.
  const int dir = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

platform::Status AppendToFile(const fs::path& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return errno == EISDIR ? win32::kAccessDenied : ErrnoToWin32(errno);
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
