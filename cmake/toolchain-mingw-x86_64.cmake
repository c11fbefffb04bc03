# Cross-compiles the Windows x64 DLL and its tests with MinGW-w64 (posix thread model, so
# std::thread and std::mutex are available). Tests run under Wine through the emulator
# wrapper, so gtest_discover_tests and ctest work as on a native build.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VOND_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# A private Wine prefix under the build tree keeps test runs away from the user's ~/.wine
# and from other build folders. Probe projects (try_compile) never run anything.
get_property(vond_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT vond_in_try_compile)
    set(VOND_WINE_WRAPPER ${CMAKE_BINARY_DIR}/vond-wine64)
    file(WRITE ${VOND_WINE_WRAPPER}
"#!/bin/sh
# Runs a Windows x64 program under Wine in this build folder's own prefix.
export WINEPREFIX=\"\${VOND_WINEPREFIX:-${CMAKE_BINARY_DIR}/wineprefix}\"
export WINEDEBUG=\"\${WINEDEBUG:--all}\"
# No Mono or Gecko: their install prompts would stall a headless first start.
export WINEDLLOVERRIDES=\"\${WINEDLLOVERRIDES:-mscoree,mshtml=}\"
exec /usr/lib/wine/wine64 \"\$@\"
")
    file(CHMOD ${VOND_WINE_WRAPPER} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VOND_WINE_WRAPPER})
endif()
