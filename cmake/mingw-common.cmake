# What both MinGW-w64 toolchain files share; they set VOND_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first. Posix thread model, so std::thread and std::mutex exist.
set(CMAKE_SYSTEM_NAME Windows)

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
