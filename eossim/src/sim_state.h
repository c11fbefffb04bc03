// The EOS stand-in's store, shared by the files of each interface it serves: the handles' own
// structs, the scenario's data, and the one lock every entry point holds while it works. Each
// asynchronous call queues its completion on the platform; EOS_Platform_Tick delivers it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "eos_auth.h"
#include "eos_ecom.h"
#include "eos_integratedplatform.h"
#include "eos_logging.h"
#include "eos_sdk.h"

struct EOS_EpicAccountIdDetails {
    std::string text;
};

struct EOS_AuthHandle {
    EOS_PlatformHandle* platform;
};
struct EOS_ConnectHandle {
    EOS_PlatformHandle* platform;
};
struct EOS_EcomHandle {
    EOS_PlatformHandle* platform;
};

namespace eossim {

struct Entitlement {
    std::string accountId;
    std::string entitlementId;
    std::string entitlementName;
    std::string catalogItemId;
    bool redeemed = false;
    int redemptionCount = 0;
};

struct Pending {
    int ticksLeft = 1;
    std::function<void()> deliver;
};

}  // namespace eossim

struct EOS_PlatformHandle {
    EOS_AuthHandle auth{this};
    EOS_ConnectHandle connect{this};
    EOS_EcomHandle ecom{this};
    std::string sandboxId;
    std::string clientId;
    std::vector<EOS_EpicAccountId> loggedIn;
    std::map<std::string, std::vector<eossim::Entitlement>> queryCache;  // by account id
    std::set<std::string> offersQueried;                          // account ids whose offers are cached
    std::deque<eossim::Pending> pending;
};

struct EOS_IntegratedPlatformOptionsContainerHandle {
    int unused = 0;
};

struct EOS_Ecom_TransactionHandle {
    std::string transactionId;
    std::vector<eossim::Entitlement> entitlements;
};

namespace eossim {

struct Account {
    std::string exchangeCode;
    std::string accountId;
    std::string idToken;
    std::string accessToken;
    // The vendor's exchange codes are one-use: spent by the first login that succeeds in this
    // process (a new process, as a new launch gets a new code, may use it again).
    bool spent = false;
};

struct Offer {
    std::string offerId;
    std::string entitlementName;
    std::string catalogItemId;
    int entitlementsPerCheckout = 1;
};

// Per-entitlement quirks a scenario may ask for: a stale record, or one EOS cannot copy.
struct EntitlementQuirk {
    bool stale = false;
    EOS_EResult copyResult = EOS_EResult::EOS_Success;
};

struct Transaction {
    std::string transactionId;
    std::string accountId;
    std::vector<Entitlement> entitlements;
};

struct Sim {
    std::mutex mutex;
    bool scenarioLoaded = false;
    bool initialized = false;
    bool shutDown = false;
    EOS_LogMessageFunc logCallback = nullptr;
    int defaultLogLevel = static_cast<int>(EOS_ELogLevel::EOS_LOG_Warning);
    std::map<int, int> logLevels;

    std::vector<Account> accounts;
    std::vector<Offer> offers;
    bool anyOffer = false;
    std::vector<Entitlement> entitlements;
    std::map<std::string, EntitlementQuirk> quirks;
    std::map<std::string, Transaction> transactions;
    bool failPlatformCreate = false;
    bool staleEntitlements = false;
    bool checkoutGrantsOnFailure = false;
    std::map<std::string, EOS_EResult, std::less<>> failures;
    int loginTicks = 1;
    int checkoutTicks = 1;
    std::string stateFile;
    uint64_t counter = 0;
    uint64_t idSeed = 0;

    std::map<std::string, int, std::less<>> calls;
    int offTickThreadCalls = 0;
    // EOS_Platform_Tick called from inside a completion that a tick delivers: the real SDK
    // does not allow it.
    int nestedTicks = 0;
    bool ticked = false;
    std::thread::id tickThread;

