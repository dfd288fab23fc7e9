// Every operation of the host kit's controls that the snap-in calls.
#pragma once

#include "host/host_control.h"

namespace qvi::host {

// The host kit's two controls.
enum class Control { kQviPublic, kQviNTNWSvc };

namespace dispid {

// QviPublic
inline constexpr DispId kSetDestinationDir = 2;    // name, path, 0
inline constexpr DispId kSetCopySection = 3;       // section, 0
inline constexpr DispId kGetShellFolder = 4;       // folder number -> path
inline constexpr DispId kRemoveFolder = 5;         // folder
inline constexpr DispId kIconOperation = 6;        // title, target, arguments, folder -> int
inline constexpr DispId kGetDirectory = 8;         // key, index -> directory
inline constexpr DispId kSetDirectory = 9;         // key, directory, index -> int
inline constexpr DispId kIsInstalling = 13;        // -> non-zero installing, 0 removing
inline constexpr DispId kSetSettingsFile = 14;     // settings-file name
inline constexpr DispId kGetText = 20;             // string number -> text
inline constexpr DispId kGetLanguage = 21;         // -> language code
inline constexpr DispId kGetPlatform = 22;         // version (by ref) -> 1 NT, 2 Windows 95
inline constexpr DispId kGetRemovalDirectory = 24; // key, "", 1 -> directory
inline constexpr DispId kGetParameter = 25;        // section, index -> entry
inline constexpr DispId kDirectoryOperation = 28;  // 4 or 5, directory -> int

// QviNTNWSvc
inline constexpr DispId kGetServerVersion = 9;     // "\\" + server -> version
inline constexpr DispId kGetUncComputerName = 10;  // 0, "" -> "\\NAME\..."
inline constexpr DispId kGetDrivePrefix = 11;      // drive letter code -> "\\NAME"

}  // namespace dispid

}  // namespace qvi::host
