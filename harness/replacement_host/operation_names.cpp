#include "replacement_host/operation_names.h"

#include <array>

namespace qvi::rhost {

using host::Control;
using host::DispId;
namespace dispid = host::dispid;

namespace {

struct Operation {
  Control control;
  DispId id;
  std::string_view name;
};

constexpr std::array<Operation, 18> kOperations = {{
    {Control::kQviPublic, dispid::kSetDestinationDir, "SetDestinationDir"},
    {Control::kQviPublic, dispid::kSetCopySection, "SetCopySection"},
    {Control::kQviPublic, dispid::kGetShellFolder, "GetShellFolder"},
    {Control::kQviPublic, dispid::kRemoveFolder, "RemoveFolder"},
    {Control::kQviPublic, dispid::kIconOperation, "IconOperation"},
    {Control::kQviPublic, dispid::kGetDirectory, "GetDirectory"},
    {Control::kQviPublic, dispid::kSetDirectory, "SetDirectory"},
    {Control::kQviPublic, dispid::kIsInstalling, "IsInstalling"},
    {Control::kQviPublic, dispid::kSetSettingsFile, "SetSettingsFile"},
    {Control::kQviPublic, dispid::kGetText, "GetText"},
    {Control::kQviPublic, dispid::kGetLanguage, "GetLanguage"},
    {Control::kQviPublic, dispid::kGetPlatform, "GetPlatform"},
    {Control::kQviPublic, dispid::kGetRemovalDirectory, "GetRemovalDirectory"},
    {Control::kQviPublic, dispid::kGetParameter, "GetParameter"},
    {Control::kQviPublic, dispid::kDirectoryOperation, "DirectoryOperation"},
    {Control::kQviNTNWSvc, dispid::kGetServerVersion, "GetServerVersion"},
    {Control::kQviNTNWSvc, dispid::kGetUncComputerName, "GetUncComputerName"},
    {Control::kQviNTNWSvc, dispid::kGetDrivePrefix, "GetDrivePrefix"},
}};

}  // namespace

std::string_view ControlName(Control control) {
  return control == Control::kQviPublic ? "QviPublic" : "QviNTNWSvc";
}

std::string_view OperationName(Control control, DispId id) {
  for (const Operation& operation : kOperations) {
    if (operation.control == control && operation.id == id) return operation.name;
  }
  return {};
}

}  // namespace qvi::rhost
