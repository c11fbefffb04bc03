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

    // Queries the unredeemed entitlements and settles each one: a stored order holding its id
    // is reported again; a pending order whose offer grants its item (and no other pending
    // order or running checkout could have) becomes its order and is reported. The backend's
    // status 1 for that order is what redeems it. An entitlement nothing explains, or any
    // entitlement not proven while some order record cannot be read, stays unredeemed and is
    // logged once per login. Pending orders older than 30 days are dropped. Any thread.
    static void StartEntitlementPass();
    // Settles one query result; the store work runs on the order writer. Never throws.
    static void SettleEntitlements(const std::vector<FEntitlementData>& entitlements);

    // After a checkout whose outcome is unknown: query again ~10 s, 30 s and 2 min later.
    static void ScheduleRechecks();
    // Called by UpdateSDKEvent: starts a due re-query while the player is logged in.
    static void OnUpdate();
    // A backend login: unexplained entitlements are logged again.
    static void NewLogin();
    // A new play session in the same process: no re-query of the last one stays due. Exit only.
    static void ResetSession();

    // The login answer's "userId" as decimal text; "-1" when absent or not a 64-bit integer.
    static std::string UserIdText(const nlohmann::json& body);
};

}  // namespace VondSdk
