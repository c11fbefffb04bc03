# Cross-compiles the Windows x86 DLL (the one 32-bit games load) and its tests with
# MinGW-w64. Tests run under 32-bit Wine (Debian's wine32:i386) in a 64-bit prefix, so the
# process is a WoW64 one as on 64-bit Windows, through the emulator wrapper.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VOND_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(VOND_WINE_LOADER /usr/lib/wine/wine)
set(VOND_WINE_WRAPPER_NAME vond-wine32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-wine.cmake)
