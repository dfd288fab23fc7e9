#include "emu/machine.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <system_error>
#include <utility>

#include "emu/file_io.h"
#include "emu/huge_page_heap.h"
#include "emu/path_map.h"
#include "emu/profile.h"
#include "emu/reg_text.h"
#include "emu/registry_image.h"
#include "emu/registry_log.h"
#include "emu/registry_store.h"
#include "emu/save_journal.h"
#include "emu/settings.h"
#include "runtime/code_page.h"

namespace qvi::emu {

namespace fs = std::filesystem;
using platform::HKey;
using platform::Status;
namespace win32 = platform::win32;

namespace {

constexpr const char* kSettingsFile = "machine.ini";
constexpr const char* kRegistryFile = "registry.reg";
constexpr const char* kLockFile = ".lock";

fs::path DriveFolder(const fs::path& folder, char letter) {
  return folder / (std::string("drive_") + code_page::ToLower(letter));
}

// A drive folder that is a link would put the machine's files wherever it
// points. Answers whether the folder holds anything but the lock: an empty
// one has no earlier save to finish or clear away.
bool RefuseLinkedDrives(const fs::path& folder) {
  const auto entries = ListFolder(folder);
  // Unchecked, a drive folder could lead anywhere.
  if (!entries) throw MachineError(folder.string() + ": the machine folder cannot be listed");
  bool occupied = false;
  for (const FolderEntry& entry : *entries) {
    if (entry.name != kLockFile) occupied = true;
    if (entry.name.rfind("drive_", 0) == 0 && entry.kind == FolderEntry::Kind::kLink) {
      throw MachineError((folder / entry.name).string() +
                         ": a drive folder that is a symbolic link may lead out of the machine");
    }
  }
  return occupied;
}

}  // namespace

// A machine made here has made its drive C first, before anything else.
void RefuseForeignFolder(const fs::path& folder) {
  const auto entries = ListFolder(folder);
  if (!entries) return;  // RefuseLinkedDrives tells, under the lock
  bool occupied = false;
  for (const FolderEntry& entry : *entries) {
    if (entry.name == kSettingsFile || entry.name == kRegistryFile || entry.name == "drive_c") return;
    if (entry.name != kLockFile) occupied = true;
  }
  if (occupied) {
    throw MachineError(folder.string() +
                       ": holds files but no machine (no machine.ini, registry.reg or drive_c); name an empty or new "
                       "folder to make a machine in");
  }
}

struct Machine::Impl {
  Impl(std::unique_ptr<FileLock> held, fs::path folder, MachineSettings s, Durability d)
      : lock(std::move(held)),
        durability(d),
        settings(std::move(s)),
        paths(std::move(folder), settings.computer_name, settings.windows_directory) {}

  std::unique_ptr<FileLock> lock;
  Durability durability;
  MachineSettings settings;
  PathMap paths;
  RegistryStore registry;
  std::uint32_t last_error = 0;
  ProfileFiles profiles{paths, last_error};
  std::vector<MessageBoxRecord> message_boxes;
  std::function<void(const MessageBoxRecord&)> presenter;
  std::map<fs::path, std::string> files_on_save;
  // Whether the folder held no machine when the lock was taken.
  bool fresh = false;
  // Opened by OpenToRead: nothing of it is ever written.
  bool read_only = false;
  // The first debug-log append the host failed (HostFault).
  std::optional<std::string> append_fault;
  // Whether registry.reg holds the store as last saved; machine.ini is
  // written when the machine is made, and never changes after.
  bool registry_saved = false;
  // registry.reg's size, and how much of registry.log counts (0: no log).
  std::uint64_t registry_bytes = 0;
  std::uint64_t log_bytes = 0;
  // The store's recording that tells every change since the last save (0:
  // none does, and the next save writes registry.reg whole), and the keys it
  // recorded as the log last left them, by folded path.
  std::uint32_t log_round = 0;
  std::unordered_map<std::string, LoggedKey> logged;
  // The image the registry is read from, if any, and why there is none that
  // can be used ("" when there is).
  std::shared_ptr<RegistryImage> image;
  std::string image_missing;

