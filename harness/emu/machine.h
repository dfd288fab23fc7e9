// An emulated Windows machine kept in a folder, as a platform backend.
//
// Layout of the folder:
//   machine.ini     settings: [Machine] ComputerName, WindowsDirectory, CodePage
//   registry.reg    HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, REGEDIT4 text
//   registry.log    registry changes since registry.reg was written whole
//   registry.img    registry.reg's binary image, read a key at a time
//                   (registry_image.h); made again when it does not fit
//   drive_c/ ...    one folder per drive, as in a Wine prefix
//   .lock           held while the machine is open: one run at a time
//
// The registry lives in memory while the machine is open and reaches the disk
// only through Save(); a run that fails halfway leaves the store as it was at
// the last save. INI writes are held the same way: the file is edited in
// memory (reads see the pending edit) and written by Save(). One Save() is one
// commit (save_journal.h): registry.reg and every INI file it writes change
// together, and a process killed at any moment leaves the machine, once it is
// opened again, as after some whole save. So the machine folder changes only
// at Save() (or at Open() of a new machine), and the destructor writes
// nothing. Log appends (AppendLine) are the exception: they reach the disk at
// once, since a log must outlive a crash.
//
// HKEY_CLASSES_ROOT is an alias of HKEY_LOCAL_MACHINE\SOFTWARE\Classes.
// Windows paths map into the folder as path_map.h says; INI files are kept as
// profile.h says.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emu/emu_types.h"
#include "emu/file_io.h"
#include "emu/registry_store.h"
#include "platform/platform.h"

namespace qvi::emu {

// Throws MachineError when `folder` holds files but none of a machine's own
// (machine.ini, registry.reg, drive_c): a machine made there would write its
// files among someone else's. An empty or absent folder passes.
void RefuseForeignFolder(const std::filesystem::path& folder);

class Machine final : public platform::Platform, public platform::RegistryReader {
 public:
  // Opens the machine in `folder` (created when absent). When the folder holds
  // no machine.ini yet, one is written from `create_with` (or the default
  // settings) with a drive_c folder and the Windows directory; otherwise
  // `create_with` is ignored. A save that was interrupted after its commit is
  // finished, and temporary files of saves that never committed are removed.
  // `durability` says whether saves are flushed to the disk; a machine that
  // is thrown away after its run needs only to survive its own process, and
  // with kDiscarded it never writes registry.reg or machine.ini at all.
  // Throws MachineError when a store or settings file is malformed (file:line),
  // too large or not a regular file, when a drive folder is a symbolic link, or
  // when the folder cannot be used or holds files but no machine
  // (RefuseForeignFolder).
  static std::unique_ptr<Machine> Open(const std::filesystem::path& folder,
                                       const std::optional<MachineSettings>& create_with = std::nullopt,
                                       Durability durability = Durability::kFlushed);
  // Opens the machine in `folder` only to read it: nothing is created,
  // recovered or written, so a read-only folder (a CI job's artifact) can be
  // compared. Shares the lock with copies and other readers, never with a
  // run. Throws MachineError when the folder holds no machine or a save that
  // was interrupted (which only Open finishes), or as Open does. Save() on
  // it throws.
  static std::unique_ptr<Machine> OpenToRead(const std::filesystem::path& folder);
  ~Machine() override;
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  const std::filesystem::path& folder() const;
  const MachineSettings& settings() const;
  // Whether the folder held no machine (neither machine.ini nor registry.reg)
  // when this open took its lock: decided under the lock, so a run that
  // finished meanwhile is never taken for an empty folder.
  bool fresh() const;

  // Writes the INI files with pending edits, then the registry when it
  // changed or has never been saved (never for a kDiscarded machine): its
  // changes appended to registry.log where StartRecording() lets them be
  // told (registry_log.h), else registry.reg whole with an empty log, and
  // then its image (which a machine read without one always wants). Files
  // are written atomically: a temporary file in the same folder, flushed,
  // then renamed over the old one. Throws MachineError; what was not yet
  // written stays pending. Throws HostFault, writing nothing, once the host
  // has failed to read or append a machine file that is there.
  void Save();

  // Places a whole file at `host_path` (inside a drive folder, as MapPath
  // gives it) with the next Save(), in the same commit.
  void WriteFileOnSave(const std::filesystem::path& host_path, std::string bytes);