    std::set<EOS_PlatformHandle*> platforms;
    std::set<EOS_IntegratedPlatformOptionsContainerHandle*> containers;
    std::map<const void*, std::shared_ptr<void>> copies;
    std::map<EOS_Ecom_HTransaction, std::unique_ptr<EOS_Ecom_TransactionHandle>> transactionHandles;
    std::map<std::string, std::unique_ptr<EOS_EpicAccountIdDetails>> accountIds;
};

// The one store of the process; never destroyed (the game's threads may still call in while
// the process ends).
Sim& S();

using Lock = std::unique_lock<std::mutex>;

// Every entry point takes the lock through this: it loads the scenario on first use, counts
// the call and notes calls made off the ticking thread.
Lock Enter(std::string_view function);
// Counts a call to function (lock held).
void CountCall(Sim& sim, std::string_view function);
// The failure the scenario asks for in place of what (e.g. "checkout"), or EOS_Success.
EOS_EResult Failure(const Sim& sim, std::string_view what);
// A new id of 32 lower-case hex digits, unique across the processes sharing a state file.
std::string NewHexId(Sim& sim);
// The one account id object for text, made on first use.
EOS_EpicAccountId InternId(Sim& sim, const std::string& text);
bool IsLiveId(const Sim& sim, EOS_EpicAccountId id);
bool IsLoggedIn(const EOS_PlatformHandle* platform, EOS_EpicAccountId id);
// platform when it has not been released, else null.
EOS_PlatformHandle* Live(Sim& sim, EOS_PlatformHandle* platform);
EOS_PlatformHandle* PlatformOf(Sim& sim, EOS_HAuth auth);
EOS_PlatformHandle* PlatformOf(Sim& sim, EOS_HEcom ecom);
const Offer* OfferById(const Sim& sim, const std::string& id);
// Queues a completion for the platform's ticks-th tick from now.
void Queue(EOS_PlatformHandle* platform, int ticks, std::function<void()> deliver);
// Copies text into the caller's buffer as EOS does (the length with the terminator).
EOS_EResult CopyText(const std::string& text, char* buffer, int32_t* length);

// The opening of every asynchronous entry point: the lock, taken through Enter and held while
// the object lives, and the live platform of the handle. platform is null when the handle is
// not a live interface or no completion was given: the call then does nothing, as there is
// nowhere to deliver a result. For a call made for Options->LocalUserId, user is that user and
// result what the checks every such call opens with found: InvalidParameters without options,
// InvalidUser when the user is not logged in on the platform, else Success (the call's own
// checks follow).
struct AsyncCall {
    Lock lock;
    EOS_PlatformHandle* platform = nullptr;
    EOS_EpicAccountId user = nullptr;
    EOS_EResult result = EOS_EResult::EOS_Success;
};

AsyncCall EnterAsync(std::string_view function, EOS_HAuth handle, bool hasCompletion);
AsyncCall EnterAsync(std::string_view function, EOS_HEcom handle, bool hasCompletion);

template <typename Options>
AsyncCall EnterAsyncForUser(std::string_view function, EOS_HEcom handle, const Options* options,
                            bool hasCompletion) {
    AsyncCall call = EnterAsync(function, handle, hasCompletion);
    if (call.platform == nullptr) return call;
    call.user = options != nullptr ? options->LocalUserId : nullptr;
    if (options == nullptr) {
        call.result = EOS_EResult::EOS_InvalidParameters;
    } else if (!IsLoggedIn(call.platform, call.user)) {
        call.result = EOS_EResult::EOS_InvalidUser;
    }
    return call;
}

// The name of a result ("EOS_Canceled"), or null for one the stand-in does not know.
const char* ResultName(EOS_EResult result);
// The result of that name; false for an unknown name.
bool ResultFromName(const std::string& name, EOS_EResult& result);

// A log line for the game's callback, sent after the lock is released.
struct LogLine {
    EOS_LogMessageFunc callback = nullptr;
    std::string category;
    std::string message;
    EOS_ELogLevel level = EOS_ELogLevel::EOS_LOG_Off;
};

// The line for the game's log callback, empty when the callback or the level leaves it out.
LogLine PrepareLog(const Sim& sim, EOS_ELogCategory category, const char* categoryName, EOS_ELogLevel level,
                   std::string message);
// Sends the line; call it with the lock released.
void Emit(const LogLine& line);

}  // namespace eossim
