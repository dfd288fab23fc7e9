// Win32 vocabulary shared by both platform backends, without windows.h.
#pragma once

#include <cstdint>

namespace qvi::platform {

// A registry handle, 0 meaning "no handle". It is as wide as a pointer, as
// HKEY is: 32 bits on the product's platform, 64 on a 64-bit Windows build.
using HKey = std::uintptr_t;
// A Win32 status code (LONG in the registry API, DWORD from GetLastError).
using Status = std::int32_t;

// Windows writes the predefined roots as negative 32-bit numbers widened to
// a handle, so they keep their sign on a 64-bit build.
constexpr HKey PredefinedKey(std::int32_t value) { return static_cast<HKey>(static_cast<std::intptr_t>(value)); }

inline constexpr HKey kNoKey = 0;
inline constexpr HKey kHkeyClassesRoot = PredefinedKey(static_cast<std::int32_t>(0x80000000u));
inline constexpr HKey kHkeyCurrentUser = PredefinedKey(static_cast<std::int32_t>(0x80000001u));
inline constexpr HKey kHkeyLocalMachine = PredefinedKey(static_cast<std::int32_t>(0x80000002u));

// The range Windows keeps for predefined roots (HKEY_CLASSES_ROOT up to the
// performance keys); no opened key ever has such a handle.
inline constexpr bool IsPredefinedKey(HKey key) {
  return key >= kHkeyClassesRoot && key <= PredefinedKey(static_cast<std::int32_t>(0x800000FFu));
}

inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

inline constexpr std::uint32_t kKeyAllAccess = 0xF003F;

// The Win32 error codes the backends return.
namespace win32 {
inline constexpr Status kSuccess = 0;
inline constexpr Status kFileNotFound = 2;
inline constexpr Status kPathNotFound = 3;
inline constexpr Status kAccessDenied = 5;
inline constexpr Status kInvalidHandle = 6;
inline constexpr Status kSharingViolation = 32;
inline constexpr Status kBadNetPath = 53;
inline constexpr Status kBadNetName = 67;
inline constexpr Status kInvalidParameter = 87;
inline constexpr Status kBufferOverflow = 111;
inline constexpr Status kDiskFull = 112;
inline constexpr Status kBadPathName = 161;
inline constexpr Status kFilenameExcedRange = 206;
inline constexpr Status kMoreData = 234;
inline constexpr Status kNoMoreItems = 259;
inline constexpr Status kKeyDeleted = 1018;
}  // namespace win32

}  // namespace qvi::platform
