#include "scenario/temp_machine.h"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#endif

#include "emu/file_io.h"

namespace qvi::scenario {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPrefix = "qvihost-";

int ThisProcess() {
#if defined(_WIN32)
  return static_cast<int>(::GetCurrentProcessId());
#else
  return static_cast<int>(::getpid());
#endif
}

// "qvihost-machine-1234-abc" -> 1234.
std::optional<int> ProcessOf(const std::string& name) {
  if (name.rfind(kPrefix, 0) != 0) return std::nullopt;
  const std::size_t dash = name.find('-', kPrefix.size());
  if (dash == std::string::npos) return std::nullopt;
  int pid = 0;
  const char* first = name.data() + dash + 1;
  const char* last = name.data() + name.size();
  const auto [end, ec] = std::from_chars(first, last, pid);
  if (ec != std::errc() || end == first || end == last || *end != '-' || pid <= 0) return std::nullopt;
  return pid;
}

bool ProcessIsGone(int pid, const fs::path& folder) {
#if defined(_WIN32)
  (void)pid;
  // Without a reliable liveness test across sessions, only a folder untouched
  // for a day counts as left behind.
  std::error_code ec;
  const auto modified = fs::last_write_time(folder, ec);
  return !ec && fs::file_time_type::clock::now() - modified > std::chrono::hours(24);
#else
  (void)folder;
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  // A killed process stays a zombie until its parent reaps it, holding
  // nothing any more.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && (line[close + 2] == 'Z' || line[close + 2] == 'X');
#endif
}

}  // namespace

fs::path TempMachineBase() {
#if !defined(_WIN32)
  // A machine thrown away at the end of the run has no business on a disk:
  // creating and deleting its files there costs journal writes and, on a
  // volume mounted with discard, a synchronous trim of every freed block
  // (docs/performance.md). A memory-backed folder with room to spare is used
  // instead, unless TMPDIR names a place.
  constexpr long kTmpfsMagic = 0x01021994;
  constexpr unsigned long long kEnoughRoom = 1ull << 30;
  const char* shm = "/dev/shm";
  struct statfs kind {};
  if (!std::getenv("TMPDIR") && ::statfs(shm, &kind) == 0 && static_cast<long>(kind.f_type) == kTmpfsMagic &&
      static_cast<unsigned long long>(kind.f_bavail) * static_cast<unsigned long long>(kind.f_frsize) >= kEnoughRoom &&
      ::access(shm, W_OK | X_OK) == 0) {
    return shm;
  }
#endif
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) throw emu::MachineError("no temporary directory: " + ec.message());
  return base;
}

int RemoveStaleTempMachines(const fs::path& base) {
  int removed = 0;
  for (const emu::FolderEntry& entry : emu::ListFolder(base).value_or(std::vector<emu::FolderEntry>{})) {
    const auto pid = ProcessOf(entry.name);
    if (!pid || *pid == ThisProcess() || entry.kind != emu::FolderEntry::Kind::kFolder) continue;
    const fs::path folder = base / entry.name;
    if (!ProcessIsGone(*pid, folder)) continue;
    // A machine somebody opened by its path is in use whatever its name; one
    // of another user, or a link in its place, is none of this run's.
    if (emu::RemoveUnlockedFolder(base, entry.name, ".lock")) ++removed;
  }
  return removed;
}

TempMachineFolder::TempMachineFolder(std::string_view purpose) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::error_code ec;
  const fs::path base = TempMachineBase();
  RemoveStaleTempMachines(base);
  // The letters need only make a taken name unlikely, since a name that is
  // taken is refused below; the clock's nanoseconds do that without the
  // processor queries a random device makes, which trap on a virtual machine.
  std::uint64_t state = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                        (static_cast<std::uint64_t>(ThisProcess()) << 40);
  const auto next = [&state] {  // splitmix64
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  };
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = std::string(kPrefix) + std::string(purpose) + "-" + std::to_string(ThisProcess()) + "-";
    for (int i = 0; i < 8; ++i) name += kLetters[next() % (sizeof kLetters - 1)];
    // Made here or refused, never an existing folder (not even one another
    // user prepared), and private: its files are the run's alone.
#if defined(_WIN32)
    const bool made = fs::create_directory(base / name, ec);
    if (!made && ec) break;
#else
    const bool made = ::mkdir((base / name).c_str(), 0700) == 0;
    if (!made && errno != EEXIST) {
      ec = std::error_code(errno, std::generic_category());
      break;
    }
#endif
    if (made) {
      path_ = base / name;
      return;
    }
  }
  throw emu::MachineError("cannot make a temporary machine under " + base.string() +
                          (ec ? ": " + ec.message() : std::string()));
}

TempMachineFolder::~TempMachineFolder() { emu::RemoveTree(path_); }

void CopyMachineFolder(const std::filesystem::path& from, const std::filesystem::path& to) {
  namespace fs = std::filesystem;
  // A run saving meanwhile would leave the copy half before its save and
  // half after it: the machine's lock, shared with other copies, keeps runs
  // out until the copy is made.
  std::optional<emu::FileLock> lock;
  if (fs::is_directory(from)) lock.emplace(from / ".lock", emu::FileLock::Mode::kShared);
  for (auto it = fs::recursive_directory_iterator(from); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path relative = it->path().lexically_relative(from);
    if (relative == ".lock") continue;
    if (fs::is_directory(it->symlink_status())) {
      fs::create_directory(to / relative);
    } else {
      fs::copy(it->path(), to / relative, fs::copy_options::copy_symlinks);
    }
  }
}

}  // namespace qvi::scenario
