// The EOS stand-in: a small, thread-safe EOS built under the real library's name. It keeps
// accounts keyed by exchange code, catalogue offers, transactions and per-account
// entitlements, and answers every asynchronous call only inside EOS_Platform_Tick, on the
// ticking thread, as the real SDK does. The scenario (eossim/README.md) chooses the data and
// the failures; with a state file, entitlements outlive the process like a real store's.
//
// The exported functions live with the interface they serve: platform.cpp (results, account
// ids, lifetime, logging, the platform and its tick), auth.cpp, ecom.cpp (checkout,
// transactions, entitlements) and offers.cpp (the catalogue), over the store in sim_state.h,
// the scenario (scenario.h) and the state file (state_file.h). This file holds the stand-in's
// own test functions (eossim.h).
#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "eossim.h"
#include "scenario.h"
#include "sim_files.h"
#include "sim_state.h"
#include "state_file.h"

using namespace eossim;
using nlohmann::json;

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
    if (!ReadWholeFile(Path, text)) return static_cast<int32_t>(EOS_EResult::EOS_NotFound);
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
