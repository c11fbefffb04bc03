// The stand-in's state file (a scenario's "stateFile"): the entitlements and the id counter
// outlive the process there, shared by every process that names the same file, together with
// the catalogue a backend checking a purchase reads (the devserver's --eos-state).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "sim_state.h"

namespace eossim {

// Reads the state file into the store. A missing or unreadable file changes nothing: the
// file is only ever replaced whole, so anything else would be a hand-made one.
void LoadStateLocked(Sim& sim);
// Replaces the state file with the store's entitlements, counter and catalogue.
void SaveStateLocked(Sim& sim);

// An entitlement as the state file and the test functions write it, and read back (false
// without an account or an id).
nlohmann::json EntitlementJson(const Entitlement& e);
bool EntitlementFromJson(const nlohmann::json& item, Entitlement& e);

// A member of a JSON object, or the fallback when it is missing or of another type.
std::string Str(const nlohmann::json& object, const char* key);
bool Bool(const nlohmann::json& object, const char* key, bool fallback = false);
int Int(const nlohmann::json& object, const char* key, int fallback);

}  // namespace eossim
