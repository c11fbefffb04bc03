// Auth interface functions.
#pragma once

#include "eos_auth_types.h"
#include "eos_types.h"

// One completion, delivered inside EOS_Platform_Tick.
EOS_DECLARE_FUNC(void) EOS_Auth_Login(EOS_HAuth Handle, const EOS_Auth_LoginOptions* Options, void* ClientData,
                                      const EOS_Auth_OnLoginCallback CompletionDelegate);
EOS_DECLARE_FUNC(int32_t) EOS_Auth_GetLoggedInAccountsCount(EOS_HAuth Handle);
// An index out of range gives an invalid id.
EOS_DECLARE_FUNC(EOS_EpicAccountId) EOS_Auth_GetLoggedInAccountByIndex(EOS_HAuth Handle, int32_t Index);
// The caller owns the token until EOS_Auth_Token_Release.
EOS_DECLARE_FUNC(EOS_EResult) EOS_Auth_CopyUserAuthToken(EOS_HAuth Handle, const EOS_Auth_CopyUserAuthTokenOptions* Options,
                                                         EOS_EpicAccountId LocalUserId, EOS_Auth_Token** OutUserAuthToken);
// The caller owns the token until EOS_Auth_IdToken_Release.
EOS_DECLARE_FUNC(EOS_EResult) EOS_Auth_CopyIdToken(EOS_HAuth Handle, const EOS_Auth_CopyIdTokenOptions* Options,
                                                   EOS_Auth_IdToken** OutIdToken);
