// The stand-in's scenario (eossim/README.md): accounts by exchange code, catalogue offers,
// entitlements, failures, completion delays and the state file. Read from VOND_EOSSIM_SCENARIO
// on first use (a default one without it), replaced whole by EOSSim_LoadScenario.
#pragma once

#include <string>

#include "sim_state.h"

namespace eossim {

// Replaces the store's scenario with text and forgets the previous one's state (call counts
// too); then reads the state file it names. False, changing nothing, when text is not a JSON
// object.
bool LoadScenarioLocked(Sim& sim, const std::string& text);
// Loads the scenario on first use.
void EnsureScenarioLocked(Sim& sim);

}  // namespace eossim
