// A kept machine whose registry.log is as large as asked, and the open that
// replays it: the figures behind "a large registry log is read a piece at a
// time" (scripts/bench-registry-log.sh).
//
//   qvi_registry_log_open make FOLDER REGISTRY_MB LOG_MB
//     registry.reg of about REGISTRY_MB (comment lines: they cost nothing to
//     keep) and a log of about LOG_MB of saves that set the same 1,000 values
//     again and again, so that what the store ends up holding stays small
//     and the open's memory is the log's own.
//   qvi_registry_log_open open FOLDER
//     opens it and prints the values the registry holds, or the refusal.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "emu/machine.h"
#include "emu/registry_log.h"

namespace {

namespace emu = qvi::emu;

int Make(const std::filesystem::path& folder, long registry_mb, long log_mb) {
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "machine.ini") << "[Machine]\r\nComputerName=BENCH\r\nWindowsDirectory=C:\\WINNT\r\n"
                                           "CodePage=1252\r\n";
  std::filesystem::create_directories(folder / "drive_c" / "WINNT");
  std::ofstream registry(folder / "registry.reg", std::ios::binary);
  registry << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench]\r\n";
  const std::string comment = "; " + std::string(1021, 'c') + "\r\n";
  for (long i = 0; i < registry_mb * 1024; ++i) registry << comment;
  std::ofstream log(folder / "registry.log", std::ios::binary);
  std::string bytes = emu::RegistryLogHeader();
  std::uint64_t size = bytes.size();
  log << bytes;
  std::vector<emu::LogOp> ops;
  for (int i = 0; i < 1000; ++i) {
    emu::LogOp op{emu::LogOp::Kind::kSetValue, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench", {}};
    op.value = {"v" + std::to_string(i), 1, std::vector<std::uint8_t>(64, 'x')};
    ops.push_back(std::move(op));
  }
  const std::string records = emu::EncodeLogOps(ops);
  while (size + records.size() + emu::EncodeLogCommit(0, 0).size() <= static_cast<std::uint64_t>(log_mb) << 20) {
    log << records << emu::EncodeLogCommit(size, static_cast<std::uint32_t>(ops.size()));
    size += records.size() + emu::EncodeLogCommit(0, 0).size();
  }
  std::printf("registry.log %llu bytes\n", static_cast<unsigned long long>(size));
  return 0;
}

int Open(const std::filesystem::path& folder) {
  try {
    const auto machine = emu::Machine::Open(folder, std::nullopt, emu::Durability::kProcessOnly);
    std::size_t values = 0;
    for (const auto& key : machine->SnapshotRegistry()) values += key.values.size();
    std::printf("opened: %zu values\n", values);
  } catch (const emu::MachineError& error) {
    std::printf("refused: %s\n", error.what());
  }
  std::fflush(stdout);
  std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[1] : "";
  if (mode == "make" && argc == 5) return Make(argv[2], std::atol(argv[3]), std::atol(argv[4]));
  if (mode == "open" && argc == 3) return Open(argv[2]);
  std::fprintf(stderr, "usage: %s make FOLDER REGISTRY_MB LOG_MB | open FOLDER\n", argv[0]);
  return 2;
}
