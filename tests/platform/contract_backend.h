// What the platform contract suite needs from a backend: the seam itself, a
// scratch folder for INI files, and a way to look at and plant files behind
// the seam's back. Each backend supplies a factory in its own file and
// instantiates the suite with it.
#pragma once

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "platform/platform.h"

namespace qvi::platform::contract {

class Backend {
 public:
  virtual ~Backend() = default;
  virtual Platform& platform() = 0;
  virtual RegistryReader& reader() = 0;
  // An existing, empty folder for INI files, as a Windows path without a
  // trailing backslash.
  virtual std::string scratch_folder() = 0;
  virtual std::string windows_directory() = 0;
  // Where a file of the machine lies for this test program.
  virtual std::filesystem::path HostPath(const std::string& windows_path) = 0;
  // Puts writes the machine holds back where another program sees them.
  virtual void Flush() {}

  // The bytes of a file as another program would see them right now;
  // nothing when it does not exist.
  std::optional<std::string> FileBytes(const std::string& windows_path) {
    Flush();
    std::ifstream in(HostPath(windows_path), std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void PutFile(const std::string& windows_path, const std::string& bytes) {
    std::ofstream(HostPath(windows_path), std::ios::binary) << bytes;
  }
  void RemoveFile(const std::string& windows_path) { std::filesystem::remove(HostPath(windows_path)); }
  // Whether the backend is Wine, which departs from Windows in a few places
  // the suite names; those checks are skipped there.
  virtual bool IsWine() const { return false; }
};

struct BackendFactory {
  std::string name;
  std::function<std::unique_ptr<Backend>()> make;
};

inline void PrintTo(const BackendFactory& factory, std::ostream* out) { *out << factory.name; }

}  // namespace qvi::platform::contract
