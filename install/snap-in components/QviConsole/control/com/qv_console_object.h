// The COM object of the control QVConsole.
#pragma once

#include <windows.h>

namespace qvi::com {

// Creates a QVConsole: places its host kit controls, connects to QviPublic1's
// events and runs UserControl_Initialize, then answers `riid`. Without the
// host kit, the COM error of its creation (nothing is left behind).
HRESULT CreateQVConsole(REFIID riid, void** object);

// OLEMISC flags of QVConsole: invisible at run time, sited before it is
// initialised, activated when visible, drawn inside-out.
inline constexpr DWORD kMiscStatus = OLEMISC_INVISIBLEATRUNTIME | OLEMISC_SETCLIENTSITEFIRST |
                                     OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_RECOMPOSEONRESIZE |
                                     OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT;

}  // namespace qvi::com
