#include "emu/registry_image.h"

#include <algorithm>
#include <utility>

#include "emu/binary_fields.h"
#include "emu/digest.h"

namespace qvi::emu {

namespace {

constexpr std::string_view kMagic = "QVIRIMG\x1a";
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kPrologueBytes = 16;
constexpr std::uint32_t kTrailerBytes = 64;
// Twice the largest registry.reg read: every offset fits 32 bits.
constexpr std::uint64_t kMaxImageBytes = 512u << 20;

std::string Trailer(std::uint64_t image_size, const ImageSignature& mirrors, const KeyRef& hklm, const KeyRef& hkcu) {
  std::string out;
  PutInt(out, image_size, 8);
  PutInt(out, 0, 8);  // reserved
  PutInt(out, mirrors.size, 8);
  PutInt(out, static_cast<std::uint64_t>(mirrors.modified_ns), 8);
  PutInt(out, mirrors.sample, 8);
  PutInt(out, hklm.record, 4);
  PutInt(out, hkcu.start, 4);
  PutInt(out, hkcu.record, 4);
  PutInt(out, kVersion, 4);
  PutInt(out, 0, 4);
  PutInt(out, Crc32(out), 4);
  return out;
}

}  // namespace

ImageSignature SignatureOf(FileReader& file) {
  const std::uint64_t size = file.size();
  ImageSignature signature{size, file.stamp().modified_ns, 0};
  std::uint64_t digest = Digest(kDigestStart, std::string_view(reinterpret_cast<const char*>(&size), sizeof size));
  std::string piece;
  const auto take = [&](std::uint64_t offset, std::uint64_t length) {
    length = std::min(length, size - std::min(offset, size));
    if (length != 0 && file.ReadAt(offset, static_cast<std::size_t>(length), piece)) digest = Digest(digest, piece);
  };
  // Both ends, where an edit by hand most often lands, and thirty-two
  // pieces between them: an edit that keeps the size and the time stamp
  // (as a copy with its times kept may) is still likely to show.
  constexpr std::uint64_t kEnd = 8 << 10;
  take(0, kEnd);
  for (std::uint64_t i = 1; i <= 32; ++i) take(size / 33 * i, 1 << 10);
  take(size > kEnd ? size - kEnd : 0, kEnd);
  signature.sample = digest;
  return signature;
}

void WriteRegistryImage(const RegistryStore& store, const ImageSignature& mirrors, const PutPiece& put) {
  std::uint64_t offset = 0;
  std::string prologue(kMagic);
  PutInt(prologue, kVersion, 4);
  PutInt(prologue, 0, 4);
  put(prologue);
  offset += prologue.size();
  struct Placed {
    std::string name;
    KeyRef ref;
  };
  // The keys written whose parent is not yet: the last `subkeys` of them are
  // the subkeys of the key visited next.
  std::vector<Placed> placed;
  // Records go out a megabyte at a time: a write of each would cost a call
  // to the system per key.
  std::string payload, out;
  store.ForEachKeyChildrenFirst([&](const std::string& name, const std::vector<RegistryValue>& values,
                                    std::size_t subkeys) {
    payload.clear();
    PutInt(payload, values.size(), 4);
    for (const RegistryValue& value : values) {
      PutInt(payload, value.name.size(), 2);
      payload += value.name;
      PutInt(payload, value.type, 4);
      PutInt(payload, value.data.size(), 4);
      payload.append(reinterpret_cast<const char*>(value.data.data()), value.data.size());
    }
    PutInt(payload, subkeys, 4);
    const std::size_t first = placed.size() - subkeys;
    for (std::size_t i = first; i < placed.size(); ++i) {
      PutInt(payload, placed[i].name.size(), 2);
      payload += placed[i].name;
      PutInt(payload, placed[i].ref.start, 4);
      PutInt(payload, placed[i].ref.record, 4);
    }
    KeyRef ref;
    ref.record = static_cast<std::uint32_t>(offset);
    ref.start = subkeys != 0 ? placed[first].ref.start : ref.record;
    PutFramed(out, payload);
    offset += kFrameBytes + payload.size();
    if (out.size() >= (1u << 20)) {
      put(out);
      out.clear();
    }
    if (offset + kTrailerBytes > kMaxImageBytes) throw MachineError("the registry is too large for an image");
    placed.resize(first);
    placed.push_back({name, ref});
  });
  put(out);
  // The two roots, HKEY_LOCAL_MACHINE first.
  put(Trailer(offset + kTrailerBytes, mirrors, placed.at(0).ref, placed.at(1).ref));
}

std::shared_ptr<RegistryImage> RegistryImage::Open(const std::filesystem::path& path, const ImageSignature& registry,
                                                   Fallback fallback, std::string& why) {
  std::unique_ptr<FileReader> file;
  try {
    file = std::make_unique<FileReader>(path, kMaxImageBytes);
  } catch (const MachineError& error) {
    why = error.what();
    return nullptr;
  }
  if (!file->exists()) {
    why = "no image";
    return nullptr;
  }
  if (!file->trusted()) {
    why = "not a file of this user that only this user may write";
    return nullptr;
  }
  const std::uint64_t size = file->size();
  std::string prologue, trailer;
  if (size < kPrologueBytes + kTrailerBytes || !file->ReadAt(0, kPrologueBytes, prologue) ||
      !file->ReadAt(size - kTrailerBytes, kTrailerBytes, trailer)) {
    why = "cut short";
    return nullptr;
  }
  if (prologue.substr(0, kMagic.size()) != kMagic) {
    why = "not an image";
    return nullptr;
  }
  if (GetInt(prologue, 8, 4) != kVersion || GetInt(trailer, 52, 4) != kVersion) {
    why = "made by another version";
    return nullptr;
  }
  if (Crc32(std::string_view(trailer).substr(0, 60)) != GetInt(trailer, 60, 4) || GetInt(trailer, 0, 8) != size) {
    why = "damaged or cut short";
    return nullptr;
  }
  const ImageSignature mirrors{GetInt(trailer, 16, 8), static_cast<std::int64_t>(GetInt(trailer, 24, 8)),
                               GetInt(trailer, 32, 8)};
  if (!(mirrors == registry)) {
    why = "made for another registry.reg";
    return nullptr;
  }
  auto image = std::shared_ptr<RegistryImage>(new RegistryImage(std::move(file), path, std::move(fallback)));
  image->body_end_ = static_cast<std::uint32_t>(size - kTrailerBytes);
  const auto hklm_record = static_cast<std::uint32_t>(GetInt(trailer, 40, 4));
  const auto hkcu_start = static_cast<std::uint32_t>(GetInt(trailer, 44, 4));
  const auto hkcu_record = static_cast<std::uint32_t>(GetInt(trailer, 48, 4));
  image->hklm_ = {kPrologueBytes, hklm_record, hkcu_start};
  image->hkcu_ = {hkcu_start, hkcu_record, image->body_end_};
  // Whatever the two say is checked when their records are read.
  return image;
}

bool RegistryImage::Read(const KeyRef& ref, std::vector<RegistryValue>& values,
                         std::vector<KeySource::Subkey>& subkeys) {
  if (!damage_.empty()) return false;
  const auto fail = [&](const std::string& what) {
    Damaged("the key recorded at " + std::to_string(ref.record) + ": " + what);
    values.clear();
    subkeys.clear();
    return false;
  };
  if (!(kPrologueBytes <= ref.start && ref.start <= ref.record && ref.record < ref.end && ref.end <= body_end_ &&
        ref.end - ref.record >= kFrameBytes)) {
    return fail("out of its place");
  }
  if (!file_->ReadAt(ref.record, ref.end - ref.record, record_)) return fail("cut short");
  const std::string_view payload = std::string_view(record_).substr(kFrameBytes);
  if (GetInt(record_, 0, 4) != payload.size() || GetInt(record_, 4, 4) != Crc32(payload)) {
    return fail("fails its checksum");
  }
  Fields in{payload};
  const std::uint64_t value_count = in.Int(4);
  // Each value takes ten bytes at least: a count past that is no count.
  if (value_count > payload.size() / 10) return fail("malformed");
  values.resize(static_cast<std::size_t>(value_count));
  for (RegistryValue& value : values) {
    value.name = in.Bytes(in.Int(2));
    value.type = static_cast<std::uint32_t>(in.Int(4));
    const std::string_view data = in.Bytes(in.Int(4));
    value.data.assign(data.begin(), data.end());
  }
  const std::uint64_t subkey_count = in.Int(4);
  if (!in.ok || subkey_count > payload.size() / 10) return fail("malformed");
  subkeys.resize(static_cast<std::size_t>(subkey_count));
  // The subkeys' subtrees tile this key's, up to its own record; each ends
  // where the next begins, which reading it checks.
  for (std::size_t i = 0; i < subkeys.size(); ++i) {
    KeySource::Subkey& subkey = subkeys[i];
    subkey.name = in.Bytes(in.Int(2));
    subkey.ref.start = static_cast<std::uint32_t>(in.Int(4));
    subkey.ref.record = static_cast<std::uint32_t>(in.Int(4));
    const bool placed = i == 0 ? subkey.ref.start == ref.start : subkey.ref.start > subkeys[i - 1].ref.record;
    if (!in.ok || !placed || subkey.ref.record < subkey.ref.start) return fail("malformed");
    if (i != 0) subkeys[i - 1].ref.end = subkey.ref.start;
  }
  if (subkeys.empty() ? ref.start != ref.record : ref.record <= subkeys.back().ref.record) return fail("malformed");
  if (!subkeys.empty()) subkeys.back().ref.end = ref.record;
  if (in.at != payload.size()) return fail("malformed");
  return true;
}

bool RegistryImage::ReadPath(const std::string& path, std::vector<RegistryValue>& values,
                             std::vector<KeySource::Subkey>& subkeys) {
  if (!fallback_) throw MachineError(damage_ + "; nothing to read instead");
  if (!whole_) whole_ = fallback_();
  RegistryKey key;
  std::vector<std::string> names;
  if (!whole_->ReadKey(path, key, &names)) return false;
  values = std::move(key.values);
  subkeys.clear();
  for (std::string& name : names) subkeys.push_back({std::move(name), {}});
  return true;
}

void RegistryImage::Damaged(const std::string& what) {
  if (damage_.empty()) damage_ = path_.string() + ": " + what;
}

}  // namespace qvi::emu
