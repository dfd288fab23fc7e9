// The emulated machine and the real Win32 API as sides of the comparison.
#pragma once

#include <filesystem>
#include <memory>

#include "emu/machine.h"
#include "fuzz/platform_diff/platform_diff.h"
#include "platform/win32/win32_platform.h"

namespace qvi::fuzz {

// The sandbox key names, the computer's name and its Windows directory;
// throws std::runtime_error when the ANSI code page is not 1252.
World MakeWorld();
// A folder of this process under the temporary folder, as a Windows path.
std::string ScratchBase();
// Deletes both sandbox trees.
void RemoveSandbox(platform::Platform& os, const std::string& sandbox);

class RealSide final : public Side {
 public:
  void Begin(const World& world) override;
  platform::Platform& os() override { return platform_; }
  platform::RegistryReader& reader() override { return platform_; }
  void Plant(const std::string& relative, const Text& bytes) override;
  void ListScratch(Outcome& out) override;
  void End() override;

 private:
  platform::win32api::Win32Platform platform_;
  World world_;
};

class EmuSide final : public Side {
 public:
  EmuSide();
  ~EmuSide() override;
  void Begin(const World& world) override;
  platform::Platform& os() override;
  platform::RegistryReader& reader() override;
  void Plant(const std::string& relative, const Text& bytes) override;
  void ListScratch(Outcome& out) override;
  void End() override;

 private:
  std::filesystem::path folder_;
  std::filesystem::path scratch_;
  World world_;
  std::unique_ptr<emu::Machine> machine_;
};

}  // namespace qvi::fuzz
