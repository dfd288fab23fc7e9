#include <windows.h>

#include <algorithm>
#include <system_error>

#include "emu/file_io.h"

namespace qvi::emu {

namespace fs = std::filesystem;

namespace {

std::string Describe(DWORD error) { return std::system_category().message(static_cast<int>(error)); }

bool WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), std::size_t{1} << 30));
    if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

FolderEntry::Kind KindOf(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return FolderEntry::Kind::kLink;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FolderEntry::Kind::kFolder;
  return FolderEntry::Kind::kFile;
}

bool RemoveTreeAt(const fs::path& path, DWORD attributes, int depth) {
  constexpr int kMaxDepth = 512;
  if (KindOf(attributes) != FolderEntry::Kind::kFolder) {
    // A link to a folder is removed as a folder, without touching its target.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ::RemoveDirectoryW(path.c_str()) != 0;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      ::SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    return ::DeleteFileW(path.c_str()) != 0;
  }
  if (depth > kMaxDepth) return false;
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW((path / L"*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring_view name(found.cFileName);
      if (name == L"." || name == L"..") continue;
      RemoveTreeAt(path / found.cFileName, found.dwFileAttributes, depth + 1);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  return ::RemoveDirectoryW(path.c_str()) != 0;
}

}  // namespace

std::optional<std::vector<FolderEntry>> ListFolder(const fs::path& folder) {
  std::vector<FolderEntry> entries;
  WIN32_FIND_DATAW found{};
  if (InjectedHostFault(HostCall::kListFolder, folder) != 0) return std::nullopt;
  const HANDLE search = ::FindFirstFileW((folder / L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return std::nullopt;
  do {
    const std::wstring_view name(found.cFileName);
    if (name == L"." || name == L"..") continue;
    entries.push_back({fs::path(found.cFileName).string(), KindOf(found.dwFileAttributes)});
  } while (::FindNextFileW(search, &found));
  // A read that fails partway is no end of the folder.
  const DWORD error = ::GetLastError();
  ::FindClose(search);
  if (error != ERROR_NO_MORE_FILES) return std::nullopt;
  return entries;
}

bool RemoveTree(const fs::path& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  return RemoveTreeAt(path, attributes, 0);
}

FileStamp StampOf(const fs::path& path) {
  FileStamp stamp;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return stamp;
  }
  const auto join = [](DWORD high, DWORD low) { return (static_cast<std::uint64_t>(high) << 32) | low; };
  stamp.exists = true;
  stamp.size = join(data.nFileSizeHigh, data.nFileSizeLow);
  stamp.modified_ns =
      static_cast<std::int64_t>(join(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime)) * 100;
  // Windows has no inode number without opening the file; a file made anew
  // over the old one has a new creation time instead.
  stamp.identity = join(data.ftCreationTime.dwHighDateTime, data.ftCreationTime.dwLowDateTime);
  return stamp;
}

FileReader::FileReader(const fs::path& path, std::uint64_t max_bytes) : path_(path), max_bytes_(max_bytes) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    throw MachineError(path.string() + ": is a symbolic link; only regular files are read");
  }
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
    throw MachineError(path.string() + ": cannot read: " + Describe(error));
  }
  LARGE_INTEGER size{};
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileSizeEx(file, &size)) {
    ::CloseHandle(file);
    throw MachineError(path.string() + ": not a regular file");
  }
  if (static_cast<std::uint64_t>(size.QuadPart) > max_bytes) {
    ::CloseHandle(file);
    throw MachineError(path.string() + ": larger than " + std::to_string(max_bytes) + " bytes");
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  size_ = static_cast<std::uint64_t>(size.QuadPart);
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(file, &info)) {
    const auto join = [](DWORD high, DWORD low) { return (static_cast<std::uint64_t>(high) << 32) | low; };
    stamp_ = {true, join(info.nFileIndexHigh, info.nFileIndexLow) ^ (std::uint64_t{info.dwVolumeSerialNumber} << 32),
              size_,
              static_cast<std::int64_t>(join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime)) *
                  100};
  }
  // Other users are kept out of a machine folder by its ACL on Windows.
  trusted_ = true;
}

bool FileReader::ReadAt(std::uint64_t offset, std::size_t size, std::string& out) {
  out.resize(size);
  if (handle_ == kNone) return false;
  std::size_t done = 0;
  while (done < size) {
    OVERLAPPED at{};
    const std::uint64_t where = offset + done;
    at.Offset = static_cast<DWORD>(where);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    DWORD read = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
    if (!::ReadFile(reinterpret_cast<HANDLE>(handle_), out.data() + done, want, &read, &at)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF) return false;
      throw MachineError(path_.string() + ": cannot read: " + Describe(error));
    }
    if (read == 0) return false;
    done += read;
  }
  return true;
}

