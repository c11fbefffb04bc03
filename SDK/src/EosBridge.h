// How the account and payment code reaches the EOS services: every call below is made for the
// Epic account logged in at index 0, on the thread that ticks EOS.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/EpicPayService.h"
#include "service/QueryEntitlementsService.h"
#include "service/QueryOfferItemsService.h"

namespace VondSdk {
namespace eosbridge {

// Runs work on the thread that ticks EOS: at once when called there, otherwise right before
// the next tick. Exceptions of work are logged and dropped. Any thread.
void RunOnTickThread(std::function<void()> work);

// Ticking thread only; each completion runs once, on the ticking thread.
void Checkout(const std::string& offerId, PayCompletion done);
void RedeemEntitlement(const std::string& entitlementId, std::function<void(bool)> done);
void QueryEntitlements(QueryEntitlementsCompletion done);
void QueryOfferItems(std::vector<std::string> offerIds, OfferItemsCompletion done);
std::string AccessToken();

// Any thread: the sandbox id EOS was started with.
std::string SandboxId();

}  // namespace eosbridge
}  // namespace VondSdk
