# What both mingw-w64 cross builds share; the file that includes this one
# sets QVI_MINGW_TRIPLE and QVI_WINE_LOADER first.
set(CMAKE_SYSTEM_NAME Windows)

# The thread model of the C++ runtime. The tests and tools use posix, whose
# runtime has std::thread (the matrix runs its faults on threads). The file
# that ships is built with win32 (QVI_THREAD_MODEL=win32, in a build of its
# own: "install/snap-in components/QviConsole/control/com/CMakeLists.txt"):
# posix links a thread library that needs Windows XP and later.
if(NOT QVI_THREAD_MODEL)
  set(QVI_THREAD_MODEL posix)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QVI_THREAD_MODEL)
set(CMAKE_C_COMPILER /usr/bin/${QVI_MINGW_TRIPLE}-gcc-${QVI_THREAD_MODEL})
set(CMAKE_CXX_COMPILER /usr/bin/${QVI_MINGW_TRIPLE}-g++-${QVI_THREAD_MODEL})
set(CMAKE_RC_COMPILER /usr/bin/${QVI_MINGW_TRIPLE}-windres)
set(CMAKE_AR /usr/bin/${QVI_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${QVI_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(QVI_OBJDUMP /usr/bin/${QVI_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${QVI_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The GCC runtime, libstdc++ and winpthread are linked in, so the binaries
# need only the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Tests run under Wine, headless and quiet; WINEPREFIX comes from the caller
# (scripts/test-windows.sh). The loader is named directly: /usr/bin/wine
# picks the 32-bit one whenever it is installed.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env -u DISPLAY -u WAYLAND_DISPLAY WINEDEBUG=-all
    "WINEDLLOVERRIDES=mscoree,mshtml=" ${QVI_WINE_LOADER})
