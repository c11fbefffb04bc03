# Third-party dependencies of the library, gathered into one interface target, vond_deps.
# Cross builds point OPENSSL_ROOT_DIR at a static OpenSSL and VOND_HEADER_DIR at a folder
# holding only the nlohmann/json and Easylogging++ headers (never /usr/include).

find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)

if(VOND_HEADER_DIR)
    set(VOND_EASYLOGGING_DIR ${VOND_HEADER_DIR})
    set(VOND_JSON_INCLUDE ${VOND_HEADER_DIR})
else()
    find_package(nlohmann_json 3.11 REQUIRED)
    find_path(VOND_EASYLOGGING_DIR easylogging++.h REQUIRED)
endif()
set(VOND_EASYLOGGING_SOURCE ${VOND_EASYLOGGING_DIR}/easylogging++.cc)

# Thread-safe logging; nothing touches the disk or the process's signal handlers when the
# library loads: the default log file is the null device until logging is configured.
set(VOND_EASYLOGGING_DEFINITIONS
    ELPP_THREAD_SAFE
    ELPP_NO_DEFAULT_LOG_FILE
    ELPP_DISABLE_DEFAULT_CRASH_HANDLING
    ELPP_NO_CHECK_MACROS
    ELPP_FORCE_USE_STD_THREAD)
if(WIN32)
    list(APPEND VOND_EASYLOGGING_DEFINITIONS ELPP_WINSOCK2 WIN32_LEAN_AND_MEAN NOMINMAX)
endif()

add_library(vond_deps INTERFACE)
target_include_directories(vond_deps SYSTEM INTERFACE ${VOND_EASYLOGGING_DIR})
if(VOND_HEADER_DIR)
    target_include_directories(vond_deps SYSTEM INTERFACE ${VOND_JSON_INCLUDE})
else()
    target_link_libraries(vond_deps INTERFACE nlohmann_json::nlohmann_json)
endif()
target_link_libraries(vond_deps INTERFACE OpenSSL::SSL OpenSSL::Crypto Threads::Threads)
if(WIN32)
    target_link_libraries(vond_deps INTERFACE ws2_32 crypt32 winhttp rpcrt4 shell32 ole32 advapi32 user32 uuid)
endif()
