# Cross-compiles the Windows x86 DLL (the one 32-bit games load) and its tests with
# MinGW-w64. These machines cannot execute 32-bit code, so no emulator is set: the tests
# are built and linked, not run.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VOND_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
