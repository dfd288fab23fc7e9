// FNV-1a over bytes given a piece at a time: tells changed bytes from
// unchanged ones without holding them, not a guard against anyone.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace qvi::emu {

inline constexpr std::uint64_t kDigestStart = 0xcbf29ce484222325ull;

inline std::uint64_t Digest(std::uint64_t digest, std::string_view bytes) {
  for (const unsigned char byte : bytes) digest = (digest ^ byte) * 0x100000001b3ull;
  return digest;
}

// The same multiply-and-xor a machine word at a time, for a file of hundreds
// of megabytes read once (a registry seed), where a byte at a time would
// cost more CPU than parsing it. Pieces may be of any size; the value is
// that of the bytes given, however they were cut. Not interchangeable with
// Digest().
class WordDigest {
 public:
  void Add(std::string_view bytes) {
    while (!bytes.empty() && held_ != 0) {
      Hold(static_cast<unsigned char>(bytes.front()));
      bytes.remove_prefix(1);
    }
    while (bytes.size() >= 8) {
      // In the host's byte order: the value is never stored.
      std::uint64_t word = 0;
      std::memcpy(&word, bytes.data(), 8);
      Mix(word);
      bytes.remove_prefix(8);
    }
    for (const unsigned char byte : bytes) Hold(byte);
  }
  std::uint64_t Value() const {
    std::uint64_t d = digest_ ^ (word_ * 0x100000001b3ull) ^ (length_ << 3 | held_);
    // A last mixing, so that every input bit reaches every output bit.
    d = (d ^ (d >> 33)) * 0xff51afd7ed558ccdull;
    return d ^ (d >> 33);
  }

 private:
  void Mix(std::uint64_t word) {
    digest_ = (digest_ ^ word) * 0x100000001b3ull;
    length_ += 8;
  }
  void Hold(unsigned char byte) {
    word_ |= std::uint64_t{byte} << (8 * held_);
    if (++held_ == 8) {
      Mix(word_);
      word_ = 0;
      held_ = 0;
    }
  }
  std::uint64_t digest_ = kDigestStart;
  std::uint64_t word_ = 0;
  std::uint64_t held_ = 0;
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