  // The largest registry.reg and machine.ini that are read.
  static constexpr std::uint64_t kMaxRegistryBytes = 256u << 20;
  static constexpr std::uint64_t kMaxSettingsBytes = 64u << 10;

  // Maps a Windows path ("C:\WINNT\x.ini", "\\SRV1\C$\x", a bare name meaning
  // the Windows directory) to its place in the folder, matching existing
  // components whatever their letter case. Throws PathError for a path that
  // would leave the folder.
  std::filesystem::path MapPath(std::string_view windows_path) const;
  // The Windows path of a file inside a drive folder ("C:\WINNT\x.ini").
  std::string WindowsPathOf(const std::filesystem::path& host_path) const;

  // Every key of HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, parents before
  // children, subkeys in enumeration order.
  std::vector<RegistryKey> SnapshotRegistry() const;
  // The registry itself, e.g. to record what a run changes in it.
  RegistryStore& registry();
  // Starts the registry's recording (RegistryStore::StartRecording) and lets
  // the saves that follow append what it records to registry.log instead of
  // writing registry.reg whole.
  void StartRecording();
  // Applies a .reg text (REGEDIT4 or version 5.00) to the registry: keys and
  // values are created or replaced, [-KEY] sections delete trees. Throws
  // MachineError naming `source_name` and the line.
  void ImportReg(std::string_view reg_text, const std::string& source_name);
  // The registry as REGEDIT4 text, as Save() writes it.
  std::string ExportReg() const;

  // Message boxes shown so far, in order.
  const std::vector<MessageBoxRecord>& message_boxes() const;
  // Called for every message box after it is recorded, e.g. to show it on a
  // terminal and wait; none by default.
  void SetMessageBoxPresenter(std::function<void(const MessageBoxRecord&)> presenter);

  // platform::Platform. RegSetValueExA, like Windows, reads the byte just past
  // a string (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) whose last byte is not NUL,
  // to keep a terminator found there: that byte must be readable. Unlike
  // Windows, key and value names holding a line break are refused (87): the
  // store could not hold them.
  platform::Status RegCreateKeyA(platform::HKey key, const char* sub_key, platform::HKey* result) override;
  platform::Status RegSetValueExA(platform::HKey key, const char* value_name, std::uint32_t reserved,
                                  std::uint32_t type, const std::uint8_t* data, std::uint32_t size) override;
  platform::Status RegCloseKey(platform::HKey key) override;
  platform::Status RegOpenKeyExA(platform::HKey key, const char* sub_key, std::uint32_t options,
                                 std::uint32_t sam_desired, platform::HKey* result) override;
  platform::Status RegEnumKeyA(platform::HKey key, std::uint32_t index, char* name,
                               std::uint32_t name_size) override;
  platform::Status RegDeleteKeyA(platform::HKey key, const char* sub_key) override;
  platform::Status RegConnectRegistryA(const char* machine_name, platform::HKey key, platform::HKey* result) override;
  std::uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                         char* buffer, std::uint32_t size, const char* file_name) override;
  std::int32_t WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                          const char* file_name) override;
  std::int32_t GetComputerNameA(char* buffer, std::uint32_t* size) override;
  std::uint32_t GetLastError() const override;
  std::int32_t MessageBoxOk(const std::string& text, const std::string& caption) override;
  platform::Status AppendLine(const std::string& file_name, const std::string& line) override;

  // platform::RegistryReader
  platform::Status RegQueryValueExA(platform::HKey key, const char* value_name, std::uint32_t* type,
                                    std::uint8_t* data, std::uint32_t* size) override;
  platform::Status RegEnumValueA(platform::HKey key, std::uint32_t index, char* name, std::uint32_t* name_size,
                                 std::uint32_t* type, std::uint8_t* data, std::uint32_t* data_size) override;

 private:
  struct Impl;
  explicit Machine(std::unique_ptr<Impl> impl);
  // Reads the folder's machine under `lock` (or makes one in an unoccupied
  // folder): what Open and OpenToRead share once the folder may be read.
  static std::unique_ptr<Machine> Load(std::unique_ptr<FileLock> lock, const std::filesystem::path& folder,
                                       bool occupied, const std::optional<MachineSettings>& create_with,
                                       Durability durability);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qvi::emu
