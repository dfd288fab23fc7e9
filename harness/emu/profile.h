// The profile functions of the emulated machine over its INI files.
//
// Each file is held as an IniDocument, cached per file and checked against
// the file's stamp on every read, so an edit made outside the machine shows at
// the next read as it would on Windows. Writes edit the document in memory
// (reads see them at once) and reach the disk only through Save(); a file
// with pending edits is not read again, and Save() replaces any outside edit.
//
// A file that begins with the UTF-16LE byte-order mark is a Unicode file, as
// on Windows: read and written as UTF-16, whatever the ANSI functions are
// given, so one file never mixes two encodings. A UTF-8 byte-order mark is
// not recognised, also as on Windows: it is part of the first line, which
// then names no section.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "emu/file_io.h"
#include "emu/ini_document.h"
#include "emu/path_map.h"
#include "emu/save_journal.h"

namespace qvi::emu {

// UTF-16LE code units (no mark) to UTF-8 and back, as a Unicode INI file is
// read and written. A surrogate without its pair converts back unchanged.
std::string Utf16ToUtf8(std::string_view utf16);
std::string Utf8ToUtf16(std::string_view utf8);

class ProfileFiles {
 public:
  // `last_error` is the machine's thread error, set when a call fails.
  ProfileFiles(const PathMap& paths, std::uint32_t& last_error) : paths_(paths), last_error_(last_error) {}

  // Same contract as the Win32 functions (ANSI forms), except that a
  // section, key or value holding CR or LF is refused with
  // ERROR_INVALID_PARAMETER: a line-based file cannot hold it.
  std::uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                         char* buffer, std::uint32_t size, const char* file_name);
  std::int32_t WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                          const char* file_name);

  // The files with pending edits, as their bytes are to be written.
  std::vector<PendingFile> PendingFiles() const;
  // Called once PendingFiles() are on the disk: they are no longer pending.
  void MarkSaved();

  // The first file the host failed to read (HostFault), which the snap-in
  // was told was unreadable; the machine's next save refuses to go on.
  const std::optional<std::string>& host_fault() const { return host_fault_; }

  // INI files larger than this are refused as unreadable (access denied).
  static constexpr std::uint64_t kMaxFileBytes = 32u << 20;

 private:
  struct File {
    std::filesystem::path host_path;
    FileStamp stamp;  // of the disk file the document was read from
    IniDocument doc;    // UTF-8 text for a Unicode file, else the file's bytes
    bool unicode = false;
    bool dirty = false;
  };

  // The file a Windows name stands for, read or re-read as needed. Throws
  // PathError for a name outside the machine, MachineError when unreadable.
  File& Find(const std::string& name);
  File& Load(const std::string& host);

  const PathMap& paths_;
  std::uint32_t& last_error_;
  std::unordered_map<std::string, std::string> names_;  // name as given -> host path
  std::unordered_map<std::string, File> files_;         // host path -> file
  std::optional<std::string> host_fault_;
  void NoteFault(const MachineError& error);
};

}  // namespace qvi::emu
