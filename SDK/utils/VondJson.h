// Reading numbers out of JSON the backend or a stored file supplied, where a value may be of
// any size or kind; writing JSON as the SDK sends and stores it.
#pragma once

#include <cstdint>
#include <string>
#include <nlohmann/json.hpp>

namespace VondSdk {

// The member key of object read as an integer: integers as they are, floating-point values
// truncated towards zero. fallback when object is not an object, the member is missing or not
// a number, or its value does not fit in 64 bits (never an undefined conversion).
int64_t IntegerMember(const nlohmann::json& object, const char* key, int64_t fallback = 0);

// The same for a value itself.
int64_t IntegerValue(const nlohmann::json& value, int64_t fallback = 0);

// The strict reading, for members whose kind the protocol fixes: value must be an integer
// number (no fraction) within [min, max]; otherwise nlohmann::json's type_error (302, another
// kind) or out_of_range (406, past the range) is raised, naming what.
int64_t IntegerIn(const nlohmann::json& value, int64_t min, int64_t max, const std::string& what);

// value as compact JSON text (no spaces), the form every request body, stored file and game
// answer of the SDK takes. Text that is not valid UTF-8 (backend text, the game's own
// strings, a hand-edited file) comes out with replacement characters instead of throwing.
std::string CompactJson(const nlohmann::json& value);

}  // namespace VondSdk
