// The last good client configuration of the current game, kept in its data folder, so that a
// start-up whose configuration request fails (a player offline) can still start EOS.
#pragma once

#include <nlohmann/json.hpp>

namespace VondSdk {
namespace keptconfig {

// Keeps the EOS members of a configuration answer (code 200, an object) when any is set and
// they differ from what is kept. A kept file that cannot be read is never written over; one
// that is not ours is kept aside first. Any thread but the game's (it touches the disk).
void Keep(const nlohmann::json& config);

// The kept configuration; false (config untouched) when there is none or it cannot be read.
bool Load(nlohmann::json& config);

}  // namespace keptconfig
}  // namespace VondSdk
