#include "emu/settings.h"

#include <algorithm>

#include "emu/ini_document.h"
#include "runtime/code_page.h"

namespace qvi::emu {

namespace {

constexpr const char* kSection = "Machine";
constexpr std::uint32_t kCodePage = 1252;

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

void ValidateSettings(const MachineSettings& s, const std::string& where) {
  if (s.computer_name.empty()) throw MachineError(where + "ComputerName is empty");
  for (const char c : s.computer_name) {
    if (c == '\\' || c == '/' || static_cast<unsigned char>(c) <= 0x20) {
      throw MachineError(where + "ComputerName \"" + s.computer_name + "\" holds a blank, a slash or a backslash");
    }
  }
  const std::string& w = s.windows_directory;
  if (w.size() < 3 || !IsDriveLetter(w[0]) || w[1] != ':' || w[2] != '\\') {
    throw MachineError(where + "WindowsDirectory \"" + w + "\" is not a full path such as C:\\WINNT");
  }
  // "C:\WINNT\..\..\x" would put the Windows directory outside its drive.
  for (std::size_t from = 3; from <= w.size();) {
    const std::size_t end = std::min(w.find_first_of("\\/", from), w.size());
    if (w.compare(from, end - from, "..") == 0) {
      throw MachineError(where + "WindowsDirectory \"" + w + "\" climbs with \"..\"");
    }
    from = end + 1;
  }
  // Text is converted with code page 1252 only; another would be ignored.
  if (s.code_page != kCodePage) {
    throw MachineError(where + "CodePage " + std::to_string(s.code_page) + " is not supported: only 1252 is");
  }
}

std::string SettingsText(const MachineSettings& s) {
  return "[Machine]\r\nComputerName=" + s.computer_name + "\r\nWindowsDirectory=" + s.windows_directory +
         "\r\nCodePage=" + std::to_string(s.code_page) + "\r\n";
}

MachineSettings ParseSettings(const std::string& bytes, const std::filesystem::path& file) {
  const std::string name = file.string();
  // Read as Windows reads it, a UTF-16 file would lose every setting silently.
  if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
    throw MachineError(name + ":1: a UTF-16 file; machine.ini must be ANSI text");
  }
  const IniDocument doc(bytes);
  MachineSettings s;
  const auto sections = doc.SectionNames();
  if (std::none_of(sections.begin(), sections.end(), [](const std::string& section) {
        return code_page::EqualsNoCase(section, kSection);
      })) {
    throw MachineError(name + ": no [Machine] section");
  }
  const auto where = [&](const char* key) { return name + ":" + std::to_string(doc.LineOf(kSection, key)) + ": "; };
  if (const auto v = doc.Value(kSection, "ComputerName")) {
    s.computer_name = std::string(*v);
    ValidateSettings(s, where("ComputerName"));
  }
  if (const auto v = doc.Value(kSection, "WindowsDirectory")) {
    s.windows_directory = std::string(*v);
    while (s.windows_directory.size() > 3 && s.windows_directory.back() == '\\') s.windows_directory.pop_back();
    ValidateSettings(s, where("WindowsDirectory"));
  }
  if (const auto v = doc.Value(kSection, "CodePage")) {
    std::uint32_t page = 0;
    bool ok = !v->empty() && v->size() <= 5;
    for (const char c : *v) {
      if (c < '0' || c > '9') ok = false;
      page = page * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (!ok || page == 0) throw MachineError(where("CodePage") + "CodePage \"" + std::string(*v) + "\" is not a number");
    s.code_page = page;
    ValidateSettings(s, where("CodePage"));
  }
  return s;
}

}  // namespace qvi::emu
