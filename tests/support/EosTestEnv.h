// Helpers for tests against the EOS stand-in: scenarios, pumping the tick, reading the log.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "VondProxy.h"
#include "support/TestEnv.h"

namespace vondtest {

// The account every EOS scenario of the tests has, with its exchange code and tokens.
extern const char kAccountId[];
extern const char kExchangeCode[];
extern const char kIdToken[];
extern const char kAccessToken[];

// A scenario with that account and the offers "offer-1" (one entitlement per checkout) and
// "offer-3" (three); extra members replace or add top-level members.
nlohmann::json BaseScenario(const nlohmann::json& extra = nlohmann::json::object());
// Loads it into the stand-in; fails the test when the stand-in refuses it.
void LoadScenario(const nlohmann::json& scenario);

// EosGameInfo with all seven fields set.
EosGameInfo FullGameInfo();

// Calls UpdateSDKEvent's pump until done() holds (true) or the bound passes (false).
bool PumpUntil(const std::function<bool()>& done, std::chrono::seconds bound = std::chrono::seconds(30));

// The stand-in's view of an account's entitlements.
nlohmann::json SimEntitlements(const std::string& accountId = kAccountId);
nlohmann::json SimState();

// Counts of needle in text.
size_t Occurrences(const std::string& text, const std::string& needle);

}  // namespace vondtest
