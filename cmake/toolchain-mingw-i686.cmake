# Cross-compiles the Windows x86 DLL (the one 32-bit games load) and its tests with
# MinGW-w64, posix thread model. These machines cannot execute 32-bit code, so no emulator
# is set: the tests are built and linked, not run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VOND_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VOND_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VOND_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VOND_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${VOND_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VOND_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(VOND_MINGW_OBJDUMP ${VOND_MINGW_TRIPLE}-objdump)
set(VOND_MINGW_CXXFILT ${VOND_MINGW_TRIPLE}-c++filt)

set(CMAKE_FIND_ROOT_PATH /usr/${VOND_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

foreach(vond_root IN ITEMS ${OPENSSL_ROOT_DIR} ${VOND_HEADER_DIR})
    list(APPEND CMAKE_FIND_ROOT_PATH ${vond_root})
endforeach()
