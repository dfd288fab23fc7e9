#include "platform/emu/machine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "platform/emu/ini_document.h"
#include "platform/emu/reg_text.h"
#include "platform/emu/registry_store.h"
#include "platform/text.h"

namespace qvi::emu {

namespace fs = std::filesystem;
using platform::HKey;
using platform::Status;
namespace win32 = platform::win32;

namespace {

constexpr Status kBadNetName = 67;
constexpr Status kDiskFull = 112;
constexpr const char* kSettingsFile = "machine.ini";
constexpr const char* kRegistryFile = "registry.reg";
constexpr const char* kSettingsSection = "Machine";
constexpr std::string_view kTempMarker = ".qvi-tmp-";

// What a file looked like when it was read, to tell whether it changed since.
struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t mtime_sec = 0;
  std::int64_t mtime_nsec = 0;
  bool operator==(const FileStamp&) const = default;
};

FileStamp Stamp(const fs::path& path) {
  struct stat st {};
  FileStamp stamp;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return stamp;
  stamp.exists = true;
  stamp.device = st.st_dev;
  stamp.inode = st.st_ino;
  stamp.size = st.st_size;
  stamp.mtime_sec = st.st_mtim.tv_sec;
  stamp.mtime_nsec = st.st_mtim.tv_nsec;
  return stamp;
}

std::string Errno(int error) { return std::strerror(error); }

// The whole file, or nothing when it does not exist. Throws MachineError on
// any other failure.
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

// Replaces `path` with `bytes` so that a crash at any moment leaves either the
// old file or the new one, never a mixture: the data goes to a temporary file
// beside it, is flushed to the disk, and is then renamed over the old file.
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

Status ErrnoToWin32(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return win32::kPathNotFound;
    case ENOSPC:
      return kDiskFull;
    default:
      return win32::kAccessDenied;
  }
}

bool IsBadPathChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' || c == '*';
}

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

void CopyTruncated(std::string_view value, char* buffer, std::uint32_t size, std::uint32_t& copied) {
  const std::size_t n = std::min<std::size_t>(value.size(), size - 1);
  if (n > 0) std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  copied = static_cast<std::uint32_t>(n);
}

// A NUL-separated list with a final extra NUL. Sections need one byte more
// than keys to count as fitting, as on Windows; a list that does not fit is
// cut to size - 2 bytes and ends in two NULs.
std::uint32_t CopyList(const std::vector<std::string>& names, char* buffer, std::uint32_t size, bool sections) {
  std::string list;
  for (const std::string& name : names) {
    list.append(name);
    list.push_back('\0');
  }
  const std::size_t needed = list.size() + (sections ? 2 : 1);
  if (list.empty()) {
    buffer[0] = '\0';
    if (size > 1) buffer[1] = '\0';
    return 0;
  }
  if (needed <= size) {
    std::memcpy(buffer, list.data(), list.size());
    buffer[list.size()] = '\0';
    return static_cast<std::uint32_t>(list.size());
  }
  if (size < 2) {
    buffer[0] = '\0';
    return 0;
  }
  std::memcpy(buffer, list.data(), size - 2);
  buffer[size - 2] = '\0';
  buffer[size - 1] = '\0';
  return size - 2;
}

void ValidateSettings(const MachineSettings& s, const std::string& where) {
  if (s.computer_name.empty()) throw MachineError(where + "ComputerName is empty");
  for (const char c : s.computer_name) {
    if (c == '\\' || c == '/' || static_cast<unsigned char>(c) <= 0x20) {
      throw MachineError(where + "ComputerName \"" + s.computer_name + "\" holds a blank, a slash or a backslash");
    }
  }
  const std::string& w = s.windows_directory;
  if (w.size() < 3 || !IsDriveLetter(w[0]) || w[1] != ':' || w[2] != '\\') {
    throw MachineError(where + "WindowsDirectory \"" + w + "\" is not a full path such as C:\\WINNT");
  }
}

std::string SettingsText(const MachineSettings& s) {
  return "[Machine]\r\nComputerName=" + s.computer_name + "\r\nWindowsDirectory=" + s.windows_directory +
         "\r\nCodePage=" + std::to_string(s.code_page) + "\r\n";
}

