// CRC-32 (the polynomial of zip and Ethernet): what the machine's binary
// files frame their records with, to tell a damaged record from a whole one.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace qvi::emu {

inline std::uint32_t Crc32(std::string_view bytes) {
  static const auto kTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    return table;
  }();
  std::uint32_t crc = 0xffffffffu;
  for (const unsigned char byte : bytes) crc = kTable[(crc ^ byte) & 0xff] ^ (crc >> 8);
  return crc ^ 0xffffffffu;
}

}  // namespace qvi::emu
