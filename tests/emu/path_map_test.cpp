// The mapping of Windows paths into a machine folder: the machine's sandbox.
#include "emu/path_map.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "testing/temp_folder.h"

namespace qvi::emu {
namespace {

namespace fs = std::filesystem;
namespace win32 = platform::win32;
using Outcome = std::variant<std::string, platform::Status>;

//   m/
//   +-- drive_c/
//   |   +-- Program Files/Qvi/
//   |   +-- WinNT/
//   |   +-- link -> ../../outside   (a symbolic link)
//   +-- drive_d/
//   outside/
class PathMapTest : public ::testing::Test {
 protected:
  PathMapTest() {
    fs::create_directories(Folder() / "drive_c" / "Program Files" / "Qvi");
    fs::create_directories(Folder() / "drive_c" / "WinNT");
    fs::create_directories(Folder() / "drive_d");
    fs::create_directories(dir_.path() / "outside");
    fs::create_symlink(dir_.path() / "outside", Folder() / "drive_c" / "link");
  }
  fs::path Folder() const { return dir_.path() / "m"; }
  // The host path relative to the machine folder, or the error code.
  Outcome Mapped(const std::string& path) const {
    try {
      return map_.Map(path).lexically_relative(Folder()).generic_string();
    } catch (const PathError& error) {
      return error.code();
    }
  }

  testing::TempFolder dir_;
  PathMap map_{Folder(), "Alpha", "C:\\WinNT"};
};

// Windows paths land in their drive whatever the letter case; those that would
// leave the machine are refused with their Win32 code.
TEST_F(PathMapTest, WindowsPathsLandInTheirDriveOrAreRefused) {
  const std::pair<std::string, Outcome> cases[] = {
      {"C:\\PROGRAM FILES\\qvi\\new.ini", "drive_c/Program Files/Qvi/new.ini"},
      {"c:/program files/QVI/new.ini", "drive_c/Program Files/Qvi/new.ini"},
      {"\\\\ALPHA\\C$\\Program Files\\Qvi\\.\\x\\..\\new.ini", "drive_c/Program Files/Qvi/new.ini"},
      {"\\\\alpha\\c$\\program files.\\qvi \\new.ini", "drive_c/Program Files/Qvi/new.ini"},
      {"kethra.ini", "drive_c/WinNT/kethra.ini"},
      {"D:\\New\\Deeper\\x.ini", "drive_d/New/Deeper/x.ini"},
      {"C:\\", "drive_c"},
      {"C:\\" + std::string(255, 'n'), "drive_c/" + std::string(255, 'n')},
      {"C:\\console.ini", "drive_c/console.ini"},
      {"C:\\com10", "drive_c/com10"},
      {"C:\\..\\escape.ini", win32::kBadPathName},
      {"C:\\WinNT\\..\\..\\escape.ini", win32::kBadPathName},
      {"Z:\\escape.ini", win32::kPathNotFound},
      {"\\\\OTHER\\C$\\escape.ini", win32::kBadNetPath},
      {"\\\\ALPHA\\share\\escape.ini", win32::kBadNetName},
      {"\\\\.\\C:\\escape.ini", win32::kBadPathName},
      {"\\\\?\\C:\\escape.ini", win32::kBadPathName},
      {"/tmp/escape.ini", win32::kBadPathName},
      {std::string("C:\\esc\0ape.ini", 14), win32::kBadPathName},
      {"C:escape.ini", win32::kBadPathName},
      {"sub\\escape.ini", win32::kPathNotFound},
      {"\\escape.ini", win32::kPathNotFound},
      {"", win32::kPathNotFound},
      {"C:\\a:stream", win32::kBadPathName},
      {"C:\\a|b", win32::kBadPathName},
      {"C:\\...", win32::kBadPathName},
      {"C:\\link\\escape.ini", win32::kBadPathName},
      {"C:\\LINK\\escape.ini", win32::kBadPathName},
      {"C:\\CON", win32::kBadPathName},
      {"C:\\CON   ", win32::kBadPathName},
      {"C:\\aux.ini. .", win32::kBadPathName},
      {"C:\\WinNT\\nul.ini", win32::kBadPathName},
      {"com7", win32::kBadPathName},
      {"C:\\LPT1.txt\\x.ini", win32::kBadPathName},
      {"C:\\" + std::string(256, 'a'), win32::kFilenameExcedRange},
      {"C:\\" + std::string(100, 'a') + "\\" + std::string(160, 'b'), win32::kFilenameExcedRange},
      {"C:\\" + std::string(40000, 'a'), win32::kFilenameExcedRange},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(Mapped(path), expected) << path;
}

TEST_F(PathMapTest, WindowsPathOfAHostPath) {
  EXPECT_EQ(map_.WindowsPathOf(Folder() / "drive_c" / "Program Files" / "Qvi" / "new.ini"),
            "C:\\Program Files\\Qvi\\new.ini");
  EXPECT_EQ(map_.WindowsPathOf(Folder() / "drive_d"), "D:\\");
  EXPECT_THROW(map_.WindowsPathOf(dir_.path() / "outside"), PathError);
  EXPECT_THROW(map_.WindowsPathOf(Folder() / "registry.reg"), PathError);
}

}  // namespace
}  // namespace qvi::emu
