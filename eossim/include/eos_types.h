// Platform handle, SDK and platform options.
#pragma once

#include "eos_common.h"
#include "eos_integratedplatform_types.h"

typedef struct EOS_PlatformHandle* EOS_HPlatform;
typedef struct EOS_AuthHandle* EOS_HAuth;
typedef struct EOS_ConnectHandle* EOS_HConnect;
typedef struct EOS_EcomHandle* EOS_HEcom;

EXTERN_C typedef void* (EOS_MEMORY_CALL* EOS_AllocateMemoryFunc)(size_t SizeInBytes, size_t Alignment);
EXTERN_C typedef void* (EOS_MEMORY_CALL* EOS_ReallocateMemoryFunc)(void* Pointer, size_t SizeInBytes, size_t Alignment);
EXTERN_C typedef void (EOS_MEMORY_CALL* EOS_ReleaseMemoryFunc)(void* Pointer);

#pragma pack(push, 8)

#define EOS_INITIALIZE_THREADAFFINITY_API_LATEST 3
EOS_STRUCT(EOS_Initialize_ThreadAffinity, (
    int32_t ApiVersion;
    uint64_t NetworkWork;
    uint64_t StorageIo;
    uint64_t WebSocketIo;
    uint64_t P2PIo;
    uint64_t HttpRequestIo;
    uint64_t RTCIo;
    uint64_t EmbeddedOverlayMainThread;
    uint64_t EmbeddedOverlayWorkerThreads;
));

#define EOS_INITIALIZE_API_LATEST 4
EOS_STRUCT(EOS_InitializeOptions, (
    int32_t ApiVersion;
    EOS_AllocateMemoryFunc AllocateMemoryFunction;
    EOS_ReallocateMemoryFunc ReallocateMemoryFunction;
    EOS_ReleaseMemoryFunc ReleaseMemoryFunction;
    const char* ProductName;
    const char* ProductVersion;
    void* Reserved;
    void* SystemInitializeOptions;
    EOS_Initialize_ThreadAffinity* OverrideThreadAffinity;
));

#define EOS_PLATFORM_CLIENTCREDENTIALS_CLIENTID_MAX_LENGTH 64
#define EOS_PLATFORM_CLIENTCREDENTIALS_CLIENTSECRET_MAX_LENGTH 64
EOS_STRUCT(EOS_Platform_ClientCredentials, (
    const char* ClientId;
    const char* ClientSecret;
));

EOS_ENUM(EOS_ERTCBackgroundMode,
    EOS_RTCBM_LeaveRooms = 0,
    EOS_RTCBM_KeepRoomsAlive = 1
);

#define EOS_PLATFORM_RTCOPTIONS_API_LATEST 2
EOS_STRUCT(EOS_Platform_RTCOptions, (
    int32_t ApiVersion;
    void* PlatformSpecificOptions;
    EOS_ERTCBackgroundMode BackgroundMode;
));

#define EOS_PF_LOADING_IN_EDITOR 0x00001
#define EOS_PF_DISABLE_OVERLAY 0x00002
#define EOS_PF_DISABLE_SOCIAL_OVERLAY 0x00004
#define EOS_PF_RESERVED1 0x00008
#define EOS_PF_WINDOWS_ENABLE_OVERLAY_D3D9 0x00010
#define EOS_PF_WINDOWS_ENABLE_OVERLAY_D3D10 0x00020
#define EOS_PF_WINDOWS_ENABLE_OVERLAY_OPENGL 0x00040
#define EOS_PF_CONSOLE_ENABLE_OVERLAY_AUTOMATIC_UNLOADING 0x00080

#define EOS_PLATFORM_OPTIONS_PRODUCTID_MAX_LENGTH 64
#define EOS_PLATFORM_OPTIONS_SANDBOXID_MAX_LENGTH 64
#define EOS_PLATFORM_OPTIONS_DEPLOYMENTID_MAX_LENGTH 64
#define EOS_PLATFORM_OPTIONS_ENCRYPTIONKEY_LENGTH 64
#define EOS_COUNTRYCODE_MAX_LENGTH 4
#define EOS_LOCALECODE_MAX_LENGTH 9

#define EOS_PLATFORM_OPTIONS_API_LATEST 14
EOS_STRUCT(EOS_Platform_Options, (
    int32_t ApiVersion;
    void* Reserved;
    const char* ProductId;
    const char* SandboxId;
    EOS_Platform_ClientCredentials ClientCredentials;
    EOS_Bool bIsServer;
    const char* EncryptionKey;
    const char* OverrideCountryCode;
    const char* OverrideLocaleCode;
    const char* DeploymentId;
    uint64_t Flags;
    const char* CacheDirectory;
    uint32_t TickBudgetInMilliseconds;
    const EOS_Platform_RTCOptions* RTCOptions;
    EOS_HIntegratedPlatformOptionsContainer IntegratedPlatformOptionsContainerHandle;
    const void* SystemSpecificOptions;
    double* TaskNetworkTimeoutSeconds;
));

#pragma pack(pop)
