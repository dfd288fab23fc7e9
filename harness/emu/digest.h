// FNV-1a over bytes given a piece at a time: tells changed bytes from
// unchanged ones without holding them, not a guard against anyone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qvi::emu {

inline constexpr std::uint64_t kDigestStart = 0xcbf29ce484222325ull;

inline std::uint64_t Digest(std::uint64_t digest, std::string_view bytes) {
  for (const unsigned char byte : bytes) digest = (digest ^ byte) * 0x100000001b3ull;
  return digest;
}

// Sixteen lower-case hex digits.
inline std::string DigestHex(std::uint64_t digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, digest >>= 4) out[static_cast<std::size_t>(i)] = kDigits[digest & 15];
  return out;
}

}  // namespace qvi::emu
