#include "emu/profile.h"

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

constexpr std::string_view kUtf16Mark = "\xFF\xFE";

// UTF-16LE code units to UTF-8. A surrogate without its pair is kept as a
// three-byte sequence of its own, so the text converts back unchanged.
std::string Utf16ToUtf8(std::string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  const auto unit = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(utf16[i]) |
                                      (static_cast<unsigned char>(utf16[i + 1]) << 8));
  };
  for (std::size_t i = 0; i + 1 < utf16.size(); i += 2) {
    std::uint32_t cp = unit(i);
    if (cp >= 0xD800 && cp < 0xDC00 && i + 3 < utf16.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::string Utf8ToUtf16(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() * 2);
  const auto put = [&](std::uint32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  };
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    std::uint32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
    for (std::size_t k = 1; k <= extra && i + k < utf8.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
    i += extra + 1;
  }
  return out;
}

// An argument of the ANSI functions as the document of `file` holds text.
std::string ForDocument(const char* text, bool unicode) {
  return unicode ? code_page::ToUtf8(text) : std::string(text);
}

// Text of the document of `file` as the ANSI functions give it.
std::string FromDocument(std::string_view text, bool unicode) {
  if (!unicode) return std::string(text);
  std::string ansi;
  code_page::FromUtf8(text, ansi, '?');
  return ansi;
}

std::vector<std::string> FromDocument(std::vector<std::string> names, bool unicode) {
  for (std::string& name : names) name = FromDocument(name, unicode);
  return names;
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
    std::error_code ec;
    const auto status = fs::symlink_status(file.host_path, ec);
    // A pipe or a device in place of an INI file would block or never end.
    if (!now.exists && fs::exists(status) && !fs::is_directory(status)) {
      files_.erase(it);
      throw MachineError(host + ": not a regular file");
    }
    if (now.exists) {
      if (auto read = ReadWholeFile(file.host_path, kMaxFileBytes)) bytes = std::move(*read);
    }
    file.unicode = bytes.starts_with(kUtf16Mark);
    file.doc = IniDocument(file.unicode ? Utf16ToUtf8(std::string_view(bytes).substr(kUtf16Mark.size())) : bytes);
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
  bool unicode = false;
  if (file_name && file_name[0] == '\0') {
    last_error_ = win32::kFileNotFound;
  } else {
    try {
      const File& file = Find(file_name ? file_name : "win.ini");
      doc = &file.doc;
      unicode = file.unicode;
    } catch (const PathError& error) {
      last_error_ = static_cast<std::uint32_t>(error.code());
    } catch (const MachineError&) {
      last_error_ = win32::kAccessDenied;
    }
  }
  if (!section) return CopyList(FromDocument(doc->SectionNames(), unicode), buffer, size, true);
  if (!key) return CopyList(FromDocument(doc->KeyNames(ForDocument(section, unicode)), unicode), buffer, size, false);
  std::uint32_t copied = 0;
  if (const auto value = doc->Value(ForDocument(section, unicode), ForDocument(key, unicode))) {
    CopyTruncated(FromDocument(*value, unicode), buffer, size, copied);
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
  // The file is line-based: a line break would come back as other lines than
  // were written, and the next write of the key would cut them off. Refused
  // as the registry store refuses such names.
  for (const char* text : {section, key, value}) {
    if (text && std::strpbrk(text, "\r\n")) {
      last_error_ = win32::kInvalidParameter;
      return 0;
    }
  }
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
  const std::string text_section = ForDocument(section, file->unicode);
  if (!key) {
    changed = file->doc.DeleteSection(text_section);
  } else if (!value) {
    changed = file->doc.DeleteKey(text_section, ForDocument(key, file->unicode));
  } else {
    changed = file->doc.Set(text_section, ForDocument(key, file->unicode), ForDocument(value, file->unicode));
  }
  // Windows leaves an empty file behind even when a delete found nothing.
  if (changed || (!on_disk && !file->dirty)) file->dirty = true;
  return 1;
}

std::vector<PendingFile> ProfileFiles::PendingFiles() const {
  std::vector<PendingFile> pending;
  for (const auto& [host, file] : files_) {
    if (!file.dirty) continue;
    pending.push_back(
        {file.host_path, file.unicode ? std::string(kUtf16Mark) + Utf8ToUtf16(file.doc.bytes()) : file.doc.bytes(), {}});
  }
  return pending;
}

void ProfileFiles::MarkSaved() {
  for (auto& [host, file] : files_) {
    if (!file.dirty) continue;
    file.stamp = StampOf(file.host_path);
    file.dirty = false;
  }
}

}  // namespace qvi::emu
