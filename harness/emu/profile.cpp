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

// A value, or a default, as the profile functions copy it: up to its first
// NUL, one pair of the same quote around it taken off, cut to the buffer.
// The closing quote is taken off the copy, so a quoted text that fits only
// without that quote loses its last character too; Windows documents no
// such case, and this is what Wine does.
std::uint32_t CopyEntry(std::string_view text, char* buffer, std::uint32_t size, bool unquote) {
  text = text.substr(0, text.find('\0'));
  const bool quoted = unquote && text.size() > 1 && (text.front() == '"' || text.front() == '\'') &&
                      text.back() == text.front();
  if (quoted) {
    text.remove_prefix(1);
    const bool closing_fits = size >= text.size();
    text = text.substr(0, std::min<std::size_t>(text.size(), size - 1));
    if (closing_fits && !text.empty()) text.remove_suffix(1);
  }
  std::uint32_t copied = 0;
  CopyTruncated(text, buffer, size, copied);
  return copied;
}

// A NUL-separated list with a final extra NUL. A list needs one byte more
// than that to count as fitting, as section names do on Windows; one that
// does not fit is cut to size - 2 bytes and ends in two NULs. No names at
// all is a single NUL.
std::uint32_t CopyList(const std::vector<std::string>& names, char* buffer, std::uint32_t size) {
  std::string list;
  for (const std::string& name : names) {
    list.append(name);
    list.push_back('\0');
  }
  const std::size_t needed = list.size() + 2;
  if (list.empty()) {
    buffer[0] = '\0';
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

void ProfileFiles::NoteFault(const MachineError& error) {
  if (!host_fault_ && dynamic_cast<const HostFault*>(&error)) host_fault_ = error.what();
}

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
    // Neither there nor missing: the host would not say (a folder on the
    // way it will not let this user search).
    if (status.type() == fs::file_type::none) {
      files_.erase(it);
      throw HostFault(host + ": cannot read: " + ec.message());
    }
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
  // its letter case; find it among the pending ones, even when this spelling
  // was read before it was written.
  for (const auto& [pending, file] : files_) {
    if (file.dirty && !file.stamp.exists && code_page::EqualsNoCase(pending, host)) {
      host = pending;
      break;
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
  // Whether the file could be opened: it exists, or could be made where it
  // is named.
  bool opened = false;
  if (file_name && file_name[0] == '\0') {
    last_error_ = win32::kFileNotFound;
  } else {
    try {
      const File& file = Find(file_name ? file_name : "win.ini");
      doc = &file.doc;
      unicode = file.unicode;
      std::error_code ec;
      opened = file.stamp.exists || file.dirty || fs::is_directory(file.host_path.parent_path(), ec);
    } catch (const PathError& error) {
      last_error_ = static_cast<std::uint32_t>(error.code());
    } catch (const MachineError& error) {
      NoteFault(error);
      last_error_ = win32::kAccessDenied;
    }
  }
  if (!section) {
    // A section without a name ("[]") is not listed.
    auto names = FromDocument(doc->ListedSectionNames(), unicode);
    std::erase(names, std::string());
    return CopyList(names, buffer, size);
  }
  std::string_view fallback = default_value ? std::string_view(default_value) : std::string_view();
  std::uint32_t copied = 0;
  if (!key) {
    // A list that reads as empty (no keys, a first key without a name, a
    // buffer too small for any) gives the default instead, untrimmed. The
    // section is named here as given: blanks around it find no header.
    const std::string name = ForDocument(section, unicode);
    const auto names = TrimIniBlanks(name) == name ? FromDocument(doc->ListedKeyNames(name), unicode)
                                                    : std::vector<std::string>{};
    // Listed aside first: a default in its place leaves the bytes past it
    // as they were.
    std::string list(buffer, size);
    const std::uint32_t listed = CopyList(names, list.data(), size);
    if (list[0] == '\0') return CopyEntry(fallback, buffer, size, true);
    std::memcpy(buffer, list.data(), size);
    return listed;
  }
  if (const auto value = doc->RawValue(ForDocument(section, unicode), ForDocument(key, unicode))) {
    return CopyEntry(FromDocument(*value, unicode), buffer, size, true);
  }
  while (!fallback.empty() && fallback.back() == ' ') fallback.remove_suffix(1);
  // A file that cannot be opened gives the default as it is, quotes and all.
  copied = CopyEntry(fallback, buffer, size, opened);
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
  File* file = nullptr;
  try {
    file = &Find(file_name ? file_name : "win.ini");
  } catch (const PathError& error) {
    last_error_ = static_cast<std::uint32_t>(error.code());
    return 0;
  } catch (const MachineError& error) {
    NoteFault(error);
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
  // The file is opened before the section is looked at: a path that leads
  // nowhere is the error a null section gets.
  if (!section) {
    last_error_ = win32::kFileNotFound;
    return 0;
  }
  bool changed = false;
  const std::string text_section = ForDocument(section, file->unicode);
  // A delete names its section and key as given: blanks around either find
  // nothing, where a write trims them.
  const auto as_given = [](std::string_view name) { return TrimIniBlanks(name) == name; };
  if (!key) {
    changed = as_given(text_section) && file->doc.DeleteSection(text_section);
  } else if (!value) {
    changed = as_given(text_section) && as_given(key) && file->doc.DeleteKey(text_section, ForDocument(key, file->unicode));
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
