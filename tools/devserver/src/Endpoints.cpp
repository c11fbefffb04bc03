// What the backend's endpoint files share (see Endpoints.h).
#include "Endpoints.h"

namespace devserver {

using nlohmann::json;

std::string Dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string Envelope(int code, const std::string& msg, json extra) {
    extra["code"] = code;
    extra["msg"] = msg;
    return Dump(extra);
}

std::string FormText(const Form& form, const char* name) {
    const std::string* value = FormValue(form, name);
    return value != nullptr ? *value : std::string();
}

}  // namespace devserver
