// FNV-1a over bytes given a piece at a time: tells changed bytes from
// unchanged ones without holding them, not a guard against anyone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qvi::emu {

inline constexpr std::uint64_t kDigestStart = 0xcbf29ce484222325ull;

inline std::uint64_t Digest(std::uint64_t digest, std::string_view bytes) {
  for (const unsigned char byte : bytes) digest = (digest ^ byte) * 0x100000001b3ull;
  return digest;
}

// A digest of a file of hundreds of megabytes read once (a registry seed),
// taken as it is read: where a byte at a time would cost more CPU than
// parsing it. Four machine words a step, each into a lane of its own, so that
// the processor overlaps their multiplications instead of waiting on one
// chain. Pieces may be of any size; the value is that of the bytes given,
// however they were cut. Not interchangeable with Digest(), and never
// stored: only compared within one process.
class WordDigest {
 public:
  void Add(std::string_view bytes);
  std::uint64_t Value() const;

 private:
  static constexpr std::size_t kLanes = 4;
  static constexpr std::size_t kStep = 8 * kLanes;
  void Steps(const unsigned char* from, std::size_t steps);

  std::uint64_t lanes_[kLanes] = {kDigestStart, kDigestStart + 1, kDigestStart + 2, kDigestStart + 3};
  unsigned char held_[kStep] = {};  // the start of a step not yet whole
  std::size_t held_count_ = 0;
  std::uint64_t length_ = 0;
};

// Sixteen lower-case hex digits.
inline std::string DigestHex(std::uint64_t digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, digest >>= 4) out[static_cast<std::size_t>(i)] = kDigits[digest & 15];
  return out;
}

}  // namespace qvi::emu
