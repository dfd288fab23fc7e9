# Cross build for 32-bit Windows (the product's platform) with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QVI_MINGW_TRIPLE i686-w64-mingw32)
set(QVI_WINE_LOADER /usr/lib/wine/wine)
include("${CMAKE_CURRENT_LIST_DIR}/mingw.cmake")
