#include "emu/path_map.h"

#include <algorithm>
#include <system_error>
#include <utility>
#include <vector>

#include "emu/file_io.h"
#include "runtime/code_page.h"

namespace qvi::emu {

namespace fs = std::filesystem;
namespace win32 = platform::win32;

namespace {

bool IsBadPathChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' || c == '*';
}

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char DriveFolderLetter(char c) { return code_page::ToLower(c); }

// The ANSI functions take paths shorter than MAX_PATH, and a file system
// names of at most 255 bytes.
constexpr std::size_t kMaxPath = 260;
constexpr std::size_t kMaxName = 255;

// CON, NUL, COM1 ... name devices in every folder, with any extension.
bool IsDeviceName(std::string_view name) {
  const std::string base = code_page::Lower(name.substr(0, name.find('.')));
  if (base == "con" || base == "prn" || base == "aux" || base == "nul" || base == "conin$" || base == "conout$") {
    return true;
  }
  return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) && base[3] >= '1' && base[3] <= '9';
}

}  // namespace

PathMap::PathMap(fs::path folder, std::string computer_name, std::string windows_directory)
    : folder_(std::move(folder)),
      computer_name_(std::move(computer_name)),
      windows_directory_(std::move(windows_directory)) {}

fs::path PathMap::Map(std::string_view p) const {
  if (p.find('\0') != std::string_view::npos) throw PathError("path holds a NUL byte", win32::kBadPathName);
  if (p.empty()) throw PathError("empty path", win32::kPathNotFound);
  if (p.size() >= kMaxPath) {
    throw PathError("a path of " + std::to_string(p.size()) + " characters is too long", win32::kFilenameExcedRange);
  }
  if (p.front() == '/') {
    throw PathError("\"" + std::string(p) + "\" is not a Windows path", win32::kBadPathName);
  }
  std::string path(p);
  std::replace(path.begin(), path.end(), '/', '\\');
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
    if (!code_page::EqualsNoCase(server, computer_name_)) {
      throw PathError(quoted + ": unknown server \"" + std::string(server) + "\"", win32::kBadNetPath);
    }
    const std::string_view after = slash == std::string_view::npos ? std::string_view() : unc.substr(slash + 1);
    const std::size_t share_end = after.find('\\');
    const std::string_view share = after.substr(0, share_end);
    if (share.size() != 2 || !IsDriveLetter(share[0]) || share[1] != '$') {
      throw PathError(quoted + ": unknown share \"" + std::string(share) + "\"", win32::kBadNetName);
    }
    drive = DriveFolderLetter(share[0]);
    rest = share_end == std::string_view::npos ? std::string_view() : after.substr(share_end + 1);
  } else if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == ':') {
    if (path.size() > 2 && path[2] != '\\') {
      throw PathError(quoted + " is relative to a drive's current folder", win32::kBadPathName);
    }
    drive = DriveFolderLetter(path[0]);
    rest = std::string_view(path).substr(std::min<std::size_t>(3, path.size()));
  } else if (path.find('\\') == std::string::npos) {
    return Map(windows_directory_ + "\\" + path);
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
    if (std::any_of(name.begin(), name.end(), IsBadPathChar)) {
      throw PathError(quoted + " holds a character not allowed in a name", win32::kBadPathName);
    }
    if (name.size() > kMaxName) throw PathError(quoted + " holds a name over 255 bytes", win32::kFilenameExcedRange);
    // Windows drops trailing dots and blanks of a name.
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
    if (name.empty()) throw PathError(quoted + " holds a name made of dots", win32::kBadPathName);
    if (IsDeviceName(name)) throw PathError(quoted + " names a device", win32::kBadPathName);
    names.push_back(std::move(name));
  }
  return MapComponents(drive, names);
}

fs::path PathMap::MapComponents(char drive, const std::vector<std::string>& names) const {
  fs::path at = folder_ / (std::string("drive_") + drive);
  std::error_code ec;
  if (!fs::is_directory(at, ec)) {
    throw UnknownDriveError(code_page::ToUpper(drive));
  }
  bool exists = true;
  for (const std::string& name : names) {
    if (!exists) {
      at /= name;
      continue;
    }
    fs::path candidate = at / name;
    const auto status = fs::symlink_status(candidate, ec);
    bool link = fs::is_symlink(status);
    // A host that ignores letter case finds the name in any spelling: the
    // folder's own is taken then too, so one file never goes by two paths.
    if (!fs::exists(status) || kHostIgnoresCase) {
      candidate.clear();
      for (const FolderEntry& entry : ListFolder(at).value_or(std::vector<FolderEntry>{})) {
        if (code_page::EqualsNoCase(entry.name, name)) {
          candidate = at / entry.name;
          link = entry.kind == FolderEntry::Kind::kLink;
          break;
        }
      }
      if (candidate.empty()) {
        exists = false;
        at /= name;
        continue;
      }
    }
    if (link) {
      throw PathError("\"" + candidate.string() + "\" is a symbolic link and may lead out of the machine",
                      win32::kBadPathName);
    }
    at = candidate;
  }
  return at;
}

std::string PathMap::WindowsPathOf(const fs::path& host_path) const {
  std::error_code ec;
  const fs::path full = fs::absolute(host_path, ec).lexically_normal();
  const fs::path relative = full.lexically_relative(folder_);
  auto it = relative.begin();
  if (relative.empty() || it == relative.end()) throw PathError(host_path.string() + " is not inside the machine");
  const std::string drive = it->string();
  if (drive.size() != 7 || drive.rfind("drive_", 0) != 0 || !IsDriveLetter(drive[6])) {
    throw PathError(host_path.string() + " is not on a drive of the machine");
  }
  std::string out(1, code_page::ToUpper(drive[6]));
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

}  // namespace qvi::emu
