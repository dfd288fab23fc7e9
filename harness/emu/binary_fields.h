// The machine's binary files (registry.log, registry.img): little-endian
// integers, records framed as their payload's length and CRC-32 (both 32-bit)
// followed by the payload, and a payload read back field by field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "emu/crc32.h"

namespace qvi::emu {

inline void PutInt(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i, value >>= 8) out += static_cast<char>(value & 0xff);
}

// `bytes` must hold `size` bytes at `at`.
inline std::uint64_t GetInt(std::string_view bytes, std::size_t at, int size) {
  std::uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  return value;
}

inline constexpr std::uint32_t kFrameBytes = 8;

// Appends `payload` to `out` as one framed record.
inline void PutFramed(std::string& out, std::string_view payload) {
  PutInt(out, payload.size(), 4);
  PutInt(out, Crc32(payload), 4);
  out += payload;
}

// A payload read field by field; a field past its end makes it malformed
// (`ok` false, and every later field empty).
struct Fields {
  std::string_view payload;
  std::size_t at = 0;
  bool ok = true;

  std::uint64_t Int(int size) {
    if (!ok || payload.size() - at < static_cast<std::size_t>(size)) return ok = false, 0;
    const std::uint64_t value = GetInt(payload, at, size);
    at += static_cast<std::size_t>(size);
    return value;
  }
  std::string_view Bytes(std::uint64_t size) {
    if (!ok || payload.size() - at < size) return ok = false, std::string_view();
    const std::string_view bytes = payload.substr(at, static_cast<std::size_t>(size));
    at += static_cast<std::size_t>(size);
    return bytes;
  }
  // A text counted by a 32-bit length.
  std::string Text() { return std::string(Bytes(Int(4))); }
};

}  // namespace qvi::emu