  // Whether the next save makes registry.img anew, and with it registry.reg
  // whole: the image mirrors registry.reg alone, and what the log adds to
  // it is only in the store.
  bool ImageWanted() const {
    return durability != Durability::kDiscarded && (!image_missing.empty() || (image && !image->damage().empty()));
  }
  // Reads the registry of registry.reg (open in `file`): through its image
  // when one mirrors it, else whole.
  void ReadRegistry(FileReader& file, const fs::path& registry_path);
  // Writes registry.img for the registry.reg just written whole; an image
  // that cannot be written is removed, to be made again by a later save.
  void WriteImage(const fs::path& registry_path);

  // What a save appends to registry.log, or nothing when registry.reg is to
  // be written whole: no log yet, changes the recording cannot tell, or a log
  // grown past a quarter of registry.reg.
  // `recorded` is the store's RecordedKeys(), left as it was given.
  std::optional<LogAppend> LogChanges(const fs::path& log_path,
                                      std::vector<RegistryStore::RecordedKey>& recorded) const;
  // Takes the recorded keys as the disk now holds them.
  void MarkLogged(std::vector<RegistryStore::RecordedKey> recorded);
};

std::optional<LogAppend> Machine::Impl::LogChanges(const fs::path& log_path,
                                                   std::vector<RegistryStore::RecordedKey>& recorded) const {
  if (durability == Durability::kDiscarded || !registry_saved || log_bytes == 0 || log_round == 0 ||
      registry.recording_round() != log_round || ImageWanted()) {
    return std::nullopt;
  }
  std::vector<LogOp> deletions, changes;
  std::unordered_set<std::string> seen;
  for (RegistryStore::RecordedKey& key : recorded) {
    const std::string folded = code_page::Lower(key.path_then);
    seen.insert(folded);
    // Lent to the log's terms and given back: the keys are not copied again.
    LoggedKey now{key.exists, std::move(key.path_now), std::move(key.values_now)};
    if (const auto was = logged.find(folded); was != logged.end()) {
      LogOpsForKey(was->second, now, deletions, changes);
    } else {
      LoggedKey then{key.existed, std::move(key.path_then), std::move(key.values_then)};
      LogOpsForKey(then, now, deletions, changes);
      key.path_then = std::move(then.path);
      key.values_then = std::move(then.values);
    }
    key.path_now = std::move(now.path);
    key.values_now = std::move(now.values);
  }
  // Made and removed again since the recording began: left out of the
  // recorded keys, though the log holds them.
  for (const auto& [folded, then] : logged) {
    if (!seen.contains(folded) && then.exists) LogOpsForKey(then, {false, {}, {}}, deletions, changes);
  }
  // Parents before their subkeys, so each is made with its own spelling.
  std::stable_sort(changes.begin(), changes.end(), [](const LogOp& a, const LogOp& b) {
    return std::count(a.key.begin(), a.key.end(), '\\') < std::count(b.key.begin(), b.key.end(), '\\');
  });
  deletions.insert(deletions.end(), std::make_move_iterator(changes.begin()), std::make_move_iterator(changes.end()));
  std::string records = EncodeLogOps(deletions);
  // Past a quarter of registry.reg, replaying the log would cost more than
  // the rewrite saves.
  if (log_bytes + records.size() + kLogCommitBytes > MaxRegistryLogBytes(registry_bytes)) return std::nullopt;
  return LogAppend{log_path, log_bytes, std::move(records), static_cast<std::uint32_t>(deletions.size())};
}

void Machine::Impl::MarkLogged(std::vector<RegistryStore::RecordedKey> recorded) {
  log_round = registry.recording_round();
  if (log_round == 0) {
    logged.clear();
    return;
  }
  std::unordered_set<std::string> seen;
  for (RegistryStore::RecordedKey& key : recorded) {
    const std::string folded = code_page::Lower(key.path_then);
    seen.insert(folded);
    logged[folded] = {key.exists, std::move(key.path_now), std::move(key.values_now)};
  }
  for (auto& [folded, then] : logged) {
    if (!seen.contains(folded)) then = {};
  }
}

namespace {

// registry.reg parsed whole, a piece at a time, into huge pages.
void ReadWhole(RegistryStore& store, FileReader& file, const fs::path& registry_path) {
  HugePageHeap heap(file.size());
  ImportRegText(
      store,
      [&file, &heap](std::string& out) {
        heap.Advise();
        return file.ReadMore(out, 1 << 16);
      },
      registry_path.string());
}

}  // namespace

void Machine::Impl::ReadRegistry(FileReader& file, const fs::path& registry_path) {
  const fs::path image_path = paths.folder() / kRegistryImageFile;
  auto whole = [registry_path] {
    auto store = std::make_unique<RegistryStore>();
    FileReader again(registry_path, kMaxRegistryBytes);
    ReadWhole(*store, again, registry_path);
    return store;
  };
  image = RegistryImage::Open(image_path, SignatureOf(file), whole, image_missing);
  if (image) {
    registry.ReadFrom(image, image->hklm(), image->hkcu());
    return;
  }
  ReadWhole(registry, file, registry_path);
}

void Machine::Impl::WriteImage(const fs::path& registry_path) {
  const fs::path image_path = paths.folder() / kRegistryImageFile;
  try {
    FileReader written(registry_path, kMaxRegistryBytes);
    const ImageSignature signature = SignatureOf(written);
    AtomicWrite(
        image_path, [&](const PutPiece& put) { WriteRegistryImage(registry, signature, put); }, durability);
    image_missing.clear();
    image.reset();
  } catch (const std::runtime_error& error) {
    // Only a cache: the save stands, and the next open reads registry.reg.
    RemoveFile(image_path);
    image_missing = error.what();
  }
}

Machine::Machine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Machine::~Machine() = default;

std::unique_ptr<Machine> Machine::Open(const fs::path& where, const std::optional<MachineSettings>& create_with,
                                       Durability durability) {
  std::error_code ec;
  if (!fs::is_directory(where, ec)) {
    fs::create_directories(where, ec);
    if (!fs::is_directory(where, ec)) throw MachineError(where.string() + ": not a folder that can hold a machine");
  }
  fs::path folder = fs::absolute(where, ec).lexically_normal();
  if (folder.filename().empty()) folder = folder.parent_path();
  // A test hook, not a setting: QVIHOST_TEST_LOCK_DELAY_MS holds a run just
  // before it takes the lock, so that a test can let another run do its
  // whole work in between (tests/cli/check_concurrent_runs.sh).
  if (const char* delay = std::getenv("QVIHOST_TEST_LOCK_DELAY_MS")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::strtol(delay, nullptr, 10)));
  }
  // A folder of other files (a home folder, a project named by mistake) is
  // no machine to make: the machine's files would be written among them.
  // Checked before the lock, which would be the first file left there.
  RefuseForeignFolder(folder);
  // One run at a time: two that saved in turn would each lose the other's work.
  auto lock = std::make_unique<FileLock>(folder / kLockFile);
  // Held by the lock, a folder found empty stays so: it has no files to read.
  const bool occupied = RefuseLinkedDrives(folder);
  if (occupied) RecoverFolder(folder);
  return Load(std::move(lock), folder, occupied, create_with, durability);
}

