// What the backend's endpoint files share: the paths the protocol defines, the marker of
// answers the handlers made, and the JSON envelope every endpoint answers in.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "Protocol.h"

namespace devserver {

inline constexpr char kTrackPath[] = "/data/h5/v1.do";
inline constexpr char kConfigPath[] = "/sdkapi/v3/config/client.do";
inline constexpr char kAttributionPath[] = "/sdkapi/v1/attribution.do";
inline constexpr char kLoginPath[] = "/sdkapi/v20/init.do";
inline constexpr char kProductsPath[] = "/sdkapi/v9/pay/products.do";
inline constexpr char kCreateOrderPath[] = "/sdkapi/v9/pay/create_order.do";
inline constexpr char kPayResultPath[] = "/sdkapi/v9/pay/pay_result.do";
inline constexpr char kAdminPrefix[] = "/__admin/";
// Marks answers made by the handlers, so that httplib's error hook (called for every status
// of 400 and above) leaves them as they are.
inline constexpr char kAnsweredHeader[] = "X-Vond-Devserver";

// Request values are the client's bytes: never let one make a JSON text fail to print.
std::string Dump(const nlohmann::json& value);
// The answer's envelope: extra with "code" and "msg" set.
std::string Envelope(int code, const std::string& msg, nlohmann::json extra = nlohmann::json::object());
// The first value of name in form, or "".
std::string FormText(const Form& form, const char* name);

}  // namespace devserver
