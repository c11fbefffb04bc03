// The EOS stand-in's store and the helpers every interface shares (see sim_state.h).
#include "sim_state.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "scenario.h"

namespace eossim {

Sim& S() {
    static Sim* sim = new Sim();
    return *sim;
}

namespace {

struct NamedResult {
    EOS_EResult value;
    const char* name;
};

#define EOSSIM_RESULT(name) {EOS_EResult::name, #name}
const NamedResult kResultNames[] = {
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
    EOSSIM_RESULT(EOS_UnexpectedError),
};
#undef EOSSIM_RESULT

}  // namespace

const char* ResultName(EOS_EResult result) {
    for (const NamedResult& entry : kResultNames) {
        if (entry.value == result) return entry.name;
    }
    return nullptr;
}

bool ResultFromName(const std::string& name, EOS_EResult& result) {
    for (const NamedResult& entry : kResultNames) {
        if (name == entry.name) {
            result = entry.value;
            return true;
        }
    }
    return false;
}

Lock Enter(std::string_view function) {
    Sim& sim = S();
    Lock lock(sim.mutex);
    EnsureScenarioLocked(sim);
    CountCall(sim, function);
    if (sim.ticked && std::this_thread::get_id() != sim.tickThread) ++sim.offTickThreadCalls;
    return lock;
}

void CountCall(Sim& sim, std::string_view function) {
    auto it = sim.calls.find(function);
    if (it == sim.calls.end()) it = sim.calls.emplace(std::string(function), 0).first;
    ++it->second;
}

EOS_EResult Failure(const Sim& sim, std::string_view what) {
    auto it = sim.failures.find(what);
    return it == sim.failures.end() ? EOS_EResult::EOS_Success : it->second;
}

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

EOS_PlatformHandle* PlatformOf(Sim& sim, EOS_HAuth auth) {
    return auth != nullptr ? Live(sim, auth->platform) : nullptr;
}

EOS_PlatformHandle* PlatformOf(Sim& sim, EOS_HEcom ecom) {
    return ecom != nullptr ? Live(sim, ecom->platform) : nullptr;
}

namespace {

template <typename Handle>
AsyncCall EnterAsyncWith(std::string_view function, Handle handle, bool hasCompletion) {
    AsyncCall call{Enter(function)};
    EOS_PlatformHandle* platform = PlatformOf(S(), handle);
    if (hasCompletion) call.platform = platform;
    return call;
}

}  // namespace

AsyncCall EnterAsync(std::string_view function, EOS_HAuth handle, bool hasCompletion) {
    return EnterAsyncWith(function, handle, hasCompletion);
}

AsyncCall EnterAsync(std::string_view function, EOS_HEcom handle, bool hasCompletion) {
    return EnterAsyncWith(function, handle, hasCompletion);
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

}  // namespace eossim
