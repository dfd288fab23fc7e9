// Win32 vocabulary shared by both platform backends, without windows.h.
#pragma once

#include <cstdint>

namespace qvi::platform {

// A registry handle as the system sees it: a 32-bit value, 0 meaning "no handle".
using HKey = std::uint32_t;
// A Win32 status code (LONG in the registry API, DWORD from GetLastError).
using Status = std::int32_t;

inline constexpr HKey kNoKey = 0;
inline constexpr HKey kHkeyClassesRoot = 0x80000000u;
inline constexpr HKey kHkeyCurrentUser = 0x80000001u;
inline constexpr HKey kHkeyLocalMachine = 0x80000002u;

inline constexpr bool IsPredefinedKey(HKey key) { return key >= 0x80000000u; }

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
inline constexpr Status kInvalidParameter = 87;
inline constexpr Status kBufferOverflow = 111;
inline constexpr Status kBadPathName = 161;
inline constexpr Status kMoreData = 234;
inline constexpr Status kNoMoreItems = 259;
inline constexpr Status kKeyDeleted = 1018;
}  // namespace win32

}  // namespace qvi::platform
