// Result codes, Epic account ids and the types every interface shares.
#pragma once

#include "eos_base.h"
#include "eos_result.h"

// The enum name of a result ("EOS_Success"); never NULL, not to be freed.
EOS_DECLARE_FUNC(const char*) EOS_EResult_ToString(EOS_EResult Result);
// EOS_FALSE when the callback carrying this result will fire again.
EOS_DECLARE_FUNC(EOS_Bool) EOS_EResult_IsOperationComplete(EOS_EResult Result);

typedef struct EOS_EpicAccountIdDetails* EOS_EpicAccountId;
typedef struct EOS_ProductUserIdDetails* EOS_ProductUserId;
typedef struct EOS_ContinuanceTokenDetails* EOS_ContinuanceToken;

#define EOS_EPICACCOUNTID_MAX_LENGTH 32
#define EOS_PRODUCTUSERID_MAX_LENGTH 32

EOS_DECLARE_FUNC(EOS_Bool) EOS_EpicAccountId_IsValid(EOS_EpicAccountId AccountId);
EOS_DECLARE_FUNC(EOS_EResult) EOS_EpicAccountId_ToString(EOS_EpicAccountId AccountId, char* OutBuffer, int32_t* InOutBufferLength);
EOS_DECLARE_FUNC(EOS_EpicAccountId) EOS_EpicAccountId_FromString(const char* AccountIdString);

// Only the value 0 is used here (external credentials are not part of an exchange-code login).
EOS_ENUM(EOS_EExternalCredentialType,
    EOS_ECT_EPIC = 0
);
