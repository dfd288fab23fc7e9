#include <windows.h>

#include <wincrypt.h>

#include <algorithm>
#include <stdexcept>

#include "scenario/sha256.h"

namespace qvi::scenario {

namespace {

// Released on every way out.
struct Provider {
  HCRYPTPROV handle = 0;
  ~Provider() {
    if (handle != 0) ::CryptReleaseContext(handle, 0);
  }
};
struct Hash {
  HCRYPTHASH handle = 0;
  ~Hash() {
    if (handle != 0) ::CryptDestroyHash(handle);
  }
};

}  // namespace

std::string Sha256Hex(std::string_view bytes) {
  // The AES provider of advapi32, which every Windows the harness runs on
  // has: no other DLL is imported for it.
  Provider provider;
  Hash hash;
  bool done = ::CryptAcquireContextW(&provider.handle, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
              ::CryptCreateHash(provider.handle, CALG_SHA_256, 0, 0, &hash.handle);
  for (std::size_t at = 0; done && at < bytes.size();) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - at, 1u << 30));
    done = ::CryptHashData(hash.handle, reinterpret_cast<const BYTE*>(bytes.data() + at), piece, 0);
    at += piece;
  }
  BYTE digest[32];
  DWORD size = sizeof digest;
  if (!done || !::CryptGetHashParam(hash.handle, HP_HASHVAL, digest, &size, 0) || size != sizeof digest) {
    throw std::runtime_error("SHA-256: the system's hash provider failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (const BYTE byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  return hex;
}

}  // namespace qvi::scenario
