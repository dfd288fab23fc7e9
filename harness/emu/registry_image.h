// A binary image of registry.reg kept beside it (registry.img), so that a
// run on a kept machine reads the keys it touches instead of parsing the
// whole text. registry.reg stays the machine's truth and what other tools
// read: the image names the registry.reg it was made from (its size, time
// of last change and a digest of sampled bytes) and is used only while that
// file is unchanged. A copy that keeps the file's times (cp -a, a backup)
// keeps its image.
//
// Layout: a prologue (magic and version); the keys' records, subkeys before
// the key they are below; a trailer (the image's size, the registry.reg it
// mirrors, where the roots lie, its CRC-32). A record is its payload's
// length and CRC-32, then the payload: the key's values in creation order,
// then its subkeys in enumeration order, each with its name and where its
// subtree and its record begin. A key's subtree is its subkeys' subtrees one
// after another and then its own record, so every subtree is one range of
// the file nested in its parent's. Each record is checked when it is read
// (its CRC, every field in bounds, its subkeys' ranges tiling its subtree),
// so an image, damaged or made by hand, can describe nothing but a tree, and
// a record that fails is caught at the key that reaches it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "emu/file_io.h"
#include "emu/registry_store.h"

namespace qvi::emu {

inline constexpr const char* kRegistryImageFile = "registry.img";

// What an image says of the registry.reg it mirrors.
struct ImageSignature {
  std::uint64_t size = 0;
  std::int64_t modified_ns = 0;
  std::uint64_t sample = 0;  // a digest of the size and of pieces spread over the file
  bool operator==(const ImageSignature&) const = default;
};

// The signature of the registry.reg open in `file`, from its stamp and a
// few pieces of it read (about 48 KB, whatever its size).
ImageSignature SignatureOf(FileReader& file);

// Writes the image of `store`, which must hold what the registry.reg of
// `mirrors` holds, piece by piece. Throws MachineError when the store is too
// large for an image.
void WriteRegistryImage(const RegistryStore& store, const ImageSignature& mirrors, const PutPiece& put);

class RegistryImage final : public KeySource {
 public:
  // Reads registry.reg whole into a store: what the image falls back on once
  // a record of it fails its checks.
  using Fallback = std::function<std::unique_ptr<RegistryStore>()>;

  // The image at `path` when it is a regular file of this user that no one
  // else may write, made by this version for the registry.reg of
  // `registry`, and whole at both ends; otherwise null, with `why` saying
  // which of these it is not.
  static std::shared_ptr<RegistryImage> Open(const std::filesystem::path& path, const ImageSignature& registry,
                                             Fallback fallback, std::string& why);

  KeyRef hklm() const { return hklm_; }
  KeyRef hkcu() const { return hkcu_; }
  // What failed its checks since the image was opened, "" while nothing did:
  // such an image is to be made anew.
  const std::string& damage() const { return damage_; }

  bool Read(const KeyRef& ref, std::vector<RegistryValue>& values,
            std::vector<KeySource::Subkey>& subkeys) override;
  bool ReadPath(const std::string& path, std::vector<RegistryValue>& values,
                std::vector<KeySource::Subkey>& subkeys) override;
  void Damaged(const std::string& what) override;

 private:
  RegistryImage(std::unique_ptr<FileReader> file, std::filesystem::path path, Fallback fallback)
      : file_(std::move(file)), path_(std::move(path)), fallback_(std::move(fallback)) {}

  std::unique_ptr<FileReader> file_;
  std::filesystem::path path_;
  Fallback fallback_;
  std::uint32_t body_end_ = 0;
  KeyRef hklm_;
  KeyRef hkcu_;
  std::string damage_;
  std::unique_ptr<RegistryStore> whole_;  // registry.reg, once the image failed
  std::string record_;                     // the last record read
};

}  // namespace qvi::emu
