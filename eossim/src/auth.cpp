// The stand-in's auth interface: login by exchange code, the logged-in accounts, and copies
// of their tokens.
#include <memory>
#include <string>

#include "sim_state.h"

using namespace eossim;

namespace {

// Copies handed to the caller, kept until their *_Release.
struct TokenCopy {
    EOS_Auth_Token token{};
    std::string app, clientId, accessToken, expiresAt, refreshToken, refreshExpiresAt;
};
struct IdTokenCopy {
    EOS_Auth_IdToken token{};
    std::string jwt;
};

const Account* AccountById(const Sim& sim, const std::string& id) {
    for (const Account& account : sim.accounts) {
        if (account.accountId == id) return &account;
    }
    return nullptr;
}

std::string IsoTimeFromNow(int seconds) {
    std::time_t when = std::time(nullptr) + seconds;
    std::tm parts{};
#if defined(_WIN32)
    gmtime_s(&parts, &when);
#else
    gmtime_r(&when, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000Z", &parts);
    return text;
}

}  // namespace

EOS_DECLARE_FUNC(void) EOS_Auth_Login(EOS_HAuth Handle, const EOS_Auth_LoginOptions* Options, void* ClientData,
                                      const EOS_Auth_OnLoginCallback CompletionDelegate) {
    AsyncCall call = EnterAsync("EOS_Auth_Login", Handle, CompletionDelegate != nullptr);
    if (call.platform == nullptr) return;
    Sim& sim = S();
    EOS_EResult result = EOS_EResult::EOS_Success;
    std::string accountId;
    const EOS_Auth_Credentials* credentials = Options != nullptr ? Options->Credentials : nullptr;
    if (Options == nullptr || credentials == nullptr) {
        result = EOS_EResult::EOS_InvalidParameters;
    } else if (credentials->Type != EOS_ELoginCredentialType::EOS_LCT_ExchangeCode) {
        result = EOS_EResult::EOS_NotImplemented;
    } else if (credentials->Id != nullptr || credentials->SystemAuthCredentialsOptions != nullptr ||
               credentials->Token == nullptr || *credentials->Token == '\0') {
        // Every field the method does not use must be NULL, and the code must be there.
        result = EOS_EResult::EOS_InvalidParameters;
    } else if ((result = Failure(sim, "login")) == EOS_EResult::EOS_Success) {
        result = EOS_EResult::EOS_Auth_ExchangeCodeNotFound;
        for (const Account& account : sim.accounts) {
            if (account.exchangeCode == credentials->Token && !account.spent) {
                result = EOS_EResult::EOS_Success;
                accountId = account.accountId;
                break;
            }
        }
    }
    const std::string code = result == EOS_EResult::EOS_Success ? std::string(credentials->Token) : std::string();
    Queue(call.platform, sim.loginTicks, [platform = call.platform, result, accountId, code, ClientData, CompletionDelegate] {
        Sim& sim = S();
        EOS_EpicAccountId id = nullptr;
        LogLine line;
        {
            Lock lock(sim.mutex);
            if (result == EOS_EResult::EOS_Success) {
                for (Account& account : sim.accounts) {
                    if (account.exchangeCode == code) account.spent = true;
                }
                id = InternId(sim, accountId);
                if (Live(sim, platform) && !IsLoggedIn(platform, id)) platform->loggedIn.push_back(id);
            } else {
                line = PrepareLog(sim, EOS_ELogCategory::EOS_LC_Auth, "LogEOSAuth", EOS_ELogLevel::EOS_LOG_Warning,
                                  std::string("Login failed: ") + EOS_EResult_ToString(result));
            }
        }
        Emit(line);
        EOS_Auth_LoginCallbackInfo info{};
        info.ResultCode = result;
        info.ClientData = ClientData;
        info.LocalUserId = id;
        info.SelectedAccountId = id;
        CompletionDelegate(&info);
    });
}

EOS_DECLARE_FUNC(int32_t) EOS_Auth_GetLoggedInAccountsCount(EOS_HAuth Handle) {
    Lock lock = Enter("EOS_Auth_GetLoggedInAccountsCount");
    EOS_PlatformHandle* platform = PlatformOf(S(), Handle);
    return platform ? static_cast<int32_t>(platform->loggedIn.size()) : 0;
}

EOS_DECLARE_FUNC(EOS_EpicAccountId) EOS_Auth_GetLoggedInAccountByIndex(EOS_HAuth Handle, int32_t Index) {
    Lock lock = Enter("EOS_Auth_GetLoggedInAccountByIndex");
    EOS_PlatformHandle* platform = PlatformOf(S(), Handle);
    if (platform == nullptr || Index < 0 || static_cast<size_t>(Index) >= platform->loggedIn.size()) return nullptr;
    return platform->loggedIn[static_cast<size_t>(Index)];
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Auth_CopyUserAuthToken(EOS_HAuth Handle, const EOS_Auth_CopyUserAuthTokenOptions* Options,
                                                         EOS_EpicAccountId LocalUserId, EOS_Auth_Token** OutUserAuthToken) {
    Lock lock = Enter("EOS_Auth_CopyUserAuthToken");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || Options == nullptr || OutUserAuthToken == nullptr) return EOS_EResult::EOS_InvalidParameters;
    *OutUserAuthToken = nullptr;
    if (!IsLoggedIn(platform, LocalUserId)) return EOS_EResult::EOS_InvalidUser;
    if (EOS_EResult failure = Failure(sim, "copyUserAuthToken"); failure != EOS_EResult::EOS_Success) return failure;
    const Account* account = AccountById(sim, LocalUserId->text);
    auto copy = std::make_shared<TokenCopy>();
    copy->app = "eossim";
    copy->clientId = platform->clientId;
    copy->accessToken = account ? account->accessToken : "";
    copy->expiresAt = IsoTimeFromNow(7200);
    copy->refreshToken = "eossim-refresh-" + LocalUserId->text;
    copy->refreshExpiresAt = IsoTimeFromNow(28800);
    EOS_Auth_Token& token = copy->token;
    token.ApiVersion = EOS_AUTH_TOKEN_API_LATEST;
    token.App = copy->app.c_str();
    token.ClientId = copy->clientId.c_str();
    token.AccountId = LocalUserId;
    token.AccessToken = copy->accessToken.c_str();
    token.ExpiresIn = 7200.0;
    token.ExpiresAt = copy->expiresAt.c_str();
    token.AuthType = EOS_EAuthTokenType::EOS_ATT_User;
    token.RefreshToken = copy->refreshToken.c_str();
    token.RefreshExpiresIn = 28800.0;
    token.RefreshExpiresAt = copy->refreshExpiresAt.c_str();
    sim.copies[&copy->token] = copy;
    *OutUserAuthToken = &copy->token;
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(void) EOS_Auth_Token_Release(EOS_Auth_Token* AuthToken) {
    Lock lock = Enter("EOS_Auth_Token_Release");
    S().copies.erase(AuthToken);
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Auth_CopyIdToken(EOS_HAuth Handle, const EOS_Auth_CopyIdTokenOptions* Options,
                                                   EOS_Auth_IdToken** OutIdToken) {
    Lock lock = Enter("EOS_Auth_CopyIdToken");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || Options == nullptr || OutIdToken == nullptr) return EOS_EResult::EOS_InvalidParameters;
    *OutIdToken = nullptr;
    if (!IsLoggedIn(platform, Options->AccountId)) return EOS_EResult::EOS_NotFound;
    if (EOS_EResult failure = Failure(sim, "copyIdToken"); failure != EOS_EResult::EOS_Success) return failure;
    const Account* account = AccountById(sim, Options->AccountId->text);
    auto copy = std::make_shared<IdTokenCopy>();
    copy->jwt = account ? account->idToken : "";
    copy->token.ApiVersion = EOS_AUTH_IDTOKEN_API_LATEST;
    copy->token.AccountId = Options->AccountId;
    copy->token.JsonWebToken = copy->jwt.c_str();
    sim.copies[&copy->token] = copy;
    *OutIdToken = &copy->token;
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(void) EOS_Auth_IdToken_Release(EOS_Auth_IdToken* IdToken) {
    Lock lock = Enter("EOS_Auth_IdToken_Release");
    S().copies.erase(IdToken);
}
