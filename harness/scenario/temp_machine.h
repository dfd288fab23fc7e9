// Folders for machines that live only as long as one run.
#pragma once

#include <filesystem>
#include <string_view>

namespace qvi::scenario {

// Where temporary machines go: TMPDIR when set; else, on Linux, /dev/shm when
// it is memory-backed with at least 1 GB free; else the system's temporary
// directory. Throws emu::MachineError when there is none.
std::filesystem::path TempMachineBase();

// A fresh folder under TempMachineBase(), named after the process
// that made it ("qvihost-machine-1234-x7k2q9"), removed with its contents when
// the object goes. A killed run cannot remove its own, so each new one first
// removes those of processes that are gone and whose machine is not locked.
class TempMachineFolder {
 public:
  // Throws emu::MachineError when no folder can be made.
  explicit TempMachineFolder(std::string_view purpose = "machine");
  ~TempMachineFolder();
  TempMachineFolder(const TempMachineFolder&) = delete;
  TempMachineFolder& operator=(const TempMachineFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Removes the temporary machines in `base` left by processes that no longer
// run. Returns how many were removed.
int RemoveStaleTempMachines(const std::filesystem::path& base);

// Copies every file and folder of the machine in `from` but its lock into
// the empty folder `to`, links as links: runs that must leave a machine as
// it is (test, matrix) start from such a copy. Holds the machine's lock,
// shared with other copies, while it copies: throws emu::MachineError when a
// run has the machine open, and a run cannot open it meanwhile.
void CopyMachineFolder(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace qvi::scenario
