# Cross-compiles the Windows x64 DLL and its tests with MinGW-w64 (posix thread model, so
# std::thread and std::mutex are available). Tests run under Wine through the emulator
# wrapper, so gtest_discover_tests and ctest work as on a native build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VOND_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VOND_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VOND_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VOND_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${VOND_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VOND_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(VOND_MINGW_OBJDUMP ${VOND_MINGW_TRIPLE}-objdump)
set(VOND_MINGW_CXXFILT ${VOND_MINGW_TRIPLE}-c++filt)

# Only the target's own sysroot and the folders handed in (static OpenSSL, the header-only
# dependencies) may be searched: host headers and libraries would pull in glibc.
set(CMAKE_FIND_ROOT_PATH /usr/${VOND_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The static OpenSSL and the header folder live outside the sysroot; they join the roots
# so that the find modules may search them.
foreach(vond_root IN ITEMS ${OPENSSL_ROOT_DIR} ${VOND_HEADER_DIR})
    list(APPEND CMAKE_FIND_ROOT_PATH ${vond_root})
endforeach()

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
