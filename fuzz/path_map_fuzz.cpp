// No Windows path maps outside the machine folder or through a link, and a
// path that maps into a drive reads back as a Windows path that maps to the
// same place.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include <unistd.h>

#include "emu/path_map.h"

namespace {

namespace fs = std::filesystem;

// A machine folder with a few folders in mixed letter case and a link out:
//   machine/drive_c/WINNT/System32
//   machine/drive_c/Program Files
//   machine/drive_c/out -> outside
//   machine/drive_d/
//   outside/
struct MachineFolder {
  MachineFolder() : root(fs::temp_directory_path() / ("qvi-fuzz-paths-" + std::to_string(::getpid()))) {
    fs::create_directories(root / "machine" / "drive_c" / "WINNT" / "System32");
    fs::create_directories(root / "machine" / "drive_c" / "Program Files");
    fs::create_directories(root / "machine" / "drive_d");
    fs::create_directories(root / "outside");
    std::error_code ignored;
    fs::create_directory_symlink(root / "outside", root / "machine" / "drive_c" / "out", ignored);
  }
  ~MachineFolder() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
  fs::path root;
};

fs::path Folder() {
  static const MachineFolder folder;
  return folder.root / "machine";
}

void CheckInside(const fs::path& mapped) {
  const fs::path relative = mapped.lexically_relative(Folder());
  if (relative.empty() || mapped.lexically_normal() != mapped) std::abort();
  fs::path at = Folder();
  for (const auto& part : relative) {
    if (part == ".." || part == "." || part.empty()) std::abort();
    at /= part;
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(at, ec))) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qvi::emu::PathMap map(Folder(), "SRV1", "C:\\WINNT");
  const std::string_view path(reinterpret_cast<const char*>(data), size);
  fs::path mapped;
  try {
    mapped = map.Map(path);
  } catch (const qvi::emu::PathError&) {
    return 0;
  }
  CheckInside(mapped);
  const std::string windows = map.WindowsPathOf(mapped);
  if (map.Map(windows) != mapped) std::abort();
  return 0;
}