MachineSettings ParseSettings(const std::string& bytes, const fs::path& file) {
  const IniDocument doc(bytes);
  MachineSettings s;
  const std::string name = file.string();
  const auto where = [&](const char* key) {
    return name + ":" + std::to_string(doc.LineOf(kSettingsSection, key)) + ": ";
  };
  if (const auto v = doc.Value(kSettingsSection, "ComputerName")) {
    s.computer_name = std::string(*v);
    ValidateSettings({s.computer_name, s.windows_directory, s.code_page}, where("ComputerName"));
  }
  if (const auto v = doc.Value(kSettingsSection, "WindowsDirectory")) {
    s.windows_directory = std::string(*v);
    while (s.windows_directory.size() > 3 && s.windows_directory.back() == '\\') s.windows_directory.pop_back();
    ValidateSettings(s, where("WindowsDirectory"));
  }
  if (const auto v = doc.Value(kSettingsSection, "CodePage")) {
    std::uint32_t page = 0;
    bool ok = !v->empty() && v->size() <= 5;
    for (const char c : *v) {
      if (c < '0' || c > '9') ok = false;
      page = page * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (!ok || page == 0) throw MachineError(where("CodePage") + "CodePage \"" + std::string(*v) + "\" is not a number");
    s.code_page = page;
  }
  return s;
}

}  // namespace

struct Machine::Impl {
  struct IniFile {
    fs::path host_path;
    FileStamp stamp;  // of the disk file the document was read from
    IniDocument doc;
    bool dirty = false;
  };

  fs::path folder;
  MachineSettings settings;
  RegistryStore registry;
  std::unordered_map<std::string, std::string> ini_names;  // name as given -> host path
  std::unordered_map<std::string, IniFile> ini_files;      // host path -> file
  std::vector<MessageBoxRecord> message_boxes;
  std::function<void(const MessageBoxRecord&)> presenter;
  std::uint32_t last_error = 0;

  fs::path Map(std::string_view windows_path) const;
  fs::path MapComponents(char drive, const std::vector<std::string>& names) const;
  IniFile& Ini(const std::string& name);
  IniFile& Load(const std::string& host);
};

fs::path Machine::Impl::Map(std::string_view p) const {
  if (p.find('\0') != std::string_view::npos) throw PathError("path holds a NUL byte", win32::kBadPathName);
  if (p.empty()) throw PathError("empty path", win32::kPathNotFound);
  if (p.front() == '/') {
    throw PathError("\"" + std::string(p) + "\" is not a Windows path", win32::kBadPathName);
  }
  std::string path(p);
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  const auto quoted = "\"" + path + "\"";
  char drive = 0;
  std::string_view rest;
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
    const std::string_view unc = std::string_view(path).substr(2);
    const std::size_t slash = unc.find('\\');
    const std::string_view server = unc.substr(0, slash);
    if (server.empty() || server == "." || server == "?") {
      throw PathError(quoted + " is not a path to a file share", win32::kBadPathName);
    }
    if (!text::EqualsNoCase(server, settings.computer_name)) {
      throw PathError(quoted + ": unknown server \"" + std::string(server) + "\"", win32::kBadNetPath);
    }
    const std::string_view after = slash == std::string_view::npos ? std::string_view() : unc.substr(slash + 1);
    const std::size_t share_end = after.find('\\');
    const std::string_view share = after.substr(0, share_end);
    if (share.size() != 2 || !IsDriveLetter(share[0]) || share[1] != '$') {
      throw PathError(quoted + ": unknown share \"" + std::string(share) + "\"", kBadNetName);
    }
    drive = LowerAscii(share[0]);
    rest = share_end == std::string_view::npos ? std::string_view() : after.substr(share_end + 1);
  } else if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == ':') {
    if (path.size() > 2 && path[2] != '\\') {
      throw PathError(quoted + " is relative to a drive's current folder", win32::kBadPathName);
    }
    drive = LowerAscii(path[0]);
    rest = std::string_view(path).substr(std::min<std::size_t>(3, path.size()));
  } else if (path.find('\\') == std::string::npos) {
    // A bare file name lies in the Windows directory.
    return Map(settings.windows_directory + "\\" + path);
  } else {
    throw PathError(quoted + " is a relative path", win32::kPathNotFound);
  }

  std::vector<std::string> names;
  std::size_t from = 0;
  while (from <= rest.size()) {
    const std::size_t slash = rest.find('\\', from);
    std::string name(rest.substr(from, slash == std::string_view::npos ? rest.npos : slash - from));
    from = slash == std::string_view::npos ? rest.size() + 1 : slash + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (names.empty()) throw PathError(quoted + " leaves its drive", win32::kBadPathName);
      names.pop_back();
      continue;
    }
    for (const char c : name) {
      if (IsBadPathChar(c)) throw PathError(quoted + " holds a character not allowed in a name", win32::kBadPathName);
    }
    // Windows drops trailing dots and blanks of a name.
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
    if (name.empty()) throw PathError(quoted + " holds a name made of dots", win32::kBadPathName);
    names.push_back(std::move(name));
  }
  return MapComponents(drive, names);
}

