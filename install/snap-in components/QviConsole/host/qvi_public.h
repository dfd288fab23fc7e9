// Typed calls on the host kit's controls, one per operation. Each raises
// qvi::Error when the host call fails or its result cannot be converted.
#pragma once

#include <cstdint>
#include <string>

#include "host/call.h"
#include "host/dispid.h"

namespace qvi::host {

// The host's public control QviPublic.
class QviPublic {
 public:
  explicit QviPublic(HostControl& control) : control_(control) {}
  HostControl& control() const { return control_; }

  void SetDestinationDir(Arg name, Arg path) { Call(control_, dispid::kSetDestinationDir, {name, path, Zero()}); }
  void SetCopySection(Arg section) { Call(control_, dispid::kSetCopySection, {section, Zero()}); }
  std::string GetShellFolder(std::int32_t folder) {
    return Call(control_, dispid::kGetShellFolder, {folder}).ToString();
  }
  void RemoveFolder(Arg folder) { Call(control_, dispid::kRemoveFolder, {folder}); }
  Variant IconOperation(Arg title, Arg target, Arg arguments, Arg folder) {
    return Call(control_, dispid::kIconOperation, {title, target, arguments, folder});
  }
  std::string GetDirectory(Arg key, Arg index) { return Call(control_, dispid::kGetDirectory, {key, index}).ToString(); }
  Variant SetDirectory(Arg key, Arg directory, Arg index) {
    return Call(control_, dispid::kSetDirectory, {key, directory, index});
  }
  Variant IsInstalling() { return Call(control_, dispid::kIsInstalling, {}); }
  void SetSettingsFile(Arg name) { Call(control_, dispid::kSetSettingsFile, {name}); }
  std::string GetText(std::int32_t number) { return Call(control_, dispid::kGetText, {number}).ToString(); }
  std::string GetLanguage() { return Call(control_, dispid::kGetLanguage, {}).ToString(); }
  Variant GetPlatform(Arg version) { return Call(control_, dispid::kGetPlatform, {version}); }
  std::string GetRemovalDirectory(Arg key, Arg empty, Arg index) {
    return Call(control_, dispid::kGetRemovalDirectory, {key, empty, index}).ToString();
  }
  std::string GetParameter(Arg section, Arg index) {
    return Call(control_, dispid::kGetParameter, {section, index}).ToString();
  }
  Variant DirectoryOperation(std::int32_t operation, Arg directory) {
    return Call(control_, dispid::kDirectoryOperation, {operation, directory});
  }

 private:
  static Arg Zero() { return Arg(std::int32_t{0}); }
  HostControl& control_;
};

// The host kit's NT/NetWare service control QviNTNWSvc.
class QviNTNWSvc {
 public:
  explicit QviNTNWSvc(HostControl& control) : control_(control) {}
  HostControl& control() const { return control_; }

  Variant GetServerVersion(Arg server) { return Call(control_, dispid::kGetServerVersion, {server}); }
  std::string GetUncComputerName() {
    return Call(control_, dispid::kGetUncComputerName, {std::int32_t{0}, ""}).ToString();
  }
  std::string GetDrivePrefix(std::int16_t drive_letter_code) {
    return Call(control_, dispid::kGetDrivePrefix, {drive_letter_code}).ToString();
  }

 private:
  HostControl& control_;
};

}  // namespace qvi::host
