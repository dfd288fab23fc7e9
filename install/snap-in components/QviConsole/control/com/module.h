// What one loaded copy of the control library shares: its file, the count
// of live objects and server locks, and the module-wide state of the snap-in
// (ModuleState and the frmCommon instance, inside one SnapInLibrary).
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "control/snap_in_library.h"

namespace qvi::com::module {

// The full path of the loaded library file.
std::wstring Path();
// The type library embedded in the file.
HRESULT LoadTypeLibrary(ITypeLib** library);

void ObjectCreated();
void ObjectDestroyed();
void Lock(bool lock);

// The module-wide state, made on first use. Throws std::bad_alloc.
SnapInLibrary& Library();

// True when no object lives and no lock is held. The module-wide state is
// then released here rather than at unload: DllMain may not release the host
// kit's COM objects that frmCommon holds. A later creation starts it afresh,
// as a fresh load of the library would.
bool CanUnload();

}  // namespace qvi::com::module
