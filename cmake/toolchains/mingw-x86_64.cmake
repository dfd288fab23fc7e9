# Cross build for 64-bit Windows with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QVI_MINGW_TRIPLE x86_64-w64-mingw32)
set(QVI_WINE_LOADER /usr/lib/wine/wine64)
include("${CMAKE_CURRENT_LIST_DIR}/mingw.cmake")
