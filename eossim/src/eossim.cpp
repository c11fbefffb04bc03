// The EOS stand-in: a small, thread-safe EOS built under the real library's name. It keeps
// accounts keyed by exchange code, catalogue offers, transactions and per-account
// entitlements, and answers every asynchronous call only inside EOS_Platform_Tick, on the
// ticking thread, as the real SDK does. The scenario (eossim/README.md) chooses the data and
// the failures; with a state file, entitlements outlive the process like a real store's.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "eos_auth.h"
#include "eos_ecom.h"
#include "eos_integratedplatform.h"
#include "eos_logging.h"
#include "eos_sdk.h"
#include "eossim.h"
#include "sim_files.h"

using nlohmann::json;

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

namespace {

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

}  // namespace

struct EOS_PlatformHandle {
    EOS_AuthHandle auth{this};
    EOS_ConnectHandle connect{this};
    EOS_EcomHandle ecom{this};
    std::string sandboxId;
    std::string clientId;
    std::vector<EOS_EpicAccountId> loggedIn;
    std::map<std::string, std::vector<Entitlement>> queryCache;  // by account id
    std::set<std::string> offersQueried;                          // account ids whose offers are cached
    std::deque<Pending> pending;
};

struct EOS_IntegratedPlatformOptionsContainerHandle {
    int unused = 0;
};

struct EOS_Ecom_TransactionHandle {
    std::string transactionId;
    std::vector<Entitlement> entitlements;
};

namespace {

struct Account {
    std::string exchangeCode;
    std::string accountId;
    std::string idToken;
    std::string accessToken;
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

// Copies handed to the caller, kept until their *_Release.
struct TokenCopy {
    EOS_Auth_Token token{};
    std::string app, clientId, accessToken, expiresAt, refreshToken, refreshExpiresAt;
};
struct IdTokenCopy {
    EOS_Auth_IdToken token{};
    std::string jwt;
};
struct EntitlementCopy {
    EOS_Ecom_Entitlement entitlement{};
    std::string name, id, catalogItemId;
};
struct OfferCopy {
    EOS_Ecom_CatalogOffer offer{};
    std::string catalogNamespace, id, title;
};
struct ItemCopy {
    EOS_Ecom_CatalogItem item{};
    std::string catalogNamespace, id, entitlementName, title;
};

constexpr char kDefaultScenario[] = R"({
  "accounts": [{"exchangeCode": "eossim-exchange-code", "accountId": "e05a1d2f3c4b5a69788796a5b4c3d2e1",
                "idToken": "eyJhbGciOiJub25lIn0.eyJzdWIiOiJlMDVhMWQyZjNjNGI1YTY5Nzg4Nzk2YTViNGMzZDJlMSJ9.",
                "accessToken": "eossim-access-token"}],
  "offers": [{"offerId": "eossim-offer", "entitlementName": "eossim-item", "catalogItemId": "eossim-catalog-item",
              "entitlementsPerCheckout": 1}],
  "anyOffer": true
})";

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

Sim& S() {
    // Never destroyed: the game's threads may still call in while the process ends.
    static Sim* sim = new Sim();
    return *sim;
}

using Lock = std::unique_lock<std::mutex>;

// ---- result names ----

struct ResultName {
    EOS_EResult value;
    const char* name;
};

#define EOSSIM_RESULT(name) {EOS_EResult::name, #name}
const ResultName kResultNames[] = {
    EOSSIM_RESULT(EOS_Success), EOSSIM_RESULT(EOS_NoConnection), EOSSIM_RESULT(EOS_InvalidCredentials),
    EOSSIM_RESULT(EOS_InvalidUser), EOSSIM_RESULT(EOS_InvalidAuth), EOSSIM_RESULT(EOS_AccessDenied),
    EOSSIM_RESULT(EOS_MissingPermissions), EOSSIM_RESULT(EOS_Token_Not_Account), EOSSIM_RESULT(EOS_TooManyRequests),
    EOSSIM_RESULT(EOS_AlreadyPending), EOSSIM_RESULT(EOS_InvalidParameters), EOSSIM_RESULT(EOS_InvalidRequest),
    EOSSIM_RESULT(EOS_UnrecognizedResponse), EOSSIM_RESULT(EOS_IncompatibleVersion), EOSSIM_RESULT(EOS_NotConfigured),
    EOSSIM_RESULT(EOS_AlreadyConfigured), EOSSIM_RESULT(EOS_NotImplemented), EOSSIM_RESULT(EOS_Canceled),
    EOSSIM_RESULT(EOS_NotFound), EOSSIM_RESULT(EOS_OperationWillRetry), EOSSIM_RESULT(EOS_NoChange),
    EOSSIM_RESULT(EOS_VersionMismatch), EOSSIM_RESULT(EOS_LimitExceeded), EOSSIM_RESULT(EOS_Disabled),
    EOSSIM_RESULT(EOS_DuplicateNotAllowed), EOSSIM_RESULT(EOS_MissingParameters_DEPRECATED),
    EOSSIM_RESULT(EOS_InvalidSandboxId), EOSSIM_RESULT(EOS_TimedOut), EOSSIM_RESULT(EOS_PartialResult),
    EOSSIM_RESULT(EOS_Missing_Role), EOSSIM_RESULT(EOS_Missing_Feature), EOSSIM_RESULT(EOS_Invalid_Sandbox),
    EOSSIM_RESULT(EOS_Invalid_Deployment), EOSSIM_RESULT(EOS_Invalid_Product), EOSSIM_RESULT(EOS_Invalid_ProductUserID),
    EOSSIM_RESULT(EOS_ServiceFailure), EOSSIM_RESULT(EOS_CacheDirectoryMissing), EOSSIM_RESULT(EOS_CacheDirectoryInvalid),
    EOSSIM_RESULT(EOS_InvalidState), EOSSIM_RESULT(EOS_RequestInProgress), EOSSIM_RESULT(EOS_Auth_AccountLocked),
    EOSSIM_RESULT(EOS_Auth_InvalidRefreshToken), EOSSIM_RESULT(EOS_Auth_InvalidToken),
    EOSSIM_RESULT(EOS_Auth_AuthenticationFailure), EOSSIM_RESULT(EOS_Auth_Expired), EOSSIM_RESULT(EOS_Auth_PinGrantCode),
    EOSSIM_RESULT(EOS_Auth_ExchangeCodeNotFound), EOSSIM_RESULT(EOS_Auth_OriginatingExchangeCodeSessionExpired),
    EOSSIM_RESULT(EOS_Ecom_EntitlementStale), EOSSIM_RESULT(EOS_Ecom_CatalogOfferStale),
    EOSSIM_RESULT(EOS_Ecom_CatalogItemStale), EOSSIM_RESULT(EOS_Ecom_CatalogOfferPriceInvalid),
    EOSSIM_RESULT(EOS_Ecom_CheckoutLoadError), EOSSIM_RESULT(EOS_Ecom_PurchaseProcessing),
    EOSSIM_RESULT(EOS_Ecom_CatalogOfferInvalid), EOSSIM_RESULT(EOS_UnexpectedError),
};
#undef EOSSIM_RESULT

// A result given in a scenario: its name ("EOS_Canceled") or its number.
bool ResultFromJson(const json& value, EOS_EResult& result) {
    if (value.is_number_integer()) {
        result = static_cast<EOS_EResult>(value.get<int32_t>());
        return true;
    }
    if (!value.is_string()) return false;
    const std::string name = value.get<std::string>();
    for (const ResultName& entry : kResultNames) {
        if (name == entry.name) {
            result = entry.value;
            return true;
        }
    }
    return false;
}

