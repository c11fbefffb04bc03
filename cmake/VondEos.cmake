# eos_sdk: what the SDK compiles and links against for EOS. By default the stand-in of
# eossim/; with VOND_EOS_SDK_DIR a vendor SDK's Include/ folder and library, unchanged.

add_library(eos_sdk INTERFACE)
if(VOND_EOS_SDK_DIR)
    if(WIN32)
        if(CMAKE_SIZEOF_VOID_P EQUAL 8)
            set(vond_eos_name EOSSDK-Win64-Shipping)
        else()
            set(vond_eos_name EOSSDK-Win32-Shipping)
        endif()
    else()
        set(vond_eos_name EOSSDK-Linux-Shipping)
    endif()
    # The SDK fills fields that EOS 1.16 added (login flags, the RTC background mode, the
    # platform's system options): an older SDK stops the build with a clear line here instead
    # of a page of compiler errors.
    set(vond_eos_version_header ${VOND_EOS_SDK_DIR}/Include/eos_version.h)
    if(EXISTS ${vond_eos_version_header})
        file(STRINGS ${vond_eos_version_header} vond_eos_major REGEX "^#define EOS_MAJOR_VERSION[ \t]+[0-9]+")
        file(STRINGS ${vond_eos_version_header} vond_eos_minor REGEX "^#define EOS_MINOR_VERSION[ \t]+[0-9]+")
        string(REGEX REPLACE ".*[ \t]([0-9]+)$" "\\1" vond_eos_major "${vond_eos_major}")
        string(REGEX REPLACE ".*[ \t]([0-9]+)$" "\\1" vond_eos_minor "${vond_eos_minor}")
        if(vond_eos_major AND "${vond_eos_major}.${vond_eos_minor}" VERSION_LESS 1.16)
            message(FATAL_ERROR "EOS SDK ${vond_eos_major}.${vond_eos_minor} in ${VOND_EOS_SDK_DIR}: vondsdk needs EOS 1.16 or later")
        endif()
    endif()
    find_library(VOND_EOS_LIBRARY NAMES ${vond_eos_name}
        PATHS ${VOND_EOS_SDK_DIR}/Lib ${VOND_EOS_SDK_DIR}/Bin NO_DEFAULT_PATH REQUIRED)
    target_include_directories(eos_sdk SYSTEM INTERFACE ${VOND_EOS_SDK_DIR}/Include)
    target_link_libraries(eos_sdk INTERFACE ${VOND_EOS_LIBRARY})
    set(VOND_EOS_SIMULATOR OFF)
else()
    add_subdirectory(${CMAKE_SOURCE_DIR}/eossim ${CMAKE_BINARY_DIR}/eossim)
    # The SDK sees the EOS headers only; eossim.h (test functions) is for tests.
    target_include_directories(eos_sdk INTERFACE ${CMAKE_SOURCE_DIR}/eossim/include)
    target_link_libraries(eos_sdk INTERFACE eossim)
    set(VOND_EOS_SIMULATOR ON)
endif()