std::unique_ptr<Machine> Machine::OpenToRead(const fs::path& where) {
  std::error_code ec;
  fs::path folder = fs::absolute(where, ec).lexically_normal();
  if (folder.filename().empty()) folder = folder.parent_path();
  if (!fs::is_regular_file(folder / kSettingsFile, ec)) throw MachineError(folder.string() + ": no machine there");
  // Shared with other readers and copies, never with a run: what is read is
  // one whole save.
  auto lock = std::make_unique<FileLock>(folder / kLockFile, FileLock::Mode::kShared);
  RefuseLinkedDrives(folder);
  // Finishing an interrupted save writes; reading around it would show the
  // machine half old, half new.
  if (fs::exists(folder / kJournalFile, ec) || ec) {
    throw MachineError(folder.string() + ": holds a save that was interrupted, which only a run on the machine " +
                       "(not a read) can finish");
  }
  auto machine = Load(std::move(lock), folder, true, std::nullopt, Durability::kDiscarded);
  machine->impl_->read_only = true;
  return machine;
}

std::unique_ptr<Machine> Machine::Load(std::unique_ptr<FileLock> lock, const fs::path& folder, bool occupied,
                                       const std::optional<MachineSettings>& create_with, Durability durability) {
  std::error_code ec;
  const fs::path settings_path = folder / kSettingsFile;
  const auto settings_text = occupied ? ReadWholeFile(settings_path, kMaxSettingsBytes) : std::nullopt;
  // Read before a new machine is made, so a store that is refused leaves the
  // folder untouched.
  const fs::path registry_path = folder / kRegistryFile;
  // Read a piece at a time below: a large store's text is never held whole.
  std::optional<FileReader> registry_file;
  if (occupied) registry_file.emplace(registry_path, kMaxRegistryBytes);
  const bool registry_exists = registry_file && registry_file->exists();
  MachineSettings settings;
  if (settings_text) {
    settings = ParseSettings(*settings_text, settings_path);
  } else {
    settings = create_with.value_or(MachineSettings{});
    ValidateSettings(settings, settings_path.string() + ": ");
  }
  auto impl = std::make_unique<Impl>(std::move(lock), folder, settings, durability);
  if (!settings_text) {
    const char windows_drive = code_page::ToLower(settings.windows_directory[0]);
    fs::create_directory(DriveFolder(folder, 'c'), ec);
    if (windows_drive != 'c') fs::create_directory(DriveFolder(folder, windows_drive), ec);
    const fs::path windows_dir = impl->paths.Map(settings.windows_directory);
    fs::create_directories(windows_dir, ec);
    if (ec) throw MachineError(windows_dir.string() + ": cannot create: " + ec.message());
    if (durability != Durability::kDiscarded) AtomicWrite(settings_path, SettingsText(settings), durability);
  }

  if (registry_exists) impl->ReadRegistry(*registry_file, registry_path);
  const fs::path log_path = folder / kRegistryLogFile;
  std::optional<FileReader> log;
  if (occupied) log.emplace(log_path, kMaxRegistryBytes);
  if (log && log->exists()) {
    // Larger than any the saves write: not read at all.
    const std::uint64_t most = MaxRegistryLogBytes(registry_exists ? registry_file->size() : 0);
    if (log->size() > most) {
      throw MachineError(log_path.string() + ": " + std::to_string(log->size()) +
                         " bytes, more than the saves ever write beside a registry.reg of " +
                         std::to_string(registry_exists ? registry_file->size() : 0) + " bytes (" +
                         std::to_string(most) + ")");
    }
    impl->log_bytes =
        ReplayRegistryLog(
            &impl->registry, [&log](std::string& out, std::size_t at_most) { return log->ReadMore(out, at_most); },
            log_path.string())
            .valid;
    // The tail of an append that never committed goes before anything is
    // appended after it.
    if (impl->log_bytes < log->size() && durability != Durability::kDiscarded) {
      WriteAt(log_path, impl->log_bytes, {}, durability);
    }
  }
  impl->registry_bytes = registry_exists ? registry_file->size() : 0;
  impl->registry.MarkClean();
  impl->registry_saved = registry_exists;
  impl->fresh = !settings_text && !registry_exists;
  return std::unique_ptr<Machine>(new Machine(std::move(impl)));
}

