// LaunchArgs (the launcher's command line) and EpicLoginService (Epic login by exchange code).
#pragma once

#include <map>
#include <memory>
#include <string>

#include "eos_auth.h"
#include "service/EosCompletion.h"

namespace VondSdk {

// The process-wide table of launcher options, e.g. "AUTH_PASSWORD", "epicsandboxid",
// "epicdeploymentid". Names are case-sensitive; the first value given for a name wins, also
// across several Parse calls. Thread-safe.
class LaunchArgs {
public:
    // Adds the options of commandLine to the table (start-up).
    static void Parse(const std::wstring& commandLine);
    // The value of name, "__FLAG__" for an option given without value, "" when absent.
    static std::wstring Get(const std::wstring& name);
    // The table one command line gives on its own (pure; for tests and tools).
    static std::map<std::wstring, std::wstring> ParseTable(const std::wstring& commandLine);
};

// The result of a successful Epic login; an empty pointer means the login failed.
struct LoginInfo {
    std::string puserId;   // Epic account id, 32 hex digits
    std::string jwtToken;  // Epic ID token (JSON Web Token)
};

using LoginCompletion = std::function<void(std::shared_ptr<LoginInfo>)>;

// One Epic login. Create in shared ownership (std::make_shared); the object keeps itself
// alive until its completion has run.
class EpicLoginService : public std::enable_shared_from_this<EpicLoginService> {
public:
    // Logs in with the launcher's exchange code. Any thread. The completion is called exactly
    // once per accepted call: at once on this thread, with an empty pointer, while another
    // login runs or when there is no platform; otherwise on the ticking thread inside
    // UpdateSDKEvent, or, when EOS is shut down before that tick, with an empty pointer on the
    // thread that shuts it down. An empty completion makes the call do nothing.
    void login(std::string exchangeCode, const LoginCompletion& completion);

    // The Epic user access token of the logged-in account, or "". Makes EOS calls: inside
    // UpdateSDKEvent (an EOS completion) it answers at once; from another thread it waits for
    // the next tick (bounded) and answers "" if the game does not tick.
    static std::string getAccessToken();

    // The account of the last successful login (what EOS gives for index 0), or null. No EOS
    // call: any thread may ask, e.g. a pool worker about to start a checkout.
    static EOS_EpicAccountId getLoggedInAccountId();
    // Forgets the account (EOS shut down).
    static void clearLoggedInAccount();

    // True from an accepted login until it ends; cleared just before its completion is called.
    // Any thread.
    static bool isLoggingIn();

private:
    static void EOS_CALL LoginCompleteCallbackFn(const EOS_Auth_LoginCallbackInfo* data);
    // The ID token of the account EOS just logged in (ticking thread); empty on failure.
    std::shared_ptr<LoginInfo> readLogin(EOS_EpicAccountId account, EOS_EResult result) const;
    void finish(std::shared_ptr<LoginInfo> result);

    EosCompletion<EpicLoginService, std::shared_ptr<LoginInfo>> completion_;
    std::string exchangeCode_;
    EOS_HAuth auth_ = nullptr;
};

}  // namespace VondSdk