fs::path Machine::Impl::MapComponents(char drive, const std::vector<std::string>& names) const {
  fs::path at = folder / (std::string("drive_") + drive);
  std::error_code ec;
  if (!fs::is_directory(at, ec)) {
    throw PathError(std::string("unknown drive ") + static_cast<char>(drive - 32) + ":", win32::kPathNotFound);
  }
  bool exists = true;
  for (const std::string& name : names) {
    if (exists) {
      fs::path candidate = at / name;
      auto status = fs::symlink_status(candidate, ec);
      if (!fs::exists(status)) {
        candidate.clear();
        for (fs::directory_iterator it(at, ec), end; !ec && it != end; it.increment(ec)) {
          if (text::EqualsNoCase(it->path().filename().string(), name)) {
            candidate = it->path();
            status = fs::symlink_status(candidate, ec);
            break;
          }
        }
        if (candidate.empty()) {
          exists = false;
          at /= name;
          continue;
        }
      }
      if (fs::is_symlink(status)) {
        throw PathError("\"" + candidate.string() + "\" is a symbolic link and may lead out of the machine",
                        win32::kBadPathName);
      }
      at = candidate;
    } else {
      at /= name;
    }
  }
  return at;
}

Machine::Impl::IniFile& Machine::Impl::Load(const std::string& host) {
  auto [it, added] = ini_files.try_emplace(host);
  IniFile& file = it->second;
  if (added) file.host_path = host;
  if (file.dirty) return file;
  const FileStamp now = Stamp(file.host_path);
  if (added || !(now == file.stamp)) {
    std::string bytes;
    if (now.exists) {
      auto read = ReadWholeFile(file.host_path);
      if (read) bytes = std::move(*read);
    }
    file.doc = IniDocument(std::move(bytes));
    file.stamp = now;
  }
  return file;
}

Machine::Impl::IniFile& Machine::Impl::Ini(const std::string& name) {
  if (const auto known = ini_names.find(name); known != ini_names.end()) {
    IniFile& file = Load(known->second);
    // A file that is not there may now exist under another letter case.
    if (file.dirty || file.stamp.exists) return file;
  }
  std::string host = Map(name).string();
  // A file written but not yet saved is not on disk for Map() to match its
  // letter case; find it among the pending ones.
  if (ini_files.count(host) == 0) {
    for (const auto& [pending, file] : ini_files) {
      if (file.dirty && !file.stamp.exists && text::EqualsNoCase(pending, host)) {
        host = pending;
        break;
      }
    }
  }
  ini_names[name] = host;
  return Load(host);
}

Machine::Machine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Machine::~Machine() = default;

std::unique_ptr<Machine> Machine::Open(const fs::path& folder, const std::optional<MachineSettings>& create_with) {
  auto impl = std::make_unique<Impl>();
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (!fs::is_directory(folder, ec)) throw MachineError(folder.string() + ": not a folder that can hold a machine");
  impl->folder = fs::absolute(folder, ec).lexically_normal();
  if (impl->folder.filename().empty()) impl->folder = impl->folder.parent_path();

  // Temporary files are only ever left by an interrupted save; the files they
  // were to replace are intact.
  for (fs::directory_iterator it(impl->folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.find(kTempMarker) != std::string::npos && name.front() == '.') {
      std::error_code ignored;
      fs::remove(it->path(), ignored);
    }
  }

  const fs::path settings_path = impl->folder / kSettingsFile;
  if (const auto text = ReadWholeFile(settings_path)) {
    impl->settings = ParseSettings(*text, settings_path);
  } else {
    impl->settings = create_with.value_or(MachineSettings{});
    ValidateSettings(impl->settings, settings_path.string() + ": ");
    fs::create_directories(impl->folder / "drive_c", ec);
    fs::create_directories(impl->folder / (std::string("drive_") + LowerAscii(impl->settings.windows_directory[0])), ec);
    const std::string& windows = impl->settings.windows_directory;
    const fs::path windows_dir = impl->Map(windows);
    fs::create_directories(windows_dir, ec);
    if (ec) throw MachineError(windows_dir.string() + ": cannot create: " + ec.message());
    AtomicWrite(settings_path, SettingsText(impl->settings));
  }

  const fs::path registry_path = impl->folder / kRegistryFile;
  if (const auto text = ReadWholeFile(registry_path)) {
    ImportRegText(impl->registry, *text, registry_path.string());
  }
  impl->registry.MarkClean();
  return std::unique_ptr<Machine>(new Machine(std::move(impl)));
}

