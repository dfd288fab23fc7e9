#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>

#include "scenario/sha256.h"

namespace qvi::scenario {

namespace {

// Closes what BCrypt opened, on every way out.
struct Algorithm {
  BCRYPT_ALG_HANDLE handle = nullptr;
  ~Algorithm() {
    if (handle != nullptr) ::BCryptCloseAlgorithmProvider(handle, 0);
  }
};
struct Hash {
  BCRYPT_HASH_HANDLE handle = nullptr;
  ~Hash() {
    if (handle != nullptr) ::BCryptDestroyHash(handle);
  }
};

}  // namespace

std::string Sha256Hex(std::string_view bytes) {
  Algorithm algorithm;
  Hash hash;
  UCHAR digest[32];
  bool done = BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm.handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
              BCRYPT_SUCCESS(::BCryptCreateHash(algorithm.handle, &hash.handle, nullptr, 0, nullptr, 0, 0));
  // Given a piece at a time: BCryptHashData takes at most 4 GiB at once.
  for (std::size_t at = 0; done && at < bytes.size();) {
    const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - at, 1u << 30));
    done = BCRYPT_SUCCESS(::BCryptHashData(
        hash.handle, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + at)), piece, 0));
    at += piece;
  }
  if (!done || !BCRYPT_SUCCESS(::BCryptFinishHash(hash.handle, digest, sizeof digest, 0))) {
    throw std::runtime_error("SHA-256: the system's hash provider failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (const UCHAR byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  return hex;
}

}  // namespace qvi::scenario
