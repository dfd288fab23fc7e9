// What one loaded copy of the control library shares: its file and the
// module-wide state of the snap-in (ModuleState and the frmCommon instance,
// inside one SnapInLibrary). Its live objects and server locks are counted
// by qvi::com::Module.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <oaidl.h>

#include <string>

#include "control/snap_in_library.h"
#include "runtime/com/com_ptr.h"

namespace qvi::com::module {

// The full path of the loaded library file, in the ANSI code page.
std::string Path();
// The type library embedded in the file.
HRESULT LoadTypeLibrary(ComPtr<ITypeLib>& library);

// The module-wide state, made on first use. Throws std::bad_alloc.
SnapInLibrary& Library();

// True when no object lives and no lock is held; the module-wide state is
// then released, here and nowhere else (see module.cpp). A later creation
// starts it afresh, as a fresh load of the library would.
bool CanUnload() noexcept;

}  // namespace qvi::com::module