const fs::path& Machine::folder() const { return impl_->paths.folder(); }
const MachineSettings& Machine::settings() const { return impl_->settings; }
bool Machine::fresh() const { return impl_->fresh; }

void Machine::Save() {
  if (impl_->read_only) throw MachineError(folder().string() + ": opened only to be read; nothing is saved");
  // The snap-in was told a file it needs could not be read or written, which
  // Windows would not have said: nothing it did since is kept.
  if (const auto& fault = impl_->profiles.host_fault()) throw HostFault(*fault);
  if (impl_->append_fault) throw HostFault(*impl_->append_fault);
  // One commit for everything, each file once: an INI file the snap-in edited
  // wins over a whole file placed before.
  std::map<fs::path, std::string> files = impl_->files_on_save;
  for (PendingFile& file : impl_->profiles.PendingFiles()) files[file.target] = std::move(file.bytes);
  const fs::path registry_path = folder() / kRegistryFile;
  const bool registry = impl_->durability != Durability::kDiscarded &&
                        (impl_->registry.dirty() || !impl_->registry_saved || impl_->ImageWanted());

  std::vector<PendingFile> pending;
  for (auto& [path, bytes] : files) pending.push_back({path, std::move(bytes), {}});
  const fs::path log_path = folder() / kRegistryLogFile;
  // Copied out of the store once: the log is told from them, and they are
  // what the disk holds once saved.
  std::vector<RegistryStore::RecordedKey> recorded;
  if (registry && impl_->registry.recording_round() != 0) recorded = impl_->registry.RecordedKeys();
  const std::optional<LogAppend> log = registry ? impl_->LogChanges(log_path, recorded) : std::nullopt;
  std::uint64_t registry_bytes = 0;
  if (registry && !log) {
    // Written straight from the tree: the text of a large store would cost
    // as much memory again. The log starts empty in the same commit, so no
    // record of it is replayed over the store it is now part of.
    const RegistryStore& store = impl_->registry;
    pending.push_back({registry_path, {}, [&store, &registry_bytes](const PutPiece& put) {
                         ExportRegText(store, [&](std::string_view piece) {
                           registry_bytes += piece.size();
                           put(piece);
                         });
                       }});
    pending.push_back({log_path, RegistryLogHeader(), {}});
  }
  // A value set to what it held changes nothing to log.
  CommitFiles(folder(), pending, impl_->durability, log && log->count != 0 ? &*log : nullptr);
  if (log && log->count != 0) {
    impl_->log_bytes += log->records.size() + kLogCommitBytes;
  } else if (registry && !log) {
    impl_->registry_bytes = registry_bytes;
    impl_->log_bytes = RegistryLogHeader().size();
    impl_->WriteImage(registry_path);
  }
  impl_->registry_saved = true;
  impl_->files_on_save.clear();
  impl_->profiles.MarkSaved();
  if (registry) {
    impl_->registry.MarkClean();
    impl_->MarkLogged(std::move(recorded));
  }
}

