# `cmake --install`: the library, both headers and a CMake package, so that a game's build
# finds the SDK with find_package(vondsdk) and links vondsdk::vondsdk_mt.
include(CMakePackageConfigHelpers)

install(TARGETS vondsdk_mt EXPORT vondsdkTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The EOS library the SDK was linked against goes beside it: the stand-in when no vendor SDK
# was given (a vendor's EOS SDK is shipped from Epic's own package).
# It is a file beside the library, not a target of the package: games never link it.
if(TARGET eossim)
    if(WIN32)
        install(FILES $<TARGET_FILE:eossim> DESTINATION ${CMAKE_INSTALL_BINDIR})
    else()
        install(FILES $<TARGET_FILE:eossim> DESTINATION ${CMAKE_INSTALL_LIBDIR})
    endif()
endif()
install(FILES
    ${PROJECT_SOURCE_DIR}/include/VondProxy.h
    ${PROJECT_SOURCE_DIR}/include/vondsdk_c.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(VOND_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vondsdk)
install(EXPORT vondsdkTargets NAMESPACE vondsdk:: DESTINATION ${VOND_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vondsdkConfig.cmake.in
    ${PROJECT_BINARY_DIR}/vondsdkConfig.cmake
    INSTALL_DESTINATION ${VOND_PACKAGE_DIR})
# The C++ functions pass standard-library types, so a game needs the same major version and
# the same toolchain; the version file checks the first, the README explains the second.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vondsdkConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vondsdkConfig.cmake ${PROJECT_BINARY_DIR}/vondsdkConfigVersion.cmake
    DESTINATION ${VOND_PACKAGE_DIR})
