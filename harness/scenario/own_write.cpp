#include "scenario/own_write.h"

#include <algorithm>

#include "emu/emu_types.h"
#include "host/dispid.h"
#include "runtime/code_page.h"
#include "scenario/report.h"

namespace qvi::scenario {

namespace {

using faults::Function;

std::string DestinationLine(const std::string& name, const std::string& path) {
  return "destination " + name + " = " + path;
}
std::string CopySectionLine(const std::string& section) { return "copy section " + section; }
std::string IconLine(const rhost::IconRequest& icon) {
  return "icon " + ShownValue(icon.title) + " -> " + ShownValue(icon.target) + " in " + ShownValue(icon.folder);
}
std::string RemovedFolderLine(const std::string& folder) { return "removed folder " + folder; }

// The request of one successful host call, as it stands in `state`.
std::optional<std::string> RequestOf(const rhost::HostCall& call, const rhost::HostState& state) {
  namespace d = host::dispid;
  const auto text = [&call](std::size_t i) { return call.args.at(i).value.ToString(); };
  switch (call.dispid) {
    case d::kSetDestinationDir: {
      // Named without regard to case; the first spelling stays.
      const auto& dirs = state.destination_dirs;
      const auto it = std::find_if(dirs.begin(), dirs.end(),
                                   [&](const auto& dir) { return code_page::EqualsNoCase(dir.first, text(0)); });
      if (it == dirs.end() || it->second != text(1)) return std::nullopt;
      return DestinationLine(it->first, it->second);
    }
    case d::kSetCopySection: {
      const auto& sections = state.copy_sections;
      const auto it = std::find_if(sections.begin(), sections.end(),
                                   [&](const std::string& s) { return code_page::EqualsNoCase(s, text(0)); });
      if (it == sections.end()) return std::nullopt;
      return CopySectionLine(*it);
    }
    case d::kRemoveFolder: return RemovedFolderLine(text(0));
    case d::kIconOperation: return IconLine({text(0), text(1), text(2), text(3), {}});
    default: return std::nullopt;
  }
}

}  // namespace

platform::Status OwnWriteRecorder::RegCreateKeyA(platform::HKey key, const char* sub_key, platform::HKey* result) {
  const int occurrence = ++calls_[Function::kRegCreateKeyA];
  const platform::Status status = inner().RegCreateKeyA(key, sub_key, result);
  if (status == platform::win32::kSuccess && result != nullptr) {
    OwnWrite write;
    write.key = machine_.registry().KeyPath(*result);
    if (!write.key.empty()) writes_.push_back({Function::kRegCreateKeyA, occurrence, std::move(write)});
  }
  return status;
}

platform::Status OwnWriteRecorder::RegSetValueExA(platform::HKey key, const char* value_name, std::uint32_t reserved,
                                                  std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  const int occurrence = ++calls_[Function::kRegSetValueExA];
  OwnWrite write;
  write.key = machine_.registry().KeyPath(key);
  write.value = value_name != nullptr ? value_name : "";
  const platform::Status status = inner().RegSetValueExA(key, value_name, reserved, type, data, size);
  if (status == platform::win32::kSuccess && !write.key.empty()) {
    writes_.push_back({Function::kRegSetValueExA, occurrence, std::move(write)});
  }
  return status;
}

std::int32_t OwnWriteRecorder::WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                                          const char* file_name) {
  const int occurrence = ++calls_[Function::kWritePrivateProfileStringA];
  const std::int32_t written = inner().WritePrivateProfileStringA(section, key, value, file_name);
  if (written == 0 || section == nullptr || file_name == nullptr) return written;
  OwnWrite write;
  try {
    write.file = machine_.WindowsPathOf(machine_.MapPath(file_name));
  } catch (const emu::PathError&) {
    return written;
  }
  write.section = section;
  if (key != nullptr) write.entry = key;
  writes_.push_back({Function::kWritePrivateProfileStringA, occurrence, std::move(write)});
  return written;
}

std::optional<std::string> OwnHostRequest(const std::vector<rhost::HostCall>& calls, host::Control control,
                                          host::DispId dispid, int occurrence, const rhost::HostState& state) {
  int seen = 0;
  for (const rhost::HostCall& call : calls) {
    if (call.control != control || call.dispid != dispid || ++seen != occurrence) continue;
    if (call.failed || control != host::Control::kQviPublic) return std::nullopt;
    try {
      const auto line = RequestOf(call, state);
      return line ? std::optional(code_page::ToUtf8(*line)) : std::nullopt;
    } catch (const std::exception&) {
      return std::nullopt;  // arguments the operation refuses made no request
    }
  }
  return std::nullopt;
}

std::vector<std::string> HostRequestLines(const rhost::HostState& s) {
  std::vector<std::string> lines;
  lines.push_back("settings file " + s.settings_file);
  for (const auto& [name, path] : s.destination_dirs) lines.push_back(DestinationLine(name, path));
  for (const std::string& section : s.copy_sections) lines.push_back(CopySectionLine(section));
  for (const rhost::IconRequest& icon : s.icons) lines.push_back(IconLine(icon));
  for (const std::string& folder : s.removed_folders) lines.push_back(RemovedFolderLine(folder));
  for (const rhost::DirectoryOperation& op : s.directory_operations) {
    lines.push_back("directory operation " + std::to_string(op.operation) + " " + ShownValue(op.directory));
  }
  for (std::string& line : lines) line = code_page::ToUtf8(line);
  return lines;
}

}  // namespace qvi::scenario