const fs::path& Machine::folder() const { return impl_->folder; }
const MachineSettings& Machine::settings() const { return impl_->settings; }

void Machine::Save() {
  for (auto& [host, file] : impl_->ini_files) {
    if (!file.dirty) continue;
    AtomicWrite(file.host_path, file.doc.bytes());
    file.stamp = Stamp(file.host_path);
    file.dirty = false;
  }
  const fs::path registry_path = impl_->folder / kRegistryFile;
  std::error_code ec;
  if (impl_->registry.dirty() || !fs::exists(registry_path, ec)) {
    AtomicWrite(registry_path, ExportReg());
    impl_->registry.MarkClean();
  }
  const fs::path settings_path = impl_->folder / kSettingsFile;
  if (!fs::exists(settings_path, ec)) AtomicWrite(settings_path, SettingsText(impl_->settings));
}

fs::path Machine::MapPath(std::string_view windows_path) const { return impl_->Map(windows_path); }

std::string Machine::WindowsPathOf(const fs::path& host_path) const {
  std::error_code ec;
  const fs::path full = fs::absolute(host_path, ec).lexically_normal();
  const fs::path relative = full.lexically_relative(impl_->folder);
  auto it = relative.begin();
  if (relative.empty() || it == relative.end()) throw PathError(host_path.string() + " is not inside the machine");
  const std::string drive = it->string();
  if (drive.size() != 7 || drive.rfind("drive_", 0) != 0 || !IsDriveLetter(drive[6])) {
    throw PathError(host_path.string() + " is not on a drive of the machine");
  }
  std::string out(1, text::ToUpperAnsi(drive[6]));
  out += ":";
  bool any = false;
  for (++it; it != relative.end(); ++it) {
    if (it->empty()) continue;
    out += "\\" + it->string();
    any = true;
  }
  if (!any) out += "\\";
  return out;
}

std::vector<RegistryKey> Machine::SnapshotRegistry() const { return impl_->registry.Snapshot(); }

void Machine::ImportReg(std::string_view reg_text, const std::string& source_name) {
  ImportRegText(impl_->registry, reg_text, source_name);
}

std::string Machine::ExportReg() const { return ExportRegText(impl_->registry.Snapshot()); }

const std::vector<MessageBoxRecord>& Machine::message_boxes() const { return impl_->message_boxes; }

void Machine::SetMessageBoxPresenter(std::function<void(const MessageBoxRecord&)> presenter) {
  impl_->presenter = std::move(presenter);
}

Status Machine::RegCreateKeyA(HKey key, const char* sub_key, HKey* result) {
  return impl_->registry.CreateKey(key, sub_key, result);
}

Status Machine::RegSetValueExA(HKey key, const char* value_name, std::uint32_t, std::uint32_t type,
                               const std::uint8_t* data, std::uint32_t size) {
  return impl_->registry.SetValue(key, value_name, type, data, size);
}

Status Machine::RegCloseKey(HKey key) { return impl_->registry.CloseKey(key); }

Status Machine::RegOpenKeyExA(HKey key, const char* sub_key, std::uint32_t, std::uint32_t, HKey* result) {
  return impl_->registry.OpenKey(key, sub_key, result);
}

Status Machine::RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t name_size) {
  return impl_->registry.EnumKey(key, index, name, name_size);
}

Status Machine::RegDeleteKeyA(HKey key, const char* sub_key) { return impl_->registry.DeleteKey(key, sub_key); }

Status Machine::RegConnectRegistryA(const char* machine_name, HKey key, HKey* result) {
  if (!result) return win32::kInvalidParameter;
  std::string_view name = machine_name ? std::string_view(machine_name) : std::string_view();
  if (name.size() >= 2 && name[0] == '\\' && name[1] == '\\') name.remove_prefix(2);
  if (!name.empty() && !text::EqualsNoCase(name, impl_->settings.computer_name)) return win32::kBadNetPath;
  return impl_->registry.OpenRootHandle(key, result);
}

