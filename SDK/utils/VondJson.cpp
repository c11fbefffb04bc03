#include "utils/VondJson.h"

#include <cmath>
#include <limits>

namespace VondSdk {

int64_t IntegerValue(const nlohmann::json& value, int64_t fallback) {
    if (value.is_number_unsigned()) {
        const uint64_t number = value.get<uint64_t>();
        return number <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                   ? static_cast<int64_t>(number)
                   : fallback;
    }
    if (value.is_number_integer()) return value.get<int64_t>();
    if (value.is_number_float()) {
        const double number = std::trunc(value.get<double>());
        // -2^63 is exact in a double; 2^63 is the first value past the range.
        constexpr double kLimit = 9223372036854775808.0;
        if (!(number >= -kLimit && number < kLimit)) return fallback;
        return static_cast<int64_t>(number);
    }
    return fallback;
}

int64_t IntegerIn(const nlohmann::json& value, int64_t min, int64_t max, const std::string& what) {
    if (!value.is_number_integer()) {
        throw nlohmann::json::type_error::create(302, "type must be an integer: " + what, &value);
    }
    const bool fits = value.is_number_unsigned()
                          ? max >= 0 && value.get<uint64_t>() <= static_cast<uint64_t>(max)
                          : value.get<int64_t>() >= min && value.get<int64_t>() <= max;
    if (!fits) throw nlohmann::json::out_of_range::create(406, "number out of range: " + what, &value);
    return value.is_number_unsigned() ? static_cast<int64_t>(value.get<uint64_t>()) : value.get<int64_t>();
}

int64_t IntegerMember(const nlohmann::json& object, const char* key, int64_t fallback) {
    if (!object.is_object()) return fallback;
    auto it = object.find(key);
    if (it == object.end()) return fallback;
    return IntegerValue(*it, fallback);
}

std::string CompactJson(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace VondSdk
