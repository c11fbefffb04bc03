// Auth interface: options, credentials, results and tokens.
#pragma once

#include "eos_common.h"

EOS_ENUM(EOS_ELoginCredentialType,
    EOS_LCT_Password = 0,
    EOS_LCT_ExchangeCode = 1,
    EOS_LCT_PersistentAuth = 2,
    EOS_LCT_DeviceCode = 3,
    EOS_LCT_Developer = 4,
    EOS_LCT_RefreshToken = 5,
    EOS_LCT_AccountPortal = 6,
    EOS_LCT_ExternalAuth = 7
);

EOS_ENUM(EOS_EAuthScopeFlags,
    EOS_AS_NoFlags = 0x0,
    EOS_AS_BasicProfile = 0x1,
    EOS_AS_FriendsList = 0x2,
    EOS_AS_Presence = 0x4,
    EOS_AS_FriendsManagement = 0x8,
    EOS_AS_Email = 0x10,
    EOS_AS_Country = 0x20
);
EOS_ENUM_BOOLEAN_OPERATORS(EOS_EAuthScopeFlags)

EOS_ENUM(EOS_EAuthTokenType,
    EOS_ATT_Client = 0,
    EOS_ATT_User = 1
);

#define EOS_LF_NO_USER_INTERFACE 0x00001

#pragma pack(push, 8)

#define EOS_AUTH_CREDENTIALS_API_LATEST 4
EOS_STRUCT(EOS_Auth_Credentials, (
    int32_t ApiVersion;
    const char* Id;
    const char* Token;
    EOS_ELoginCredentialType Type;
    void* SystemAuthCredentialsOptions;
    EOS_EExternalCredentialType ExternalType;
));

#define EOS_AUTH_LOGIN_API_LATEST 3
EOS_STRUCT(EOS_Auth_LoginOptions, (
    int32_t ApiVersion;
    const EOS_Auth_Credentials* Credentials;
    EOS_EAuthScopeFlags ScopeFlags;
    uint64_t LoginFlags;
));

#define EOS_AUTH_PINGRANTINFO_API_LATEST 2
EOS_STRUCT(EOS_Auth_PinGrantInfo, (
    int32_t ApiVersion;
    const char* UserCode;
    const char* VerificationURI;
    int32_t ExpiresIn;
    const char* VerificationURIComplete;
));

#define EOS_AUTH_ACCOUNTFEATURERESTRICTEDINFO_API_LATEST 1
EOS_STRUCT(EOS_Auth_AccountFeatureRestrictedInfo, (
    int32_t ApiVersion;
    const char* VerificationURI;
));

EOS_STRUCT(EOS_Auth_LoginCallbackInfo, (
    EOS_EResult ResultCode;
    void* ClientData;
    EOS_EpicAccountId LocalUserId;
    const EOS_Auth_PinGrantInfo* PinGrantInfo;
    EOS_ContinuanceToken ContinuanceToken;
    const EOS_Auth_AccountFeatureRestrictedInfo* AccountFeatureRestrictedInfo_DEPRECATED;
    EOS_EpicAccountId SelectedAccountId;
));

#define EOS_AUTH_COPYUSERAUTHTOKEN_API_LATEST 1
EOS_STRUCT(EOS_Auth_CopyUserAuthTokenOptions, (
    int32_t ApiVersion;
));

#define EOS_AUTH_TOKEN_API_LATEST 2
EOS_STRUCT(EOS_Auth_Token, (
    int32_t ApiVersion;
    const char* App;
    const char* ClientId;
    EOS_EpicAccountId AccountId;
    const char* AccessToken;
    double ExpiresIn;
    const char* ExpiresAt;
    EOS_EAuthTokenType AuthType;
    const char* RefreshToken;
    double RefreshExpiresIn;
    const char* RefreshExpiresAt;
));

#define EOS_AUTH_COPYIDTOKEN_API_LATEST 1
EOS_STRUCT(EOS_Auth_CopyIdTokenOptions, (
    int32_t ApiVersion;
    EOS_EpicAccountId AccountId;
));

#define EOS_AUTH_IDTOKEN_API_LATEST 1
EOS_STRUCT(EOS_Auth_IdToken, (
    int32_t ApiVersion;
    EOS_EpicAccountId AccountId;
    const char* JsonWebToken;
));

#pragma pack(pop)

EOS_DECLARE_CALLBACK(EOS_Auth_OnLoginCallback, const EOS_Auth_LoginCallbackInfo* Data);

EOS_DECLARE_FUNC(void) EOS_Auth_Token_Release(EOS_Auth_Token* AuthToken);
EOS_DECLARE_FUNC(void) EOS_Auth_IdToken_Release(EOS_Auth_IdToken* IdToken);
