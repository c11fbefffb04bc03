// SDK log forwarding.
#pragma once

#include "eos_common.h"

EOS_ENUM(EOS_ELogLevel,
    EOS_LOG_Off = 0,
    EOS_LOG_Fatal = 100,
    EOS_LOG_Error = 200,
    EOS_LOG_Warning = 300,
    EOS_LOG_Info = 400,
    EOS_LOG_Verbose = 500,
    EOS_LOG_VeryVerbose = 600
);

EOS_ENUM(EOS_ELogCategory,
    EOS_LC_Core = 0,
    EOS_LC_Auth = 1,
    EOS_LC_Friends = 2,
    EOS_LC_Presence = 3,
    EOS_LC_UserInfo = 4,
    EOS_LC_HttpSerialization = 5,
    EOS_LC_Ecom = 6,
    EOS_LC_P2P = 7,
    EOS_LC_Sessions = 8,
    EOS_LC_RateLimiter = 9,
    EOS_LC_PlayerDataStorage = 10,
    EOS_LC_Analytics = 11,
    EOS_LC_Messaging = 12,
    EOS_LC_Connect = 13,
    EOS_LC_Overlay = 14,
    EOS_LC_Achievements = 15,
    EOS_LC_Stats = 16,
    EOS_LC_UI = 17,
    EOS_LC_Lobby = 18,
    EOS_LC_Leaderboards = 19,
    EOS_LC_Keychain = 20,
    EOS_LC_IntegratedPlatform = 21,
    EOS_LC_TitleStorage = 22,
    EOS_LC_Mods = 23,
    EOS_LC_AntiCheat = 24,
    EOS_LC_Reports = 25,
    EOS_LC_Sanctions = 26,
    EOS_LC_ProgressionSnapshots = 27,
    EOS_LC_KWS = 28,
    EOS_LC_RTC = 29,
    EOS_LC_RTCAdmin = 30,
    EOS_LC_CustomInvites = 31,
    EOS_LC_ALL_CATEGORIES = 0x7fffffff
);

#pragma pack(push, 8)

// Both strings are valid only during the callback.
EOS_STRUCT(EOS_LogMessage, (
    const char* Category;
    const char* Message;
    EOS_ELogLevel Level;
));

#pragma pack(pop)

EOS_DECLARE_CALLBACK(EOS_LogMessageFunc, const EOS_LogMessage* Message);

// Success, or NotConfigured outside EOS_Initialize .. EOS_Shutdown. Replaces any earlier callback.
EOS_DECLARE_FUNC(EOS_EResult) EOS_Logging_SetCallback(EOS_LogMessageFunc Callback);
EOS_DECLARE_FUNC(EOS_EResult) EOS_Logging_SetLogLevel(EOS_ELogCategory LogCategory, EOS_ELogLevel LogLevel);