void Machine::StartRecording() {
  impl_->registry.StartRecording();
  // Every change from here on is recorded: saves may log them instead of
  // writing registry.reg whole, once the store is as the disk holds it.
  if (impl_->registry_saved && !impl_->registry.dirty()) {
    impl_->log_round = impl_->registry.recording_round();
    impl_->logged.clear();
  }
}

void Machine::WriteFileOnSave(const fs::path& host_path, std::string bytes) {
  impl_->files_on_save[host_path] = std::move(bytes);
}

fs::path Machine::MapPath(std::string_view windows_path) const { return impl_->paths.Map(windows_path); }

std::string Machine::WindowsPathOf(const fs::path& host_path) const { return impl_->paths.WindowsPathOf(host_path); }

std::vector<RegistryKey> Machine::SnapshotRegistry() const { return impl_->registry.Snapshot(); }

RegistryStore& Machine::registry() { return impl_->registry; }

void Machine::ImportReg(std::string_view reg_text, const std::string& source_name) {
  ImportRegText(impl_->registry, reg_text, source_name);
}

std::string Machine::ExportReg() const { return ExportRegText(impl_->registry); }

const std::vector<MessageBoxRecord>& Machine::message_boxes() const { return impl_->message_boxes; }

void Machine::SetMessageBoxPresenter(std::function<void(const MessageBoxRecord&)> presenter) {
  impl_->presenter = std::move(presenter);
}

