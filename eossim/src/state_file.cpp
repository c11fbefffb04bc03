// The stand-in's state file (see state_file.h).
#include "state_file.h"

#include <algorithm>
#include <cstdio>

#include "sim_files.h"

namespace eossim {

using nlohmann::json;

std::string Str(const json& object, const char* key) {
    auto it = object.find(key);
    return (it != object.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

bool Bool(const json& object, const char* key, bool fallback) {
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

void LoadStateLocked(Sim& sim) {
    if (sim.stateFile.empty()) return;
    std::string text;
    if (!ReadWholeFile(sim.stateFile, text)) return;
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
    if (!ReplaceFileAtomically(sim.stateFile, state.dump(1))) {
        std::fprintf(stderr, "eossim: cannot write the state file %s\n", sim.stateFile.c_str());
    }
}

}  // namespace eossim
