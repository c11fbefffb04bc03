# `cmake --install`: the library, both headers and a CMake package, so that a game's build
# finds the SDK with find_package(vondsdk) and links vondsdk::vondsdk_mt.
include(CMakePackageConfigHelpers)

install(TARGETS vondsdk_mt EXPORT vondsdkTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
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
