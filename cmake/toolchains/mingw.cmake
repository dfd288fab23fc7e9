# What both mingw-w64 cross builds share; the file that includes this one
# sets QVI_MINGW_TRIPLE and QVI_WINE_LOADER first.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: its C++ runtime has std::thread and std::mutex,
# which GoogleTest uses.
set(CMAKE_C_COMPILER /usr/bin/${QVI_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${QVI_MINGW_TRIPLE}-g++-posix)
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
