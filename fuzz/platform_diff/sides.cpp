// The two sides: the emulated machine, fresh for every sequence, and the real
// Win32 API of the machine the fuzzer runs on, confined to its sandbox keys
// and its scratch folder.
#include "fuzz/platform_diff/sides.h"

#include <windows.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace qvi::fuzz {

namespace fs = std::filesystem;

namespace {

void DeleteTree(platform::Platform& os, platform::HKey parent, const std::string& name) {
  platform::HKey key = platform::kNoKey;
  if (os.RegOpenKeyExA(parent, name.c_str(), 0, platform::kKeyAllAccess, &key) != platform::win32::kSuccess) return;
  char child[300];
  while (os.RegEnumKeyA(key, 0, child, sizeof child) == platform::win32::kSuccess) DeleteTree(os, key, child);
  os.RegCloseKey(key);
  os.RegDeleteKeyA(parent, name.c_str());
}

void WriteBytes(const fs::path& path, const Text& bytes) {
  if (!bytes) {
    fs::create_directory(path);
    return;
  }
  std::ofstream(path, std::ios::binary) << *bytes;
}

// Files and folders below `folder`, by their names relative to it.
void List(const fs::path& folder, Outcome& out) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::string relative = fs::relative(it->path(), folder).string();
    for (char& c : relative) {
      if (c == '/') c = '\\';
    }
    if (it->is_directory()) {
      out.folders.push_back(relative);
    } else {
      std::ifstream in(it->path(), std::ios::binary);
      out.files[relative] = std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
}

std::string ProcessTag() { return std::to_string(::GetCurrentProcessId()); }

}  // namespace

void RemoveSandbox(platform::Platform& os, const std::string& sandbox) {
  for (const platform::HKey root : {platform::kHkeyCurrentUser, platform::kHkeyLocalMachine}) {
    DeleteTree(os, root, sandbox);
  }
}

World MakeWorld() {
  // Names are compared and converted by code page 1252 on the emulated machine.
  if (::GetACP() != 1252) throw std::runtime_error("the ANSI code page is " + std::to_string(::GetACP()) + ", not 1252");
  World world;
  world.sandbox = "Software\\QviDiff-" + ProcessTag();
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof name;
  if (!::GetComputerNameA(name, &size)) throw std::runtime_error("no computer name");
  world.computer_name = name;
  char windows[MAX_PATH];
  const UINT length = ::GetWindowsDirectoryA(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) throw std::runtime_error("no Windows directory");
  world.windows_directory = windows;
  return world;
}

std::string ScratchBase() {
  const fs::path base = fs::temp_directory_path() / ("qvd" + ProcessTag());
  fs::create_directories(base);
  std::string path = base.string();
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

void RealSide::Begin(const World& world) {
  world_ = world;
  RemoveSandbox(platform_, world.sandbox);
  fs::remove_all(world.scratch);
  fs::create_directories(world.scratch);
}

void RealSide::Plant(const std::string& relative, const Text& bytes) {
  WriteBytes(fs::path(world_.scratch) / relative, bytes);
}

void RealSide::ListScratch(Outcome& out) { List(world_.scratch, out); }

void RealSide::End() {
  RemoveSandbox(platform_, world_.sandbox);
  std::error_code ec;
  fs::remove_all(world_.scratch, ec);
}

EmuSide::EmuSide() : folder_(fs::temp_directory_path() / ("qvd-emu" + ProcessTag())) {}

EmuSide::~EmuSide() {
  machine_.reset();
  std::error_code ec;
  fs::remove_all(folder_, ec);
}

void EmuSide::Begin(const World& world) {
  world_ = world;
  emu::MachineSettings settings;
  settings.computer_name = world.computer_name;
  settings.windows_directory = world.windows_directory;
  machine_ = emu::Machine::Open(folder_, settings, emu::Durability::kDiscarded);
  scratch_ = machine_->MapPath(world.scratch);
  fs::remove_all(scratch_);
  fs::create_directories(scratch_);
}

platform::Platform& EmuSide::os() { return *machine_; }
platform::RegistryReader& EmuSide::reader() { return *machine_; }

void EmuSide::Plant(const std::string& relative, const Text& bytes) {
  WriteBytes(machine_->MapPath(world_.scratch + "\\" + relative), bytes);
}

void EmuSide::ListScratch(Outcome& out) {
  // A save that fails is the emulated machine's fault, to be shrunk like
  // any other difference.
  try {
    machine_->Save();
  } catch (const emu::MachineError& error) {
    out.folders.push_back(std::string("(the save failed: ") + error.what() + ")");
  }
  List(scratch_, out);
}

void EmuSide::End() {
  machine_.reset();
  std::error_code ec;
  fs::remove_all(scratch_, ec);
}

}  // namespace qvi::fuzz
