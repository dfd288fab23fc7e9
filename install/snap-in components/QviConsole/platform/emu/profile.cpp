#include "platform/emu/profile.h"

#include <cstring>
#include <vector>

#include "runtime/code_page.h"

namespace qvi::emu {

namespace fs = std::filesystem;
namespace win32 = platform::win32;

namespace {

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

}  // namespace

ProfileFiles::File& ProfileFiles::Load(const std::string& host) {
  auto [it, added] = files_.try_emplace(host);
  File& file = it->second;
  if (added) file.host_path = host;
  if (file.dirty) return file;
  const FileStamp now = StampOf(file.host_path);
  if (added || !(now == file.stamp)) {
    std::string bytes;
    if (now.exists) {
      if (auto read = ReadWholeFile(file.host_path)) bytes = std::move(*read);
    }
    file.doc = IniDocument(std::move(bytes));
    file.stamp = now;
  }
  return file;
}

ProfileFiles::File& ProfileFiles::Find(const std::string& name) {
  if (const auto known = names_.find(name); known != names_.end()) {
    File& file = Load(known->second);
    // A file that is not there may now exist under another letter case.
    if (file.dirty || file.stamp.exists) return file;
  }
  std::string host = paths_.Map(name).string();
  // A file written but not yet saved is not on disk for the mapping to match
  // its letter case; find it among the pending ones.
  if (files_.count(host) == 0) {
    for (const auto& [pending, file] : files_) {
      if (file.dirty && !file.stamp.exists && code_page::EqualsNoCase(pending, host)) {
        host = pending;
        break;
      }
    }
  }
  names_[name] = host;
  return Load(host);
}

std::uint32_t ProfileFiles::GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                                     char* buffer, std::uint32_t size, const char* file_name) {
  if (size == 0) return 0;
  if (!buffer) {
    last_error_ = win32::kInvalidParameter;
    return 0;
  }
  static const IniDocument kEmpty;
  const IniDocument* doc = &kEmpty;
  if (file_name && file_name[0] == '\0') {
    last_error_ = win32::kFileNotFound;
  } else {
    try {
      doc = &Find(file_name ? file_name : "win.ini").doc;
    } catch (const PathError& error) {
      last_error_ = static_cast<std::uint32_t>(error.code());
    } catch (const MachineError&) {
      last_error_ = win32::kAccessDenied;
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
  last_error_ = win32::kFileNotFound;
  return copied;
}

std::int32_t ProfileFiles::WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                                      const char* file_name) {
  if (!section && !key && !value) return 1;  // a flush: writes are held until Save()
  if (file_name && file_name[0] == '\0') {
    last_error_ = win32::kAccessDenied;
    return 0;
  }
  if (!section) {
    last_error_ = win32::kFileNotFound;
    return 0;
  }
  File* file = nullptr;
  try {
    file = &Find(file_name ? file_name : "win.ini");
  } catch (const PathError& error) {
    last_error_ = static_cast<std::uint32_t>(error.code());
    return 0;
  } catch (const MachineError&) {
    last_error_ = win32::kAccessDenied;
    return 0;
  }
  const bool on_disk = file->stamp.exists;
  if (!on_disk && !file->dirty) {
    std::error_code ec;
    if (fs::is_directory(file->host_path, ec)) {
      last_error_ = win32::kAccessDenied;
      return 0;
    }
    if (!fs::is_directory(file->host_path.parent_path(), ec)) {
      last_error_ = win32::kPathNotFound;
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

void ProfileFiles::Save() {
  for (auto& [host, file] : files_) {
    if (!file.dirty) continue;
    AtomicWrite(file.host_path, file.doc.bytes());
    file.stamp = StampOf(file.host_path);
    file.dirty = false;
  }
}

}  // namespace qvi::emu
