# Cross build for 32-bit Windows (the product's platform) with Debian's mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(triple i686-w64-mingw32)
# The posix thread model: its C++ runtime has std::thread and std::mutex,
# which GoogleTest uses.
set(CMAKE_C_COMPILER /usr/bin/${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${triple}-g++-posix)
set(CMAKE_RC_COMPILER /usr/bin/${triple}-windres)
set(CMAKE_AR /usr/bin/${triple}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${triple}-ranlib CACHE FILEPATH "")
set(QVI_OBJDUMP /usr/bin/${triple}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
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
    "WINEDLLOVERRIDES=mscoree,mshtml=" /usr/lib/wine/wine)
