#include "service/EpicLoginService.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "easylogging++.h"
#include "eos_sdk.h"
#include "service/EosPlatform.h"
#include "utils/VondLogging.h"

namespace VondSdk {
namespace {

constexpr wchar_t kFlag[] = L"__FLAG__";
constexpr size_t kAccountIdBufferSize = EOS_EPICACCOUNTID_MAX_LENGTH + 1;

constexpr char kNotInitialised[] = "EOS SDK 未初始化或初始化失败";
constexpr char kStillLoggedIn[] = "[EOS SDK] Epic account still logged in, its login is used again";

const EosCallbackTexts kCallbackTexts{
    {{EosLogLine::Level::Info, "[EOS SDK] 登录回调失败, ClientData 为空"},
     {EosLogLine::Level::Info, "[EOS SDK] 登录回调失败, loginService 为空"}},
    "[EOS SDK] login completion"};

std::atomic<bool> g_loggingIn{false};
std::atomic<EOS_EpicAccountId> g_loggedInAccount{nullptr};

struct LaunchArgsTable {
    std::mutex mutex;  // guards commandLine and values
    std::wstring commandLine;
    std::map<std::wstring, std::wstring> values;
};

LaunchArgsTable& Table() {
    static LaunchArgsTable* table = new LaunchArgsTable();
    return *table;
}

// Tokens at single spaces; a token (not the first) that opens with a double quote runs to
// the closing quote and may hold spaces.
std::vector<std::wstring> SplitTokens(const std::wstring& line) {
    std::vector<std::wstring> tokens;
    size_t space = line.find(L' ');
    if (space == std::wstring::npos) {
        tokens.push_back(line);
        return tokens;
    }
    tokens.push_back(line.substr(0, space));
    size_t at = space + 1;
    while (true) {
        if (at < line.size() && line[at] == L'"') {
            const size_t close = line.find(L'"', at + 1);
            if (close == std::wstring::npos) {
                tokens.push_back(line.substr(at + 1));
                break;
            }
            tokens.push_back(line.substr(at + 1, close - at - 1));
            const size_t next = line.find(L' ', close + 1);
            if (next == std::wstring::npos) break;
            at = next + 1;
            continue;
        }
        const size_t next = line.find(L' ', at);
        if (next == std::wstring::npos) {
            tokens.push_back(line.substr(at));
            break;
        }
        tokens.push_back(line.substr(at, next - at));
        at = next + 1;
    }
    return tokens;
}

bool IsOptionPrefix(wchar_t c) {
    return c == L'-' || c == L',' || c == L';' || c == L'\\';
}

void Store(std::map<std::wstring, std::wstring>& table, const std::wstring& name, const std::wstring& value) {
    table.emplace(name, value);  // the first value given for a name wins
}

}  // namespace

std::map<std::wstring, std::wstring> LaunchArgs::ParseTable(const std::wstring& commandLine) {
    std::vector<std::wstring> pieces;
    for (const std::wstring& token : SplitTokens(commandLine)) {
        const size_t equals = token.find(L'=');
        if (equals == std::wstring::npos) {
            pieces.push_back(token);
        } else {
            pieces.push_back(token.substr(0, equals));
            pieces.push_back(token.substr(equals + 1));
        }
    }
    std::map<std::wstring, std::wstring> table;
    std::wstring pending;
    bool hasPending = false;
    for (const std::wstring& piece : pieces) {
        size_t prefix = 0;
        while (prefix < piece.size() && IsOptionPrefix(piece[prefix])) ++prefix;
        const bool isOption = prefix > 0 && prefix < piece.size();
        if (isOption) {
            if (hasPending) Store(table, pending, kFlag);
            pending = piece.substr(prefix);
            hasPending = true;
        } else {
            Store(table, hasPending ? pending : std::wstring(), piece.empty() ? std::wstring(kFlag) : piece);
            pending.clear();
            hasPending = false;
        }
    }
    if (hasPending) Store(table, pending, kFlag);
    return table;
}

void LaunchArgs::Parse(const std::wstring& commandLine) {
    std::map<std::wstring, std::wstring> parsed = ParseTable(commandLine);
    LaunchArgsTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (table.commandLine.empty()) table.commandLine = commandLine;
    for (auto& entry : parsed) table.values.emplace(entry.first, std::move(entry.second));
}

std::wstring LaunchArgs::Get(const std::wstring& name) {
    LaunchArgsTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.values.find(name);
    return it == table.values.end() ? std::wstring() : it->second;
}

void EpicLoginService::login(std::string exchangeCode, const LoginCompletion& completion) {
    if (!completion) return;
    bool idle = false;
    if (!g_loggingIn.compare_exchange_strong(idle, true)) {
        LOG(INFO) << "Is Logging In.";
        completion(nullptr);
        return;
    }
    completion_.hold(*this, completion);
    exchangeCode_ = std::move(exchangeCode);
    if (FPlatform::GetPlatformHandle() == nullptr) {
        LOG(ERROR) << kNotInitialised;
        finish(nullptr);
        return;
    }
    FPlatform::RunOnTickThread([this, keep = completion_.keepAlive()] {
        EOS_HPlatform platform = FPlatform::GetPlatformHandle();
        auth_ = platform != nullptr ? EOS_Platform_GetAuthInterface(platform) : nullptr;
        // The login itself uses only auth; a null connect interface still means EOS is not ready.
        EOS_HConnect connect = platform != nullptr ? EOS_Platform_GetConnectInterface(platform) : nullptr;
        if (auth_ == nullptr || connect == nullptr) {
            LOG(ERROR) << kNotInitialised;
            finish(nullptr);
            return;
        }
        // The launcher's exchange code is spent by its first login: an account still logged in
        // (EOS kept between play sessions, or a second Login of one session) is used as it is.
        EOS_EpicAccountId current = EOS_Auth_GetLoggedInAccountByIndex(auth_, 0);
        if (current != nullptr && EOS_EpicAccountId_IsValid(current) == EOS_TRUE) {
            LOG(INFO) << kStillLoggedIn;
            finish(readLogin(current, EOS_EResult::EOS_Success));
            return;
        }
        LOG(DEBUG) << "[EOS SDK] 使用启动参数登录.";
        EOS_Auth_Credentials credentials{};
        credentials.ApiVersion = EOS_AUTH_CREDENTIALS_API_LATEST;
        credentials.Id = nullptr;
        credentials.Token = exchangeCode_.c_str();
        credentials.Type = EOS_ELoginCredentialType::EOS_LCT_ExchangeCode;
        credentials.SystemAuthCredentialsOptions = nullptr;
        credentials.ExternalType = static_cast<EOS_EExternalCredentialType>(0);
        EOS_Auth_LoginOptions options{};
        options.ApiVersion = EOS_AUTH_LOGIN_API_LATEST;
        options.Credentials = &credentials;
        options.ScopeFlags = EOS_EAuthScopeFlags::EOS_AS_BasicProfile;
        options.LoginFlags = 0;
        EOS_Auth_Login(auth_, &options, this, &EpicLoginService::LoginCompleteCallbackFn);
    });
}

void EOS_CALL EpicLoginService::LoginCompleteCallbackFn(const EOS_Auth_LoginCallbackInfo* data) {
    CompleteFromEos<EpicLoginService>(
        data, kCallbackTexts, [](const EOS_Auth_LoginCallbackInfo*) { LOG(INFO) << "[EOS SDK] 登录 Callback"; },
        [](EpicLoginService& service, const EOS_Auth_LoginCallbackInfo& info) {
            service.finish(service.readLogin(info.LocalUserId, info.ResultCode));
        });
}

std::shared_ptr<LoginInfo> EpicLoginService::readLogin(EOS_EpicAccountId account, EOS_EResult result) const {
    char accountId[kAccountIdBufferSize] = {};
    int32_t length = static_cast<int32_t>(sizeof accountId);
    if (EOS_EpicAccountId_ToString(account, accountId, &length) != EOS_EResult::EOS_Success) {
        LOG(ERROR) << "[EOS SDK] 登录失败: resultCode: " << EOS_EResult_ToString(result);
        return nullptr;
    }
    LOG(INFO) << "[EOS SDK] 登录成功: User ID: " << accountId;

    EOS_Auth_CopyIdTokenOptions tokenOptions{};
    tokenOptions.ApiVersion = EOS_AUTH_COPYIDTOKEN_API_LATEST;
    tokenOptions.AccountId = account;
    EOS_Auth_IdToken* token = nullptr;
    const EOS_EResult tokenResult = EOS_Auth_CopyIdToken(auth_, &tokenOptions, &token);
    if (tokenResult != EOS_EResult::EOS_Success || token == nullptr) {
        LOG(WARNING) << "[EOS SDK] 获取token失败: TokenResult: " << EOS_EResult_ToString(tokenResult);
        return nullptr;
    }
    auto info = std::make_shared<LoginInfo>();
    info->puserId = accountId;
    info->jwtToken = token->JsonWebToken != nullptr ? token->JsonWebToken : "";
    EOS_Auth_IdToken_Release(token);
    KeepOutOfLogTarget(info->jwtToken);
    LOG(INFO) << "[EOS SDK] 登录成功: User ID: " << info->puserId << ", jwtToken: " << info->jwtToken;
    g_loggedInAccount.store(account);
    return info;
}

void EpicLoginService::finish(std::shared_ptr<LoginInfo> result) {
    if (!g_loggingIn.exchange(false)) return;
    completion_.finish(std::move(result));
}

std::string EpicLoginService::getAccessToken() {
    return FPlatform::CallOnTickThread<std::string>(
        [] {
            EOS_HPlatform platform = FPlatform::GetPlatformHandle();
            EOS_HAuth auth = platform != nullptr ? EOS_Platform_GetAuthInterface(platform) : nullptr;
            if (auth == nullptr) return std::string();
            EOS_EpicAccountId account = EOS_Auth_GetLoggedInAccountByIndex(auth, 0);
            if (account == nullptr || EOS_EpicAccountId_IsValid(account) == EOS_FALSE) {
                LOG(INFO) << "[EOS SDK] 获取 accessToken 失败, accountId 为空";
                return std::string();
            }
            EOS_Auth_CopyUserAuthTokenOptions options{};
            options.ApiVersion = EOS_AUTH_COPYUSERAUTHTOKEN_API_LATEST;
            EOS_Auth_Token* token = nullptr;
            const EOS_EResult result = EOS_Auth_CopyUserAuthToken(auth, &options, account, &token);
            if (result != EOS_EResult::EOS_Success || token == nullptr) {
                LOG(INFO) << "[EOS SDK] 获取 accessToken 失败, result=" << EOS_EResult_ToString(result);
                return std::string();
            }
            std::string accessToken = token->AccessToken != nullptr ? token->AccessToken : "";
            EOS_Auth_Token_Release(token);
            KeepOutOfLogTarget(accessToken);
            return accessToken;
        },
        std::string());
}

EOS_EpicAccountId EpicLoginService::getLoggedInAccountId() {
    return g_loggedInAccount.load();
}

void EpicLoginService::clearLoggedInAccount() {
    g_loggedInAccount.store(nullptr);
}

bool EpicLoginService::isLoggingIn() {
    return g_loggingIn.load();
}

}  // namespace VondSdk