FileReader::~FileReader() {
  if (handle_ != kNone) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool FileReader::ReadMore(std::string& out, std::size_t at_most) {
  if (handle_ == kNone) return false;
  char chunk[1 << 16];
  DWORD read = 0;
  if (!::ReadFile(reinterpret_cast<HANDLE>(handle_), chunk, static_cast<DWORD>(std::min(at_most, sizeof chunk)), &read,
                  nullptr)) {
    throw MachineError(path_.string() + ": cannot read: " + Describe(::GetLastError()));
  }
  out.append(chunk, read);
  read_ += read;
  if (read_ > max_bytes_) throw MachineError(path_.string() + ": larger than " + std::to_string(max_bytes_) + " bytes");
  return read > 0;
}

fs::path WriteTemporary(const fs::path& path, const ContentProducer& content, Durability durability) {
  const fs::path temp = path.parent_path() / ("." + path.filename().string() + std::string(kTempMarker) +
                                              std::to_string(::GetCurrentProcessId()));
  const HANDLE file =
      ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw MachineError(path.string() + ": cannot write: " + Describe(::GetLastError()));
  bool written = true;
  DWORD error = 0;
  try {
    content([&](std::string_view piece) {
      if (written && !WriteAll(file, piece)) {
        written = false;
        error = ::GetLastError();
      }
    });
  } catch (...) {
    ::CloseHandle(file);
    ::DeleteFileW(temp.c_str());
    throw;
  }
  if (written && durability == Durability::kFlushed && !::FlushFileBuffers(file)) {
    written = false;
    error = ::GetLastError();
  }
  ::CloseHandle(file);
  if (!written) {
    ::DeleteFileW(temp.c_str());
    throw MachineError(path.string() + ": cannot write: " + Describe(error));
  }
  return temp;
}

void RenameOver(const fs::path& temp, const fs::path& path) {
  // The C runtime's rename will not replace a file: MoveFileEx does, and with
  // write-through returns only once the move is on the disk.
  if (!::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    throw MachineError(path.string() + ": cannot write: " + Describe(::GetLastError()));
  }
}

// MoveFileEx with write-through has flushed the folder already.
void SyncFolder(const fs::path&) {}

void AtomicWrite(const fs::path& path, const ContentProducer& content, Durability durability) {
  const fs::path temp = WriteTemporary(path, content, durability);
  try {
    RenameOver(temp, path);
  } catch (const MachineError&) {
    ::DeleteFileW(temp.c_str());
    throw;
  }
}

bool RemoveFile(const fs::path& path) { return ::DeleteFileW(path.c_str()) != 0; }

bool RenameInside(const fs::path& folder, const fs::path& temp, const fs::path& target) {
  // No folder on the way may be a link (a junction included).
  fs::path at = folder;
  for (const fs::path& part : temp.parent_path()) {
    at /= part;
    const DWORD attributes = ::GetFileAttributesW(at.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (KindOf(attributes) != FolderEntry::Kind::kFolder) {
      throw MachineError((folder / temp).string() + ": not reached without following a link or leaving a folder");
    }
  }
  const DWORD attributes = ::GetFileAttributesW((folder / temp).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (KindOf(attributes) != FolderEntry::Kind::kFile) throw MachineError((folder / temp).string() + ": not a regular file");
  RenameOver(folder / temp, folder / target);
  return true;
}

bool RemoveUnlockedFolder(const fs::path& base, const std::string& name, const std::string& lock_name) {
  const fs::path folder = base / name;
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || KindOf(attributes) != FolderEntry::Kind::kFolder) return false;
  try {
    // Windows cannot remove a file it holds open, so the lock is let go
    // first; its owner is gone either way.
    FileLock{folder / lock_name};
  } catch (const MachineError&) {
    return false;
  }
  return RemoveTree(folder);
}

platform::Status AppendToFile(const fs::path& path, std::string_view bytes, Durability) {
  const HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<platform::Status>(::GetLastError());
  platform::Status status =
      WriteAll(file, bytes) ? platform::win32::kSuccess : static_cast<platform::Status>(::GetLastError());
  if (!::CloseHandle(file) && status == platform::win32::kSuccess) {
    status = static_cast<platform::Status>(::GetLastError());
  }
  return status;
}

void WriteAt(const fs::path& path, std::uint64_t offset, std::string_view bytes, Durability durability) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw MachineError(path.string() + ": cannot write: " + Describe(::GetLastError()));
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(offset);
  const bool ok = ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(file) && WriteAll(file, bytes) &&
                  (durability != Durability::kFlushed || ::FlushFileBuffers(file));
  const DWORD error = ok ? 0 : ::GetLastError();
  ::CloseHandle(file);
  if (!ok) throw MachineError(path.string() + ": cannot write: " + Describe(error));
  RecordFileOp({FileOp::Kind::kWriteAt, path, {}, std::string(bytes), offset});
  if (durability == Durability::kFlushed) RecordFileOp({FileOp::Kind::kSyncFile, path, {}, {}});
}

bool TrustedFile(const fs::path& path) {
  // Who may write it is the folder's access list's business on Windows; a
  // reparse point is never taken for the file.
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

FileLock::FileLock(const fs::path& path, Mode mode) {
  // Opened without sharing: a second open, by this process or another, fails
  // until this handle is closed. Shared holders open it for reading and share
  // only that, which an exclusive open (reading and writing) cannot join.
  const bool shared = mode == Mode::kShared;
  HANDLE file = ::CreateFileW(path.c_str(), shared ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE,
                              shared ? FILE_SHARE_READ : 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE && shared &&
      (::GetLastError() == ERROR_ACCESS_DENIED || ::GetLastError() == ERROR_WRITE_PROTECT)) {
    // A folder this user may not write: a reader shares the lock that is
    // there, and where there is none, no run can be changing the folder.
    file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
      handle_ = -1;
      return;
    }
  }
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SHARING_VIOLATION) {
      throw MachineError(path.parent_path().string() + ": the machine is in use by another run");
    }
    throw MachineError(path.string() + ": cannot lock: " + Describe(error));
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
}

FileLock::~FileLock() {
  if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

}  // namespace qvi::emu
