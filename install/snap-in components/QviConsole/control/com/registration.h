// What the control library registers: its type library, the class QVConsole
// with its ProgIDs "QviConsole.QVConsole.1" and "QviConsole.QVConsole".
#pragma once

#include <windows.h>

#include <string>

namespace qvi::com {

inline constexpr const char* kProgId = "QviConsole.QVConsole.1";
inline constexpr const char* kVersionIndependentProgId = "QviConsole.QVConsole";

// Text between the system's ANSI code page, in which Windows 95 names files
// and keeps the registry, and the UTF-16 that OLE takes on every system.
std::wstring FromAnsi(const std::string& text);
std::string ToAnsi(const std::wstring& text);

// Paths are in the ANSI code page: the registry is written through the ANSI
// functions, the only ones Windows 95 implements.
//
// Registers the type library embedded in `module_path` (SELFREG_E_TYPELIB
// when that fails) and the class keys under HKEY_CLASSES_ROOT
// (SELFREG_E_CLASS; the keys written so far and the type library are then
// removed again).
HRESULT Register(const std::string& module_path);

// Removes what Register added and nothing else: the class keys only while
// their InprocServer32 names `module_path`, a ProgID key only while it names
// QVConsole's CLSID, a key only once it is empty. Missing keys are no error.
HRESULT Unregister(const std::string& module_path);

}  // namespace qvi::com
