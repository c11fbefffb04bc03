// CVondUser: the backend account login that follows the Epic login, and the pass at each
// login that settles the player's unredeemed Epic entitlements.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "VondProxy.h"
#include "service/QueryEntitlementsService.h"

namespace VondSdk {

class CVondUser {
public:
    static CVondUser& Instance();

    // Logs puserId in to the backend with the Epic ID token. Returns at once; callback (may be
    // null) hears the outcome once, on a pool worker. On success the core holds the session
    // and the entitlement pass starts on a thread of its own.
    void Login(std::string puserId, std::string jwtToken, ResultCallback callback);

    // Queries the unredeemed entitlements and settles each one on the ticking thread: a stored
    // order is reported again, an entitlement that no order explains is redeemed. Any thread.
    static void StartEntitlementPass();
    // Settles one query result (ticking thread). Never throws.
    static void SettleEntitlements(const std::vector<FEntitlementData>& entitlements);

    // The login answer's "userId" as decimal text; "-1" when absent or not a 64-bit integer.
    static std::string UserIdText(const nlohmann::json& body);
};

}  // namespace VondSdk