namespace {

// The ANSI registry calls convert a subkey path into a buffer of the
// thread's own, MAX_PATH + 1 characters long: a longer path does not fit,
// whatever key it is below, and leaves the result alone.
constexpr std::size_t kMaxAnsiSubKey = 260;

bool TooLongForAnsi(HKey key, const char* sub_key) {
  return key != platform::kNoKey && sub_key && std::strlen(sub_key) > kMaxAnsiSubKey;
}

}  // namespace

Status Machine::RegCreateKeyA(HKey key, const char* sub_key, HKey* result) {
  if (result && TooLongForAnsi(key, sub_key)) return win32::kMoreData;
  return impl_->registry.CreateKey(key, sub_key, result);
}

Status Machine::RegSetValueExA(HKey key, const char* value_name, std::uint32_t, std::uint32_t type,
                               const std::uint8_t* data, std::uint32_t size) {
  return impl_->registry.SetValue(key, value_name, type, data, size);
}

Status Machine::RegCloseKey(HKey key) { return impl_->registry.CloseKey(key); }

Status Machine::RegOpenKeyExA(HKey key, const char* sub_key, std::uint32_t, std::uint32_t sam_desired, HKey* result) {
  if (result && TooLongForAnsi(key, sub_key)) return win32::kMoreData;
  return impl_->registry.OpenKey(key, sub_key, result, sam_desired);
}

Status Machine::RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t name_size) {
  return impl_->registry.EnumKey(key, index, name, name_size);
}

Status Machine::RegDeleteKeyA(HKey key, const char* sub_key) {
  if (TooLongForAnsi(key, sub_key)) return win32::kMoreData;
  return impl_->registry.DeleteKey(key, sub_key);
}

Status Machine::RegConnectRegistryA(const char* machine_name, HKey key, HKey* result) {
  if (!result) return win32::kInvalidParameter;
  std::string_view name = machine_name ? std::string_view(machine_name) : std::string_view();
  // No name means this machine; two backslashes and nothing after them name
  // no machine at all.
  if (name.size() >= 2 && name[0] == '\\' && name[1] == '\\') {
    name.remove_prefix(2);
    if (name.empty()) return win32::kBadNetPath;
  }
  if (!name.empty() && !code_page::EqualsNoCase(name, impl_->settings.computer_name)) return win32::kBadNetPath;
  // The local registry is reached through the root itself, as opening the
  // root with no subkey gives it.
  return impl_->registry.OpenKey(key, nullptr, result);
}

std::uint32_t Machine::GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                                char* buffer, std::uint32_t size, const char* file_name) {
  return impl_->profiles.GetPrivateProfileStringA(section, key, default_value, buffer, size, file_name);
}

std::int32_t Machine::WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                                 const char* file_name) {
  return impl_->profiles.WritePrivateProfileStringA(section, key, value, file_name);
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
    path = impl_->paths.Map(file_name);
  } catch (const PathError& error) {
    return error.code();
  }
  try {
    return AppendToFile(path, line + "\r\n", impl_->durability);
  } catch (const HostFault& fault) {
    if (!impl_->append_fault) impl_->append_fault = fault.what();
    return win32::kAccessDenied;
  }
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