// ---- scenario and state ----

std::string Str(const json& object, const char* key) {
    auto it = object.find(key);
    return (it != object.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

bool Bool(const json& object, const char* key, bool fallback = false) {
    auto it = object.find(key);
    if (it == object.end()) return fallback;
    if (it->is_boolean()) return it->get<bool>();
    if (it->is_number_integer()) return it->get<int64_t>() != 0;
    return fallback;
}

int Int(const json& object, const char* key, int fallback) {
    auto it = object.find(key);
    return (it != object.end() && it->is_number_integer()) ? it->get<int>() : fallback;
}

json EntitlementJson(const Entitlement& e) {
    return json{{"accountId", e.accountId},     {"entitlementId", e.entitlementId},
                {"entitlementName", e.entitlementName}, {"catalogItemId", e.catalogItemId},
                {"redeemed", e.redeemed},       {"redemptionCount", e.redemptionCount}};
}

bool EntitlementFromJson(const json& item, Entitlement& e) {
    if (!item.is_object()) return false;
    e.accountId = Str(item, "accountId");
    e.entitlementId = Str(item, "entitlementId");
    e.entitlementName = Str(item, "entitlementName");
    e.catalogItemId = Str(item, "catalogItemId");
    e.redeemed = Bool(item, "redeemed");
    e.redemptionCount = Int(item, "redemptionCount", e.redeemed ? 1 : 0);
    return !e.accountId.empty() && !e.entitlementId.empty();
}

// Reads the state file into the store. A missing or unreadable file changes nothing: the
// file is only ever replaced whole, so anything else would be a hand-made one.
void LoadStateLocked(Sim& sim) {
    if (sim.stateFile.empty()) return;
    std::string text;
    if (!eossim::ReadWholeFile(sim.stateFile, text)) return;
    json state = json::parse(text, nullptr, false);
    if (state.is_discarded() || !state.is_object()) return;
    auto list = state.find("entitlements");
    if (list == state.end() || !list->is_array()) return;
    std::vector<Entitlement> loaded;
    for (const json& item : *list) {
        Entitlement e;
        if (EntitlementFromJson(item, e)) loaded.push_back(std::move(e));
    }
    sim.entitlements = std::move(loaded);
    auto counter = state.find("counter");
    if (counter != state.end() && counter->is_number_unsigned()) {
        sim.counter = std::max(sim.counter, counter->get<uint64_t>());
    }
}

void SaveStateLocked(Sim& sim) {
    if (sim.stateFile.empty()) return;
    json list = json::array();
    for (const Entitlement& e : sim.entitlements) list.push_back(EntitlementJson(e));
    // The catalogue travels with the entitlements, so that a backend checking a purchase
    // (the devserver's --eos-state) can tell which offer an entitlement came from.
    json offers = json::array();
    for (const Offer& offer : sim.offers) {
        offers.push_back({{"offerId", offer.offerId},
                          {"entitlementName", offer.entitlementName},
                          {"catalogItemId", offer.catalogItemId}});
    }
    json state{{"version", 1},        {"counter", sim.counter},      {"entitlements", std::move(list)},
               {"offers", std::move(offers)}, {"anyOffer", sim.anyOffer}};
    if (!eossim::ReplaceFileAtomically(sim.stateFile, state.dump(1))) {
        std::fprintf(stderr, "eossim: cannot write the state file %s\n", sim.stateFile.c_str());
    }
}

bool LoadScenarioLocked(Sim& sim, const std::string& text) {
    json scenario = json::parse(text, nullptr, false);
    if (scenario.is_discarded() || !scenario.is_object()) return false;

    sim.accounts.clear();
    sim.offers.clear();
    sim.entitlements.clear();
    sim.quirks.clear();
    sim.transactions.clear();
    sim.failures.clear();
    sim.calls.clear();
    sim.offTickThreadCalls = 0;
    sim.nestedTicks = 0;
    sim.ticked = false;

    if (auto it = scenario.find("accounts"); it != scenario.end() && it->is_array()) {
        for (const json& item : *it) {
            if (!item.is_object()) continue;
            Account account{Str(item, "exchangeCode"), Str(item, "accountId"), Str(item, "idToken"),
                            Str(item, "accessToken")};
            if (account.accountId.empty()) continue;
            if (account.idToken.empty()) account.idToken = "eossim-id-token-" + account.accountId;
            if (account.accessToken.empty()) account.accessToken = "eossim-access-token-" + account.accountId;
            sim.accounts.push_back(std::move(account));
        }
    }
    if (auto it = scenario.find("offers"); it != scenario.end() && it->is_array()) {
        for (const json& item : *it) {
            if (!item.is_object()) continue;
            Offer offer{Str(item, "offerId"), Str(item, "entitlementName"), Str(item, "catalogItemId"),
                        Int(item, "entitlementsPerCheckout", 1)};
            if (offer.offerId.empty()) continue;
            if (offer.entitlementName.empty()) offer.entitlementName = offer.offerId;
            if (offer.catalogItemId.empty()) offer.catalogItemId = offer.offerId;
            sim.offers.push_back(std::move(offer));
        }
    }
    if (auto it = scenario.find("entitlements"); it != scenario.end() && it->is_array()) {
        for (const json& item : *it) {
            Entitlement e;
            if (!EntitlementFromJson(item, e)) continue;
            EntitlementQuirk quirk;
            quirk.stale = Bool(item, "stale");
            if (auto copy = item.find("copyResult"); copy != item.end()) ResultFromJson(*copy, quirk.copyResult);
            sim.quirks[e.entitlementId] = quirk;
            sim.entitlements.push_back(std::move(e));
        }
    }
    sim.anyOffer = Bool(scenario, "anyOffer");
    sim.loginTicks = std::max(1, Int(scenario, "loginTicks", 1));
    sim.checkoutTicks = std::max(1, Int(scenario, "checkoutTicks", 1));
    sim.failPlatformCreate = false;
    sim.staleEntitlements = false;
    sim.checkoutGrantsOnFailure = false;
    if (auto it = scenario.find("failures"); it != scenario.end() && it->is_object()) {
        for (auto entry = it->begin(); entry != it->end(); ++entry) {
            if (entry.key() == "platformCreate") {
                sim.failPlatformCreate = entry->is_boolean() && entry->get<bool>();
            } else if (entry.key() == "staleEntitlements") {
                sim.staleEntitlements = entry->is_boolean() && entry->get<bool>();
            } else if (entry.key() == "checkoutGrantsOnFailure") {
                sim.checkoutGrantsOnFailure = entry->is_boolean() && entry->get<bool>();
            } else {
                EOS_EResult result;
                if (ResultFromJson(*entry, result) && result != EOS_EResult::EOS_Success) {
                    sim.failures[entry.key()] = result;
                }
            }
        }
    }
    sim.stateFile = Str(scenario, "stateFile");
    LoadStateLocked(sim);
    sim.scenarioLoaded = true;
    return true;
}

void EnsureScenarioLocked(Sim& sim) {
    if (sim.scenarioLoaded) return;
    std::random_device device;
    sim.idSeed = (static_cast<uint64_t>(device()) << 32) ^ device() ^
                 static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::string text = kDefaultScenario;
    if (const char* path = std::getenv("VOND_EOSSIM_SCENARIO"); path != nullptr && *path != '\0') {
        std::string fileText;
        if (eossim::ReadWholeFile(path, fileText)) {
            text = fileText;
        } else {
            std::fprintf(stderr, "eossim: cannot read the scenario %s; using the default one\n", path);
        }
    }
    if (!LoadScenarioLocked(sim, text)) {
        std::fprintf(stderr, "eossim: the scenario is not a JSON object; using the default one\n");
        LoadScenarioLocked(sim, kDefaultScenario);
    }
}

// Every entry point counts itself and notes calls made off the ticking thread.
Lock Enter(std::string_view function) {
    Sim& sim = S();
    Lock lock(sim.mutex);
    EnsureScenarioLocked(sim);
    auto it = sim.calls.find(function);
    if (it == sim.calls.end()) it = sim.calls.emplace(std::string(function), 0).first;
    ++it->second;
    if (sim.ticked && std::this_thread::get_id() != sim.tickThread) ++sim.offTickThreadCalls;
    return lock;
}

EOS_EResult Failure(const Sim& sim, std::string_view what) {
    auto it = sim.failures.find(what);
    return it == sim.failures.end() ? EOS_EResult::EOS_Success : it->second;
}

// A new id of 32 lower-case hex digits, unique across the processes sharing a state file.
std::string NewHexId(Sim& sim) {
    ++sim.counter;
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(sim.idSeed),
                  static_cast<unsigned long long>(sim.counter));
    return text;
}

EOS_EpicAccountId InternId(Sim& sim, const std::string& text) {
    auto& slot = sim.accountIds[text];
    if (!slot) slot.reset(new EOS_EpicAccountIdDetails{text});
    return slot.get();
}

bool IsLiveId(const Sim& sim, EOS_EpicAccountId id) {
    if (id == nullptr) return false;
    auto it = sim.accountIds.find(id->text);
    return it != sim.accountIds.end() && it->second.get() == id;
}

bool IsLoggedIn(const EOS_PlatformHandle* platform, EOS_EpicAccountId id) {
    return id != nullptr && std::find(platform->loggedIn.begin(), platform->loggedIn.end(), id) != platform->loggedIn.end();
}

EOS_PlatformHandle* Live(Sim& sim, EOS_PlatformHandle* platform) {
    return (platform != nullptr && sim.platforms.count(platform) != 0) ? platform : nullptr;
}

const Account* AccountById(const Sim& sim, const std::string& id) {
    for (const Account& account : sim.accounts) {
        if (account.accountId == id) return &account;
    }
    return nullptr;
}

const Offer* OfferById(const Sim& sim, const std::string& id) {
    for (const Offer& offer : sim.offers) {
        if (offer.offerId == id) return &offer;
    }
    return nullptr;
}

void Queue(EOS_PlatformHandle* platform, int ticks, std::function<void()> deliver) {
    platform->pending.push_back(Pending{ticks, std::move(deliver)});
}

// A log line for the game's callback, sent after the lock is released.
struct LogLine {
    EOS_LogMessageFunc callback = nullptr;
    std::string category;
    std::string message;
    EOS_ELogLevel level = EOS_ELogLevel::EOS_LOG_Off;
};

LogLine PrepareLog(const Sim& sim, EOS_ELogCategory category, const char* categoryName, EOS_ELogLevel level,
                   std::string message) {
    LogLine line;
    if (!sim.initialized || sim.shutDown || sim.logCallback == nullptr) return line;
    auto it = sim.logLevels.find(static_cast<int>(category));
    const int configured = it == sim.logLevels.end() ? sim.defaultLogLevel : it->second;
    if (static_cast<int>(level) > configured) return line;
    line.callback = sim.logCallback;
    line.category = categoryName;
    line.message = std::move(message);
    line.level = level;
    return line;
}

void Emit(const LogLine& line) {
    if (line.callback == nullptr) return;
    EOS_LogMessage message{line.category.c_str(), line.message.c_str(), line.level};
    line.callback(&message);
}

bool ValidId(const char* text, size_t maxLength) {
    return text != nullptr && *text != '\0' && std::strlen(text) <= maxLength;
}

EOS_EResult CopyText(const std::string& text, char* buffer, int32_t* length) {
    if (buffer == nullptr || length == nullptr) return EOS_EResult::EOS_InvalidParameters;
    const int32_t needed = static_cast<int32_t>(text.size() + 1);
    if (*length < needed) {
        *length = needed;
        return EOS_EResult::EOS_LimitExceeded;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    *length = needed;
    return EOS_EResult::EOS_Success;
}

EOS_Ecom_Entitlement* CopyEntitlement(Sim& sim, const Entitlement& e) {
    auto copy = std::make_shared<EntitlementCopy>();
    copy->name = e.entitlementName;
    copy->id = e.entitlementId;
    copy->catalogItemId = e.catalogItemId;
    copy->entitlement.ApiVersion = EOS_ECOM_ENTITLEMENT_API_LATEST;
    copy->entitlement.EntitlementName = copy->name.c_str();
    copy->entitlement.EntitlementId = copy->id.c_str();
    copy->entitlement.CatalogItemId = copy->catalogItemId.c_str();
    copy->entitlement.ServerIndex = -1;
    copy->entitlement.bRedeemed = e.redeemed ? EOS_TRUE : EOS_FALSE;
    copy->entitlement.EndTimestamp = EOS_ECOM_ENTITLEMENT_ENDTIMESTAMP_UNDEFINED;
    EOS_Ecom_Entitlement* out = &copy->entitlement;
    sim.copies[out] = copy;
    return out;
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

// ---- results ----

EOS_DECLARE_FUNC(const char*) EOS_EResult_ToString(EOS_EResult Result) {
    for (const ResultName& entry : kResultNames) {
        if (entry.value == Result) return entry.name;
    }
    return "EOS_UnknownResult";
}

EOS_DECLARE_FUNC(EOS_Bool) EOS_EResult_IsOperationComplete(EOS_EResult Result) {
    return Result == EOS_EResult::EOS_OperationWillRetry ? EOS_FALSE : EOS_TRUE;
}

// ---- account ids ----

EOS_DECLARE_FUNC(EOS_Bool) EOS_EpicAccountId_IsValid(EOS_EpicAccountId AccountId) {
    Lock lock = Enter("EOS_EpicAccountId_IsValid");
    return IsLiveId(S(), AccountId) ? EOS_TRUE : EOS_FALSE;
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_EpicAccountId_ToString(EOS_EpicAccountId AccountId, char* OutBuffer,
                                                         int32_t* InOutBufferLength) {
    Lock lock = Enter("EOS_EpicAccountId_ToString");
    if (OutBuffer == nullptr || InOutBufferLength == nullptr) return EOS_EResult::EOS_InvalidParameters;
    if (!IsLiveId(S(), AccountId)) return EOS_EResult::EOS_InvalidUser;
    return CopyText(AccountId->text, OutBuffer, InOutBufferLength);
}

EOS_DECLARE_FUNC(EOS_EpicAccountId) EOS_EpicAccountId_FromString(const char* AccountIdString) {
    Lock lock = Enter("EOS_EpicAccountId_FromString");
    if (AccountIdString == nullptr) return nullptr;
    return InternId(S(), AccountIdString);
}

// ---- SDK lifetime and logging ----

EOS_DECLARE_FUNC(EOS_EResult) EOS_Initialize(const EOS_InitializeOptions* Options) {
    Lock lock = Enter("EOS_Initialize");
    Sim& sim = S();
    if (sim.initialized) return EOS_EResult::EOS_AlreadyConfigured;
    if (Options == nullptr || Options->ApiVersion < 1 || Options->ApiVersion > EOS_INITIALIZE_API_LATEST) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    if (!ValidId(Options->ProductName, 64) || !ValidId(Options->ProductVersion, 64)) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    const bool allocator = Options->AllocateMemoryFunction != nullptr;
    if (!allocator && (Options->ReallocateMemoryFunction != nullptr || Options->ReleaseMemoryFunction != nullptr)) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    if (allocator && (Options->ReallocateMemoryFunction == nullptr || Options->ReleaseMemoryFunction == nullptr)) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    if (Options->Reserved != nullptr) return EOS_EResult::EOS_InvalidParameters;
    sim.initialized = true;
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Shutdown(void) {
    Lock lock = Enter("EOS_Shutdown");
    Sim& sim = S();
    if (!sim.initialized) return EOS_EResult::EOS_NotConfigured;
    if (sim.shutDown) return EOS_EResult::EOS_UnexpectedError;
    sim.shutDown = true;
    sim.logCallback = nullptr;
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Logging_SetCallback(EOS_LogMessageFunc Callback) {
    Lock lock = Enter("EOS_Logging_SetCallback");
    Sim& sim = S();
    if (!sim.initialized || sim.shutDown) return EOS_EResult::EOS_NotConfigured;
    sim.logCallback = Callback;
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Logging_SetLogLevel(EOS_ELogCategory LogCategory, EOS_ELogLevel LogLevel) {
    Lock lock = Enter("EOS_Logging_SetLogLevel");
    Sim& sim = S();
    if (!sim.initialized || sim.shutDown) return EOS_EResult::EOS_NotConfigured;
    if (LogCategory == EOS_ELogCategory::EOS_LC_ALL_CATEGORIES) {
        sim.defaultLogLevel = static_cast<int>(LogLevel);
        sim.logLevels.clear();
    } else {
        sim.logLevels[static_cast<int>(LogCategory)] = static_cast<int>(LogLevel);
    }
    return EOS_EResult::EOS_Success;
}

// ---- integrated platforms ----

EOS_DECLARE_FUNC(EOS_EResult) EOS_IntegratedPlatform_CreateIntegratedPlatformOptionsContainer(
    const EOS_IntegratedPlatform_CreateIntegratedPlatformOptionsContainerOptions* Options,
    EOS_HIntegratedPlatformOptionsContainer* OutIntegratedPlatformOptionsContainerHandle) {
    Lock lock = Enter("EOS_IntegratedPlatform_CreateIntegratedPlatformOptionsContainer");
    if (Options == nullptr || OutIntegratedPlatformOptionsContainerHandle == nullptr) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    if (Options->ApiVersion < 1) return EOS_EResult::EOS_IncompatibleVersion;
    Sim& sim = S();
    if (EOS_EResult failure = Failure(sim, "integratedPlatformContainer"); failure != EOS_EResult::EOS_Success) {
        *OutIntegratedPlatformOptionsContainerHandle = nullptr;
        return failure;
    }
    auto* container = new EOS_IntegratedPlatformOptionsContainerHandle();
    sim.containers.insert(container);
    *OutIntegratedPlatformOptionsContainerHandle = container;
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(void) EOS_IntegratedPlatformOptionsContainer_Release(
    EOS_HIntegratedPlatformOptionsContainer IntegratedPlatformOptionsContainerHandle) {
    Lock lock = Enter("EOS_IntegratedPlatformOptionsContainer_Release");
    Sim& sim = S();
    if (sim.containers.erase(IntegratedPlatformOptionsContainerHandle) != 0) {
        delete IntegratedPlatformOptionsContainerHandle;
    }
}

// ---- platform ----

EOS_DECLARE_FUNC(EOS_HPlatform) EOS_Platform_Create(const EOS_Platform_Options* Options) {
    Lock lock = Enter("EOS_Platform_Create");
    Sim& sim = S();
    auto refuse = [&](const std::string& why) -> EOS_HPlatform {
        LogLine line = PrepareLog(sim, EOS_ELogCategory::EOS_LC_Core, "LogEOS", EOS_ELogLevel::EOS_LOG_Error,
                                  "EOS_Platform_Create failed: " + why);
        lock.unlock();
        Emit(line);
        return nullptr;
    };
    if (!sim.initialized || sim.shutDown) return refuse("the SDK is not initialized");
    if (Options == nullptr || Options->ApiVersion < 1 || Options->ApiVersion > EOS_PLATFORM_OPTIONS_API_LATEST) {
        return refuse("invalid options");
    }
    if (Options->Reserved != nullptr) return refuse("Reserved must be NULL");
    if (!ValidId(Options->ProductId, EOS_PLATFORM_OPTIONS_PRODUCTID_MAX_LENGTH)) return refuse("invalid ProductId");
    if (!ValidId(Options->SandboxId, EOS_PLATFORM_OPTIONS_SANDBOXID_MAX_LENGTH)) return refuse("invalid SandboxId");
    if (!ValidId(Options->DeploymentId, EOS_PLATFORM_OPTIONS_DEPLOYMENTID_MAX_LENGTH)) {
        return refuse("invalid DeploymentId");
    }
    const char* clientId = Options->ClientCredentials.ClientId;
    const char* clientSecret = Options->ClientCredentials.ClientSecret;
    const bool hasId = clientId != nullptr && *clientId != '\0';
    const bool hasSecret = clientSecret != nullptr && *clientSecret != '\0';
    if (hasId != hasSecret) return refuse("client credentials need both an id and a secret");
    if (hasId && (std::strlen(clientId) > 64 || std::strlen(clientSecret) > 64)) {
        return refuse("client credentials too long");
    }
    if (Options->EncryptionKey != nullptr && std::strlen(Options->EncryptionKey) != EOS_PLATFORM_OPTIONS_ENCRYPTIONKEY_LENGTH) {
        return refuse("EncryptionKey must be 64 hex digits");
    }
    if (Options->OverrideCountryCode != nullptr && std::strlen(Options->OverrideCountryCode) > EOS_COUNTRYCODE_MAX_LENGTH) {
        return refuse("invalid OverrideCountryCode");
    }
    if (Options->OverrideLocaleCode != nullptr && std::strlen(Options->OverrideLocaleCode) > EOS_LOCALECODE_MAX_LENGTH) {
        return refuse("invalid OverrideLocaleCode");
    }
    if (sim.failPlatformCreate) return refuse("refused by the scenario");
    auto* platform = new EOS_PlatformHandle();
    platform->sandboxId = Options->SandboxId;
    platform->clientId = hasId ? clientId : "";
    sim.platforms.insert(platform);
    return platform;
}

EOS_DECLARE_FUNC(void) EOS_Platform_Release(EOS_HPlatform Handle) {
    Lock lock = Enter("EOS_Platform_Release");
    Sim& sim = S();
    if (Live(sim, Handle) == nullptr) return;
    sim.platforms.erase(Handle);
    // Completions not yet delivered die with the platform, as with the real SDK.
    std::unique_ptr<EOS_PlatformHandle> gone(Handle);
    std::deque<Pending> dropped;
    dropped.swap(gone->pending);
    lock.unlock();
}

namespace {
thread_local int t_tickDepth = 0;
struct TickDepth {
    TickDepth() { ++t_tickDepth; }
    ~TickDepth() { --t_tickDepth; }
};
}  // namespace

EOS_DECLARE_FUNC(void) EOS_Platform_Tick(EOS_HPlatform Handle) {
    std::vector<std::function<void()>> due;
    TickDepth depth;
    {
        Sim& sim = S();
        Lock lock(sim.mutex);
        EnsureScenarioLocked(sim);
        if (t_tickDepth > 1) ++sim.nestedTicks;
        auto it = sim.calls.find(std::string_view("EOS_Platform_Tick"));
        if (it == sim.calls.end()) it = sim.calls.emplace("EOS_Platform_Tick", 0).first;
        ++it->second;
        sim.ticked = true;
        sim.tickThread = std::this_thread::get_id();
        EOS_PlatformHandle* platform = Live(sim, Handle);
        if (platform == nullptr || platform->pending.empty()) return;
        std::deque<Pending> keep;
        for (Pending& item : platform->pending) {
            if (--item.ticksLeft <= 0) {
                due.push_back(std::move(item.deliver));
            } else {
                keep.push_back(std::move(item));
            }
        }
        platform->pending.swap(keep);
    }
    for (auto& deliver : due) deliver();
}

EOS_DECLARE_FUNC(EOS_HAuth) EOS_Platform_GetAuthInterface(EOS_HPlatform Handle) {
    Lock lock = Enter("EOS_Platform_GetAuthInterface");
    EOS_PlatformHandle* platform = Live(S(), Handle);
    return platform ? &platform->auth : nullptr;
}

EOS_DECLARE_FUNC(EOS_HConnect) EOS_Platform_GetConnectInterface(EOS_HPlatform Handle) {
    Lock lock = Enter("EOS_Platform_GetConnectInterface");
    EOS_PlatformHandle* platform = Live(S(), Handle);
    return platform ? &platform->connect : nullptr;
}

EOS_DECLARE_FUNC(EOS_HEcom) EOS_Platform_GetEcomInterface(EOS_HPlatform Handle) {
    Lock lock = Enter("EOS_Platform_GetEcomInterface");
    EOS_PlatformHandle* platform = Live(S(), Handle);
    return platform ? &platform->ecom : nullptr;
}

// ---- auth ----

namespace {
EOS_PlatformHandle* PlatformOf(Sim& sim, EOS_HAuth auth) {
    return auth != nullptr ? Live(sim, auth->platform) : nullptr;
}
EOS_PlatformHandle* PlatformOf(Sim& sim, EOS_HEcom ecom) {
    return ecom != nullptr ? Live(sim, ecom->platform) : nullptr;
}
}  // namespace

EOS_DECLARE_FUNC(void) EOS_Auth_Login(EOS_HAuth Handle, const EOS_Auth_LoginOptions* Options, void* ClientData,
                                      const EOS_Auth_OnLoginCallback CompletionDelegate) {
    Lock lock = Enter("EOS_Auth_Login");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || CompletionDelegate == nullptr) return;

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
            if (account.exchangeCode == credentials->Token) {
                result = EOS_EResult::EOS_Success;
                accountId = account.accountId;
                break;
            }
        }
    }
    Queue(platform, sim.loginTicks, [platform, result, accountId, ClientData, CompletionDelegate] {
        Sim& sim = S();
        EOS_EpicAccountId id = nullptr;
        LogLine line;
        {
            Lock lock(sim.mutex);
            if (result == EOS_EResult::EOS_Success) {
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

// ---- ecom ----

EOS_DECLARE_FUNC(void) EOS_Ecom_Checkout(EOS_HEcom Handle, const EOS_Ecom_CheckoutOptions* Options, void* ClientData,
                                         const EOS_Ecom_OnCheckoutCallback CompletionDelegate) {
    Lock lock = Enter("EOS_Ecom_Checkout");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || CompletionDelegate == nullptr) return;

    EOS_EResult result = EOS_EResult::EOS_Success;
    EOS_EpicAccountId user = Options != nullptr ? Options->LocalUserId : nullptr;
    std::vector<Offer> bought;
    if (Options == nullptr) {
        result = EOS_EResult::EOS_InvalidParameters;
    } else if (!IsLoggedIn(platform, user)) {
        result = EOS_EResult::EOS_InvalidUser;
    } else if (Options->EntryCount == 0 || Options->EntryCount > EOS_ECOM_CHECKOUT_MAX_ENTRIES || Options->Entries == nullptr) {
        result = EOS_EResult::EOS_InvalidParameters;
    } else {
        for (uint32_t i = 0; i < Options->EntryCount && result == EOS_EResult::EOS_Success; ++i) {
            const char* offerId = Options->Entries[i].OfferId;
            if (offerId == nullptr || *offerId == '\0') {
                result = EOS_EResult::EOS_InvalidParameters;
            } else if (const Offer* offer = OfferById(sim, offerId)) {
                bought.push_back(*offer);
            } else if (sim.anyOffer) {
                bought.push_back(Offer{offerId, offerId, offerId, 1});
            } else {
                result = EOS_EResult::EOS_Ecom_CatalogOfferStale;
            }
        }
        if (result == EOS_EResult::EOS_Success) result = Failure(sim, "checkout");
    }

    // The store grants at "buy", before the overlay answers: a game that dies before the
    // completion finds the purchase unredeemed next time.
    std::string transactionId;
    const bool grant = !bought.empty() && (result == EOS_EResult::EOS_Success || sim.checkoutGrantsOnFailure);
    if (grant) {
        LoadStateLocked(sim);
        Transaction transaction;
        transaction.transactionId = NewHexId(sim);
        transaction.accountId = user->text;
        for (const Offer& offer : bought) {
            for (int n = 0; n < std::max(1, offer.entitlementsPerCheckout); ++n) {
                Entitlement e{user->text, NewHexId(sim), offer.entitlementName, offer.catalogItemId, false, 0};
                sim.entitlements.push_back(e);
                transaction.entitlements.push_back(e);
            }
        }
        SaveStateLocked(sim);
        if (result == EOS_EResult::EOS_Success) transactionId = transaction.transactionId;
        sim.transactions[transaction.transactionId] = std::move(transaction);
    }
    Queue(platform, sim.checkoutTicks, [result, user, transactionId, ClientData, CompletionDelegate] {
        EOS_Ecom_CheckoutCallbackInfo info{};
        info.ResultCode = result;
        info.ClientData = ClientData;
        info.LocalUserId = user;
        info.TransactionId = transactionId.empty() ? nullptr : transactionId.c_str();
        CompletionDelegate(&info);
    });
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Ecom_CopyTransactionById(EOS_HEcom Handle, const EOS_Ecom_CopyTransactionByIdOptions* Options,
                                                           EOS_Ecom_HTransaction* OutTransaction) {
    Lock lock = Enter("EOS_Ecom_CopyTransactionById");
    Sim& sim = S();
    if (PlatformOf(sim, Handle) == nullptr || Options == nullptr || OutTransaction == nullptr ||
        Options->TransactionId == nullptr) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    *OutTransaction = nullptr;
    if (EOS_EResult failure = Failure(sim, "copyTransaction"); failure != EOS_EResult::EOS_Success) return failure;
    auto it = sim.transactions.find(Options->TransactionId);
    if (it == sim.transactions.end() || Options->LocalUserId == nullptr ||
        it->second.accountId != Options->LocalUserId->text) {
        return EOS_EResult::EOS_NotFound;
    }
    auto handle = std::make_unique<EOS_Ecom_TransactionHandle>();
    handle->transactionId = it->second.transactionId;
    handle->entitlements = it->second.entitlements;
    *OutTransaction = handle.get();
    sim.transactionHandles[handle.get()] = std::move(handle);
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Ecom_Transaction_GetTransactionId(EOS_Ecom_HTransaction Handle, char* OutBuffer,
                                                                    int32_t* InOutBufferLength) {
    Lock lock = Enter("EOS_Ecom_Transaction_GetTransactionId");
    Sim& sim = S();
    if (sim.transactionHandles.count(Handle) == 0) return EOS_EResult::EOS_InvalidParameters;
    return CopyText(Handle->transactionId, OutBuffer, InOutBufferLength);
}

EOS_DECLARE_FUNC(uint32_t) EOS_Ecom_Transaction_GetEntitlementsCount(
    EOS_Ecom_HTransaction Handle, const EOS_Ecom_Transaction_GetEntitlementsCountOptions* Options) {
    Lock lock = Enter("EOS_Ecom_Transaction_GetEntitlementsCount");
    Sim& sim = S();
    if (Options == nullptr || sim.transactionHandles.count(Handle) == 0) return 0;
    return static_cast<uint32_t>(Handle->entitlements.size());
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Ecom_Transaction_CopyEntitlementByIndex(
    EOS_Ecom_HTransaction Handle, const EOS_Ecom_Transaction_CopyEntitlementByIndexOptions* Options,
    EOS_Ecom_Entitlement** OutEntitlement) {
    Lock lock = Enter("EOS_Ecom_Transaction_CopyEntitlementByIndex");
    Sim& sim = S();
    if (Options == nullptr || OutEntitlement == nullptr || sim.transactionHandles.count(Handle) == 0) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    *OutEntitlement = nullptr;
    if (Options->EntitlementIndex >= Handle->entitlements.size()) return EOS_EResult::EOS_NotFound;
    if (EOS_EResult failure = Failure(sim, "copyTransactionEntitlement"); failure != EOS_EResult::EOS_Success) {
        return failure;
    }
    *OutEntitlement = CopyEntitlement(sim, Handle->entitlements[Options->EntitlementIndex]);
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(void) EOS_Ecom_Transaction_Release(EOS_Ecom_HTransaction Transaction) {
    Lock lock = Enter("EOS_Ecom_Transaction_Release");
    S().transactionHandles.erase(Transaction);
}

EOS_DECLARE_FUNC(void) EOS_Ecom_Entitlement_Release(EOS_Ecom_Entitlement* Entitlement) {
    Lock lock = Enter("EOS_Ecom_Entitlement_Release");
    S().copies.erase(Entitlement);
}

EOS_DECLARE_FUNC(void) EOS_Ecom_QueryEntitlements(EOS_HEcom Handle, const EOS_Ecom_QueryEntitlementsOptions* Options,
                                                  void* ClientData, const EOS_Ecom_OnQueryEntitlementsCallback CompletionDelegate) {
    Lock lock = Enter("EOS_Ecom_QueryEntitlements");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || CompletionDelegate == nullptr) return;

    EOS_EResult result = EOS_EResult::EOS_Success;
    EOS_EpicAccountId user = Options != nullptr ? Options->LocalUserId : nullptr;
    std::vector<std::string> names;
    bool includeRedeemed = false;
    if (Options == nullptr) {
        result = EOS_EResult::EOS_InvalidParameters;
    } else if (!IsLoggedIn(platform, user)) {
        result = EOS_EResult::EOS_InvalidUser;
    } else if (Options->EntitlementNameCount > EOS_ECOM_QUERYENTITLEMENTS_MAX_ENTITLEMENT_IDS ||
               (Options->EntitlementNameCount > 0 && Options->EntitlementNames == nullptr)) {
        result = EOS_EResult::EOS_InvalidParameters;
    } else {
        for (uint32_t i = 0; i < Options->EntitlementNameCount; ++i) {
            if (Options->EntitlementNames[i] != nullptr) names.emplace_back(Options->EntitlementNames[i]);
        }
        includeRedeemed = Options->bIncludeRedeemed != EOS_FALSE;
        result = Failure(sim, "queryEntitlements");
    }
    Queue(platform, 1, [platform, result, user, names, includeRedeemed, ClientData, CompletionDelegate] {
        Sim& sim = S();
        if (result == EOS_EResult::EOS_Success) {
            // The answer reflects the store when it arrives.
            Lock lock(sim.mutex);
            LoadStateLocked(sim);
            if (Live(sim, platform)) {
                std::vector<Entitlement> found;
                for (const Entitlement& e : sim.entitlements) {
                    if (e.accountId != user->text) continue;
                    if (e.redeemed && !includeRedeemed) continue;
                    if (!names.empty() && std::find(names.begin(), names.end(), e.entitlementName) == names.end()) continue;
                    found.push_back(e);
                }
                platform->queryCache[user->text] = std::move(found);
            }
        }
        EOS_Ecom_QueryEntitlementsCallbackInfo info{};
        info.ResultCode = result;
        info.ClientData = ClientData;
        info.LocalUserId = user;
        CompletionDelegate(&info);
    });
}

EOS_DECLARE_FUNC(uint32_t) EOS_Ecom_GetEntitlementsCount(EOS_HEcom Handle, const EOS_Ecom_GetEntitlementsCountOptions* Options) {
    Lock lock = Enter("EOS_Ecom_GetEntitlementsCount");
    EOS_PlatformHandle* platform = PlatformOf(S(), Handle);
    if (platform == nullptr || Options == nullptr || Options->LocalUserId == nullptr) return 0;
    auto it = platform->queryCache.find(Options->LocalUserId->text);
    return it == platform->queryCache.end() ? 0 : static_cast<uint32_t>(it->second.size());
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Ecom_CopyEntitlementByIndex(EOS_HEcom Handle, const EOS_Ecom_CopyEntitlementByIndexOptions* Options,
                                                              EOS_Ecom_Entitlement** OutEntitlement) {
    Lock lock = Enter("EOS_Ecom_CopyEntitlementByIndex");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || Options == nullptr || OutEntitlement == nullptr || Options->LocalUserId == nullptr) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    *OutEntitlement = nullptr;
    auto it = platform->queryCache.find(Options->LocalUserId->text);
    if (it == platform->queryCache.end() || Options->EntitlementIndex >= it->second.size()) return EOS_EResult::EOS_NotFound;
    const Entitlement& e = it->second[Options->EntitlementIndex];
    EntitlementQuirk quirk;
    if (auto q = sim.quirks.find(e.entitlementId); q != sim.quirks.end()) quirk = q->second;
    if (quirk.copyResult != EOS_EResult::EOS_Success && quirk.copyResult != EOS_EResult::EOS_Ecom_EntitlementStale) {
        return quirk.copyResult;
    }
    *OutEntitlement = CopyEntitlement(sim, e);
    const bool stale = sim.staleEntitlements || quirk.stale || quirk.copyResult == EOS_EResult::EOS_Ecom_EntitlementStale;
    return stale ? EOS_EResult::EOS_Ecom_EntitlementStale : EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(void) EOS_Ecom_RedeemEntitlements(EOS_HEcom Handle, const EOS_Ecom_RedeemEntitlementsOptions* Options,
                                                   void* ClientData, const EOS_Ecom_OnRedeemEntitlementsCallback CompletionDelegate) {
    Lock lock = Enter("EOS_Ecom_RedeemEntitlements");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || CompletionDelegate == nullptr) return;

    EOS_EResult result = EOS_EResult::EOS_Success;
    EOS_EpicAccountId user = Options != nullptr ? Options->LocalUserId : nullptr;
    uint32_t redeemed = 0, previously = 0, invalid = 0;
    if (Options == nullptr) {
        result = EOS_EResult::EOS_InvalidParameters;
    } else if (!IsLoggedIn(platform, user)) {
        result = EOS_EResult::EOS_InvalidUser;
    } else if (Options->EntitlementIdCount == 0 || Options->EntitlementIdCount > EOS_ECOM_REDEEMENTITLEMENTS_MAX_IDS ||
               Options->EntitlementIds == nullptr) {
        result = EOS_EResult::EOS_InvalidParameters;
    } else if ((result = Failure(sim, "redeem")) == EOS_EResult::EOS_Success) {
        LoadStateLocked(sim);
        for (uint32_t i = 0; i < Options->EntitlementIdCount; ++i) {
            const char* id = Options->EntitlementIds[i];
            auto it = std::find_if(sim.entitlements.begin(), sim.entitlements.end(), [&](const Entitlement& e) {
                return id != nullptr && e.accountId == user->text && e.entitlementId == id;
            });
            if (it == sim.entitlements.end()) {
                ++invalid;
            } else if (it->redeemed) {
                ++previously;
            } else {
                it->redeemed = true;
                ++it->redemptionCount;
                ++redeemed;
            }
        }
        if (redeemed > 0) SaveStateLocked(sim);
    }
    Queue(platform, 1, [result, user, redeemed, previously, invalid, ClientData, CompletionDelegate] {
        EOS_Ecom_RedeemEntitlementsCallbackInfo info{};
        info.ResultCode = result;
        info.ClientData = ClientData;
        info.LocalUserId = user;
        info.RedeemedEntitlementIdsCount = redeemed;
        info.PreviouslyRedeemedEntitlementIdsCount = previously;
        info.InvalidEntitlementIdsCount = invalid;
        CompletionDelegate(&info);
    });
}

// ---- offers ----

namespace {

// The offer as the catalogue has it; a scenario with "anyOffer" sells every offer id, each
// granting one item of the same name.
bool FindOffer(const Sim& sim, const std::string& id, Offer& offer) {
    if (const Offer* known = OfferById(sim, id)) {
        offer = *known;
        return true;
    }
    if (!sim.anyOffer || id.empty()) return false;
    offer = Offer{id, id, id, 1};
    return true;
}

EOS_Ecom_CatalogOffer* CopyOffer(Sim& sim, const EOS_PlatformHandle* platform, const Offer& offer) {
    auto copy = std::make_shared<OfferCopy>();
    copy->catalogNamespace = platform->sandboxId;
    copy->id = offer.offerId;
    copy->title = offer.offerId;
    EOS_Ecom_CatalogOffer& out = copy->offer;
    out.ApiVersion = EOS_ECOM_CATALOGOFFER_API_LATEST;
    out.ServerIndex = -1;
    out.CatalogNamespace = copy->catalogNamespace.c_str();
    out.Id = copy->id.c_str();
    out.TitleText = copy->title.c_str();
    out.DescriptionText = "";
    out.LongDescriptionText = "";
    out.TechnicalDetailsText_DEPRECATED = "";
    out.CurrencyCode = "USD";
    out.PriceResult = EOS_EResult::EOS_Success;
    out.ExpirationTimestamp = -1;
    out.PurchaseLimit = -1;
    out.bAvailableForPurchase = EOS_TRUE;
    out.OriginalPrice64 = 199;
    out.CurrentPrice64 = 199;
    out.DecimalPoint = 2;
    out.ReleaseDateTimestamp = -1;
    out.EffectiveDateTimestamp = -1;
    sim.copies[&copy->offer] = copy;
    return &copy->offer;
}

// The offer named by id in the account's cached offers (NotFound before QueryOffers).
EOS_EResult CachedOffer(Sim& sim, EOS_PlatformHandle* platform, EOS_EpicAccountId user, const char* id, Offer& offer) {
    if (user == nullptr || id == nullptr) return EOS_EResult::EOS_InvalidParameters;
    if (platform->offersQueried.count(user->text) == 0) return EOS_EResult::EOS_NotFound;
    return FindOffer(sim, id, offer) ? EOS_EResult::EOS_Success : EOS_EResult::EOS_NotFound;
}

}  // namespace

EOS_DECLARE_FUNC(void) EOS_Ecom_QueryOffers(EOS_HEcom Handle, const EOS_Ecom_QueryOffersOptions* Options, void* ClientData,
                                            const EOS_Ecom_OnQueryOffersCallback CompletionDelegate) {
    Lock lock = Enter("EOS_Ecom_QueryOffers");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || CompletionDelegate == nullptr) return;
    EOS_EResult result = EOS_EResult::EOS_Success;
    EOS_EpicAccountId user = Options != nullptr ? Options->LocalUserId : nullptr;
    if (Options == nullptr) {
        result = EOS_EResult::EOS_InvalidParameters;
    } else if (!IsLoggedIn(platform, user)) {
        result = EOS_EResult::EOS_InvalidUser;
    } else {
        result = Failure(sim, "queryOffers");
    }
    Queue(platform, 1, [platform, result, user, ClientData, CompletionDelegate] {
        Sim& sim = S();
        if (result == EOS_EResult::EOS_Success) {
            Lock lock(sim.mutex);
            if (Live(sim, platform)) platform->offersQueried.insert(user->text);
        }
        EOS_Ecom_QueryOffersCallbackInfo info{};
        info.ResultCode = result;
        info.ClientData = ClientData;
        info.LocalUserId = user;
        CompletionDelegate(&info);
    });
}

EOS_DECLARE_FUNC(uint32_t) EOS_Ecom_GetOfferCount(EOS_HEcom Handle, const EOS_Ecom_GetOfferCountOptions* Options) {
    Lock lock = Enter("EOS_Ecom_GetOfferCount");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || Options == nullptr || Options->LocalUserId == nullptr) return 0;
    if (platform->offersQueried.count(Options->LocalUserId->text) == 0) return 0;
    return static_cast<uint32_t>(sim.offers.size());
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Ecom_CopyOfferByIndex(EOS_HEcom Handle, const EOS_Ecom_CopyOfferByIndexOptions* Options,
                                                        EOS_Ecom_CatalogOffer** OutOffer) {
    Lock lock = Enter("EOS_Ecom_CopyOfferByIndex");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || Options == nullptr || OutOffer == nullptr || Options->LocalUserId == nullptr) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    *OutOffer = nullptr;
    if (platform->offersQueried.count(Options->LocalUserId->text) == 0 || Options->OfferIndex >= sim.offers.size()) {
        return EOS_EResult::EOS_NotFound;
    }
    *OutOffer = CopyOffer(sim, platform, sim.offers[Options->OfferIndex]);
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Ecom_CopyOfferById(EOS_HEcom Handle, const EOS_Ecom_CopyOfferByIdOptions* Options,
                                                     EOS_Ecom_CatalogOffer** OutOffer) {
    Lock lock = Enter("EOS_Ecom_CopyOfferById");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || Options == nullptr || OutOffer == nullptr) return EOS_EResult::EOS_InvalidParameters;
    *OutOffer = nullptr;
    Offer offer;
    const EOS_EResult found = CachedOffer(sim, platform, Options->LocalUserId, Options->OfferId, offer);
    if (found != EOS_EResult::EOS_Success) return found;
    *OutOffer = CopyOffer(sim, platform, offer);
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(uint32_t) EOS_Ecom_GetOfferItemCount(EOS_HEcom Handle, const EOS_Ecom_GetOfferItemCountOptions* Options) {
    Lock lock = Enter("EOS_Ecom_GetOfferItemCount");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || Options == nullptr) return 0;
    Offer offer;
    return CachedOffer(sim, platform, Options->LocalUserId, Options->OfferId, offer) == EOS_EResult::EOS_Success ? 1 : 0;
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Ecom_CopyOfferItemByIndex(EOS_HEcom Handle, const EOS_Ecom_CopyOfferItemByIndexOptions* Options,
                                                            EOS_Ecom_CatalogItem** OutItem) {
    Lock lock = Enter("EOS_Ecom_CopyOfferItemByIndex");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || Options == nullptr || OutItem == nullptr) return EOS_EResult::EOS_InvalidParameters;
    *OutItem = nullptr;
    Offer offer;
    const EOS_EResult found = CachedOffer(sim, platform, Options->LocalUserId, Options->OfferId, offer);
    if (found != EOS_EResult::EOS_Success) return found;
    if (Options->ItemIndex != 0) return EOS_EResult::EOS_NotFound;
    if (EOS_EResult failure = Failure(sim, "copyOfferItem"); failure != EOS_EResult::EOS_Success) return failure;
    auto copy = std::make_shared<ItemCopy>();
    copy->catalogNamespace = platform->sandboxId;
    copy->id = offer.catalogItemId;
    copy->entitlementName = offer.entitlementName;
    copy->title = offer.entitlementName;
    EOS_Ecom_CatalogItem& item = copy->item;
    item.ApiVersion = EOS_ECOM_CATALOGITEM_API_LATEST;
    item.CatalogNamespace = copy->catalogNamespace.c_str();
    item.Id = copy->id.c_str();
    item.EntitlementName = copy->entitlementName.c_str();
    item.TitleText = copy->title.c_str();
    item.DescriptionText = "";
    item.LongDescriptionText = "";
    item.TechnicalDetailsText = "";
    item.DeveloperText = "";
    item.ItemType = EOS_EEcomItemType::EOS_EIT_Consumable;
    item.EntitlementEndTimestamp = -1;
    sim.copies[&copy->item] = copy;
    *OutItem = &copy->item;
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(void) EOS_Ecom_CatalogOffer_Release(EOS_Ecom_CatalogOffer* CatalogOffer) {
    Lock lock = Enter("EOS_Ecom_CatalogOffer_Release");
    S().copies.erase(CatalogOffer);
}

EOS_DECLARE_FUNC(void) EOS_Ecom_CatalogItem_Release(EOS_Ecom_CatalogItem* CatalogItem) {
    Lock lock = Enter("EOS_Ecom_CatalogItem_Release");
    S().copies.erase(CatalogItem);
}

// ---- test functions ----

namespace {
int32_t ReturnJson(const json& value, char* buffer, int32_t* length) {
    return static_cast<int32_t>(CopyText(value.dump(), buffer, length));
}
}  // namespace

EOS_DECLARE_FUNC(int32_t) EOSSim_LoadScenario(const char* ScenarioJson) {
    if (ScenarioJson == nullptr) return static_cast<int32_t>(EOS_EResult::EOS_InvalidParameters);
    Sim& sim = S();
    Lock lock(sim.mutex);
    EnsureScenarioLocked(sim);
    return LoadScenarioLocked(sim, ScenarioJson) ? 0 : static_cast<int32_t>(EOS_EResult::EOS_InvalidParameters);
}

EOS_DECLARE_FUNC(int32_t) EOSSim_LoadScenarioFile(const char* Path) {
    if (Path == nullptr) return static_cast<int32_t>(EOS_EResult::EOS_InvalidParameters);
    std::string text;
    if (!eossim::ReadWholeFile(Path, text)) return static_cast<int32_t>(EOS_EResult::EOS_NotFound);
    return EOSSim_LoadScenario(text.c_str());
}

EOS_DECLARE_FUNC(int32_t) EOSSim_GetCallCount(const char* FunctionName) {
    if (FunctionName == nullptr) return 0;
    Sim& sim = S();
    Lock lock(sim.mutex);
    auto it = sim.calls.find(std::string_view(FunctionName));
    return it == sim.calls.end() ? 0 : it->second;
}

EOS_DECLARE_FUNC(int32_t) EOSSim_GetOffTickThreadCalls(void) {
    Sim& sim = S();
    Lock lock(sim.mutex);
    return sim.offTickThreadCalls;
}

EOS_DECLARE_FUNC(int32_t) EOSSim_GetNestedTicks(void) {
    Sim& sim = S();
    Lock lock(sim.mutex);
    return sim.nestedTicks;
}

EOS_DECLARE_FUNC(int32_t) EOSSim_GetPendingCompletions(void) {
    Sim& sim = S();
    Lock lock(sim.mutex);
    size_t pending = 0;
    for (EOS_PlatformHandle* platform : sim.platforms) pending += platform->pending.size();
    return static_cast<int32_t>(pending);
}

EOS_DECLARE_FUNC(int32_t) EOSSim_GetEntitlements(const char* AccountId, char* OutBuffer, int32_t* InOutLength) {
    if (AccountId == nullptr) return static_cast<int32_t>(EOS_EResult::EOS_InvalidParameters);
    Sim& sim = S();
    Lock lock(sim.mutex);
    EnsureScenarioLocked(sim);
    LoadStateLocked(sim);
    json list = json::array();
    for (const Entitlement& e : sim.entitlements) {
        if (e.accountId == AccountId) list.push_back(EntitlementJson(e));
    }
    return ReturnJson(list, OutBuffer, InOutLength);
}

EOS_DECLARE_FUNC(int32_t) EOSSim_GetStateJson(char* OutBuffer, int32_t* InOutLength) {
    Sim& sim = S();
    Lock lock(sim.mutex);
    EnsureScenarioLocked(sim);
    LoadStateLocked(sim);
    json state = json::object();
    state["calls"] = json::object();
    for (const auto& [name, count] : sim.calls) state["calls"][name] = count;
    state["entitlements"] = json::object();
    for (const Entitlement& e : sim.entitlements) state["entitlements"][e.accountId].push_back(EntitlementJson(e));
    state["transactions"] = json::array();
    for (const auto& [id, transaction] : sim.transactions) {
        json ids = json::array();
        for (const Entitlement& e : transaction.entitlements) ids.push_back(e.entitlementId);
        state["transactions"].push_back({{"transactionId", id}, {"accountId", transaction.accountId}, {"entitlementIds", ids}});
    }
    state["loggedIn"] = json::array();
    size_t pending = 0;
    for (EOS_PlatformHandle* platform : sim.platforms) {
        pending += platform->pending.size();
        for (EOS_EpicAccountId id : platform->loggedIn) state["loggedIn"].push_back(id->text);
    }
    state["pending"] = pending;
    state["offTickThreadCalls"] = sim.offTickThreadCalls;
    state["nestedTicks"] = sim.nestedTicks;
    return ReturnJson(state, OutBuffer, InOutLength);
}