std::uint32_t Machine::GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                                char* buffer, std::uint32_t size, const char* file_name) {
  if (size == 0) return 0;
  if (!buffer) {
    impl_->last_error = win32::kInvalidParameter;
    return 0;
  }
  const IniDocument* doc = nullptr;
  static const IniDocument kEmpty;
  if (file_name && file_name[0] == '\0') {
    doc = &kEmpty;
    impl_->last_error = win32::kFileNotFound;
  } else {
    try {
      doc = &impl_->Ini(file_name ? file_name : "win.ini").doc;
    } catch (const PathError& error) {
      doc = &kEmpty;
      impl_->last_error = static_cast<std::uint32_t>(error.code());
    } catch (const MachineError&) {
      doc = &kEmpty;
      impl_->last_error = win32::kAccessDenied;
    }
  }
  if (!section) return CopyList(doc->SectionNames(), buffer, size, true);
  if (!key) return CopyList(doc->KeyNames(section), buffer, size, false);
  std::uint32_t copied = 0;
  if (const auto value = doc->Value(section, key)) {
    CopyTruncated(*value, buffer, size, copied);
    return copied;
  }
  std::string_view fallback = default_value ? std::string_view(default_value) : std::string_view();
  while (!fallback.empty() && fallback.back() == ' ') fallback.remove_suffix(1);
  CopyTruncated(fallback, buffer, size, copied);
  impl_->last_error = win32::kFileNotFound;
  return copied;
}

std::int32_t Machine::WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                                 const char* file_name) {
  if (!section && !key && !value) return 1;  // a flush: writes are held until Save()
  if (file_name && file_name[0] == '\0') {
    impl_->last_error = win32::kAccessDenied;
    return 0;
  }
  if (!section) {
    impl_->last_error = win32::kFileNotFound;
    return 0;
  }
  Impl::IniFile* file = nullptr;
  try {
    file = &impl_->Ini(file_name ? file_name : "win.ini");
  } catch (const PathError& error) {
    impl_->last_error = static_cast<std::uint32_t>(error.code());
    return 0;
  } catch (const MachineError&) {
    impl_->last_error = win32::kAccessDenied;
    return 0;
  }
  const bool on_disk = file->stamp.exists;
  if (!on_disk && !file->dirty) {
    std::error_code ec;
    if (fs::is_directory(file->host_path, ec)) {
      impl_->last_error = win32::kAccessDenied;
      return 0;
    }
    if (!fs::is_directory(file->host_path.parent_path(), ec)) {
      impl_->last_error = win32::kPathNotFound;
      return 0;
    }
  }
  bool changed = false;
  if (!key) {
    changed = file->doc.DeleteSection(section);
  } else if (!value) {
    changed = file->doc.DeleteKey(section, key);
  } else {
    changed = file->doc.Set(section, key, value);
  }
  // Windows leaves an empty file behind even when a delete found nothing.
  if (changed || (!on_disk && !file->dirty)) file->dirty = true;
  return 1;
}

std::int32_t Machine::GetComputerNameA(char* buffer, std::uint32_t* size) {
  if (!size) {
    impl_->last_error = win32::kInvalidParameter;
    return 0;
  }
  const std::string& name = impl_->settings.computer_name;
  if (*size <= name.size()) {
    *size = static_cast<std::uint32_t>(name.size() + 1);
    impl_->last_error = win32::kBufferOverflow;
    return 0;
  }
  if (!buffer) {
    impl_->last_error = win32::kInvalidParameter;
    return 0;
  }
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *size = static_cast<std::uint32_t>(name.size());
  return 1;
}

std::uint32_t Machine::GetLastError() const { return impl_->last_error; }

std::int32_t Machine::MessageBoxOk(const std::string& text, const std::string& caption) {
  impl_->message_boxes.push_back({text, caption});
  if (impl_->presenter) impl_->presenter(impl_->message_boxes.back());
  return 1;
}

Status Machine::AppendLine(const std::string& file_name, const std::string& line) {
  fs::path path;
  try {
    path = impl_->Map(file_name);
  } catch (const PathError& error) {
    return error.code();
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return errno == EISDIR ? win32::kAccessDenied : ErrnoToWin32(errno);
  const bool written = WriteAll(fd, line + "\r\n");
  const int error = errno;
  if (::close(fd) != 0 || !written) return ErrnoToWin32(written ? errno : error);
  return win32::kSuccess;
}

Status Machine::RegQueryValueExA(HKey key, const char* value_name, std::uint32_t* type, std::uint8_t* data,
                                 std::uint32_t* size) {
  return impl_->registry.QueryValue(key, value_name, type, data, size);
}

Status Machine::RegEnumValueA(HKey key, std::uint32_t index, char* name, std::uint32_t* name_size,
                              std::uint32_t* type, std::uint8_t* data, std::uint32_t* data_size) {
  return impl_->registry.EnumValue(key, index, name, name_size, type, data, data_size);
}

}  // namespace qvi::emu
