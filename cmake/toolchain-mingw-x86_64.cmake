# Cross-compiles the Windows x64 DLL and its tests with MinGW-w64 (posix thread model, so
# std::thread and std::mutex are available). Tests run under Wine through the emulator
# wrapper, so gtest_discover_tests and ctest work as on a native build.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VOND_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Tests run under 64-bit Wine through the emulator wrapper (mingw-wine.cmake).
set(VOND_WINE_LOADER /usr/lib/wine/wine64)
set(VOND_WINE_WRAPPER_NAME vond-wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-wine.cmake)
