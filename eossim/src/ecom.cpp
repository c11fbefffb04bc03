// The stand-in's ecom interface: checkout (granting at "buy", as the store does), its
// transactions, and the player's entitlements: queried, copied and redeemed.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "sim_state.h"
#include "state_file.h"

using namespace eossim;

namespace {

struct EntitlementCopy {
    EOS_Ecom_Entitlement entitlement{};
    std::string name, id, catalogItemId;
};

EOS_Ecom_Entitlement* CopyEntitlement(Sim& sim, const Entitlement& e) {
    auto copy = std::make_shared<EntitlementCopy>();
    copy->name = e.entitlementName;
    copy->id = e.entitlementId;
    copy->catalogItemId = e.catalogItemId;
    copy->entitlement.ApiVersion = EOS_ECOM_ENTITLEMENT_API_LATEST;
    copy->entitlement.EntitlementName = copy->name.c_str();
    copy->entitlement.EntitlementId = copy->id.c_str();
    copy->entitlement.CatalogItemId = copy->catalogItemId.c_str();
    copy->entitlement.ServerIndex = -1;
    copy->entitlement.bRedeemed = e.redeemed ? EOS_TRUE : EOS_FALSE;
    copy->entitlement.EndTimestamp = EOS_ECOM_ENTITLEMENT_ENDTIMESTAMP_UNDEFINED;
    EOS_Ecom_Entitlement* out = &copy->entitlement;
    sim.copies[out] = copy;
    return out;
}

}  // namespace

EOS_DECLARE_FUNC(void) EOS_Ecom_Checkout(EOS_HEcom Handle, const EOS_Ecom_CheckoutOptions* Options, void* ClientData,
                                         const EOS_Ecom_OnCheckoutCallback CompletionDelegate) {
    AsyncCall call = EnterAsyncForUser("EOS_Ecom_Checkout", Handle, Options, CompletionDelegate != nullptr);
    if (call.platform == nullptr) return;
    Sim& sim = S();
    EOS_EResult result = call.result;
    EOS_EpicAccountId user = call.user;
    std::vector<Offer> bought;
    if (result != EOS_EResult::EOS_Success) {
        // refused by the shared checks (EnterAsyncForUser)
    } else if (Options->EntryCount == 0 || Options->EntryCount > EOS_ECOM_CHECKOUT_MAX_ENTRIES || Options->Entries == nullptr) {
        result = EOS_EResult::EOS_InvalidParameters;
    } else {
        for (uint32_t i = 0; i < Options->EntryCount && result == EOS_EResult::EOS_Success; ++i) {
            const char* offerId = Options->Entries[i].OfferId;
            if (offerId == nullptr || *offerId == '\0') {
                result = EOS_EResult::EOS_InvalidParameters;
            } else if (const Offer* offer = OfferById(sim, offerId)) {
                bought.push_back(*offer);
            } else if (sim.anyOffer) {
                bought.push_back(Offer{offerId, offerId, offerId, 1});
            } else {
                result = EOS_EResult::EOS_Ecom_CatalogOfferStale;
            }
        }
        if (result == EOS_EResult::EOS_Success) result = Failure(sim, "checkout");
    }

    // The store grants at "buy", before the overlay answers: a game that dies before the
    // completion finds the purchase unredeemed next time.
    std::string transactionId;
    const bool grant = !bought.empty() && (result == EOS_EResult::EOS_Success || sim.checkoutGrantsOnFailure);
    if (grant) {
        LoadStateLocked(sim);
        Transaction transaction;
        transaction.transactionId = NewHexId(sim);
        transaction.accountId = user->text;
        for (const Offer& offer : bought) {
            for (int n = 0; n < std::max(1, offer.entitlementsPerCheckout); ++n) {
                Entitlement e{user->text, NewHexId(sim), offer.entitlementName, offer.catalogItemId, false, 0};
                sim.entitlements.push_back(e);
                transaction.entitlements.push_back(e);
            }
        }
        SaveStateLocked(sim);
        if (result == EOS_EResult::EOS_Success) transactionId = transaction.transactionId;
        sim.transactions[transaction.transactionId] = std::move(transaction);
    }
    Queue(call.platform, sim.checkoutTicks, [result, user, transactionId, ClientData, CompletionDelegate] {
        EOS_Ecom_CheckoutCallbackInfo info{};
        info.ResultCode = result;
        info.ClientData = ClientData;
        info.LocalUserId = user;
        info.TransactionId = transactionId.empty() ? nullptr : transactionId.c_str();
        CompletionDelegate(&info);
    });
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Ecom_CopyTransactionById(EOS_HEcom Handle, const EOS_Ecom_CopyTransactionByIdOptions* Options,
                                                           EOS_Ecom_HTransaction* OutTransaction) {
    Lock lock = Enter("EOS_Ecom_CopyTransactionById");
    Sim& sim = S();
    if (PlatformOf(sim, Handle) == nullptr || Options == nullptr || OutTransaction == nullptr ||
        Options->TransactionId == nullptr) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    *OutTransaction = nullptr;
    if (EOS_EResult failure = Failure(sim, "copyTransaction"); failure != EOS_EResult::EOS_Success) return failure;
    auto it = sim.transactions.find(Options->TransactionId);
    if (it == sim.transactions.end() || Options->LocalUserId == nullptr ||
        it->second.accountId != Options->LocalUserId->text) {
        return EOS_EResult::EOS_NotFound;
    }
    auto handle = std::make_unique<EOS_Ecom_TransactionHandle>();
    handle->transactionId = it->second.transactionId;
    handle->entitlements = it->second.entitlements;
    *OutTransaction = handle.get();
    sim.transactionHandles[handle.get()] = std::move(handle);
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Ecom_Transaction_GetTransactionId(EOS_Ecom_HTransaction Handle, char* OutBuffer,
                                                                    int32_t* InOutBufferLength) {
    Lock lock = Enter("EOS_Ecom_Transaction_GetTransactionId");
    Sim& sim = S();
    if (sim.transactionHandles.count(Handle) == 0) return EOS_EResult::EOS_InvalidParameters;
    return CopyText(Handle->transactionId, OutBuffer, InOutBufferLength);
}

EOS_DECLARE_FUNC(uint32_t) EOS_Ecom_Transaction_GetEntitlementsCount(
    EOS_Ecom_HTransaction Handle, const EOS_Ecom_Transaction_GetEntitlementsCountOptions* Options) {
    Lock lock = Enter("EOS_Ecom_Transaction_GetEntitlementsCount");
    Sim& sim = S();
    if (Options == nullptr || sim.transactionHandles.count(Handle) == 0) return 0;
    return static_cast<uint32_t>(Handle->entitlements.size());
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Ecom_Transaction_CopyEntitlementByIndex(
    EOS_Ecom_HTransaction Handle, const EOS_Ecom_Transaction_CopyEntitlementByIndexOptions* Options,
    EOS_Ecom_Entitlement** OutEntitlement) {
    Lock lock = Enter("EOS_Ecom_Transaction_CopyEntitlementByIndex");
    Sim& sim = S();
    if (Options == nullptr || OutEntitlement == nullptr || sim.transactionHandles.count(Handle) == 0) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    *OutEntitlement = nullptr;
    if (Options->EntitlementIndex >= Handle->entitlements.size()) return EOS_EResult::EOS_NotFound;
    if (EOS_EResult failure = Failure(sim, "copyTransactionEntitlement"); failure != EOS_EResult::EOS_Success) {
        return failure;
    }
    *OutEntitlement = CopyEntitlement(sim, Handle->entitlements[Options->EntitlementIndex]);
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(void) EOS_Ecom_Transaction_Release(EOS_Ecom_HTransaction Transaction) {
    Lock lock = Enter("EOS_Ecom_Transaction_Release");
    S().transactionHandles.erase(Transaction);
}

EOS_DECLARE_FUNC(void) EOS_Ecom_Entitlement_Release(EOS_Ecom_Entitlement* Entitlement) {
    Lock lock = Enter("EOS_Ecom_Entitlement_Release");
    S().copies.erase(Entitlement);
}

EOS_DECLARE_FUNC(void) EOS_Ecom_QueryEntitlements(EOS_HEcom Handle, const EOS_Ecom_QueryEntitlementsOptions* Options,
                                                  void* ClientData, const EOS_Ecom_OnQueryEntitlementsCallback CompletionDelegate) {
    AsyncCall call = EnterAsyncForUser("EOS_Ecom_QueryEntitlements", Handle, Options, CompletionDelegate != nullptr);
    if (call.platform == nullptr) return;
    EOS_PlatformHandle* platform = call.platform;
    EOS_EResult result = call.result;
    EOS_EpicAccountId user = call.user;
    std::vector<std::string> names;
    bool includeRedeemed = false;
    if (result != EOS_EResult::EOS_Success) {
        // refused by the shared checks (EnterAsyncForUser)
    } else if (Options->EntitlementNameCount > EOS_ECOM_QUERYENTITLEMENTS_MAX_ENTITLEMENT_IDS ||
               (Options->EntitlementNameCount > 0 && Options->EntitlementNames == nullptr)) {
        result = EOS_EResult::EOS_InvalidParameters;
    } else {
        for (uint32_t i = 0; i < Options->EntitlementNameCount; ++i) {
            if (Options->EntitlementNames[i] != nullptr) names.emplace_back(Options->EntitlementNames[i]);
        }
        includeRedeemed = Options->bIncludeRedeemed != EOS_FALSE;
        result = Failure(S(), "queryEntitlements");
    }
    Queue(platform, 1, [platform, result, user, names, includeRedeemed, ClientData, CompletionDelegate] {
        Sim& sim = S();
        if (result == EOS_EResult::EOS_Success) {
            // The answer reflects the store when it arrives.
            Lock lock(sim.mutex);
            LoadStateLocked(sim);
            if (Live(sim, platform)) {
                std::vector<Entitlement> found;
                for (const Entitlement& e : sim.entitlements) {
                    if (e.accountId != user->text) continue;
                    if (e.redeemed && !includeRedeemed) continue;
                    if (!names.empty() && std::find(names.begin(), names.end(), e.entitlementName) == names.end()) continue;
                    found.push_back(e);
                }
                platform->queryCache[user->text] = std::move(found);
            }
        }
        EOS_Ecom_QueryEntitlementsCallbackInfo info{};
        info.ResultCode = result;
        info.ClientData = ClientData;
        info.LocalUserId = user;
        CompletionDelegate(&info);
    });
}

EOS_DECLARE_FUNC(uint32_t) EOS_Ecom_GetEntitlementsCount(EOS_HEcom Handle, const EOS_Ecom_GetEntitlementsCountOptions* Options) {
    Lock lock = Enter("EOS_Ecom_GetEntitlementsCount");
    EOS_PlatformHandle* platform = PlatformOf(S(), Handle);
    if (platform == nullptr || Options == nullptr || Options->LocalUserId == nullptr) return 0;
    auto it = platform->queryCache.find(Options->LocalUserId->text);
    return it == platform->queryCache.end() ? 0 : static_cast<uint32_t>(it->second.size());
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Ecom_CopyEntitlementByIndex(EOS_HEcom Handle, const EOS_Ecom_CopyEntitlementByIndexOptions* Options,
                                                              EOS_Ecom_Entitlement** OutEntitlement) {
    Lock lock = Enter("EOS_Ecom_CopyEntitlementByIndex");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || Options == nullptr || OutEntitlement == nullptr || Options->LocalUserId == nullptr) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    *OutEntitlement = nullptr;
    auto it = platform->queryCache.find(Options->LocalUserId->text);
    if (it == platform->queryCache.end() || Options->EntitlementIndex >= it->second.size()) return EOS_EResult::EOS_NotFound;
    const Entitlement& e = it->second[Options->EntitlementIndex];
    EntitlementQuirk quirk;
    if (auto q = sim.quirks.find(e.entitlementId); q != sim.quirks.end()) quirk = q->second;
    if (quirk.copyResult != EOS_EResult::EOS_Success && quirk.copyResult != EOS_EResult::EOS_Ecom_EntitlementStale) {
        return quirk.copyResult;
    }
    *OutEntitlement = CopyEntitlement(sim, e);
    const bool stale = sim.staleEntitlements || quirk.stale || quirk.copyResult == EOS_EResult::EOS_Ecom_EntitlementStale;
    return stale ? EOS_EResult::EOS_Ecom_EntitlementStale : EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(void) EOS_Ecom_RedeemEntitlements(EOS_HEcom Handle, const EOS_Ecom_RedeemEntitlementsOptions* Options,
                                                   void* ClientData, const EOS_Ecom_OnRedeemEntitlementsCallback CompletionDelegate) {
    AsyncCall call = EnterAsyncForUser("EOS_Ecom_RedeemEntitlements", Handle, Options, CompletionDelegate != nullptr);
    if (call.platform == nullptr) return;
    Sim& sim = S();
    EOS_EResult result = call.result;
    EOS_EpicAccountId user = call.user;
    // 1.16's answer counts only what this call redeemed; ids already redeemed or unknown are
    // skipped.
    uint32_t redeemed = 0;
    if (result != EOS_EResult::EOS_Success) {
        // refused by the shared checks (EnterAsyncForUser)
    } else if (Options->EntitlementIdCount == 0 || Options->EntitlementIdCount > EOS_ECOM_REDEEMENTITLEMENTS_MAX_IDS ||
               Options->EntitlementIds == nullptr) {
        result = EOS_EResult::EOS_InvalidParameters;
    } else if ((result = Failure(sim, "redeem")) == EOS_EResult::EOS_Success) {
        LoadStateLocked(sim);
        for (uint32_t i = 0; i < Options->EntitlementIdCount; ++i) {
            const char* id = Options->EntitlementIds[i];
            auto it = std::find_if(sim.entitlements.begin(), sim.entitlements.end(), [&](const Entitlement& e) {
                return id != nullptr && e.accountId == user->text && e.entitlementId == id;
            });
            if (it != sim.entitlements.end() && !it->redeemed) {
                it->redeemed = true;
                ++it->redemptionCount;
                ++redeemed;
            }
        }
        if (redeemed > 0) SaveStateLocked(sim);
    }
    Queue(call.platform, 1, [result, user, redeemed, ClientData, CompletionDelegate] {
        EOS_Ecom_RedeemEntitlementsCallbackInfo info{};
        info.ResultCode = result;
        info.ClientData = ClientData;
        info.LocalUserId = user;
        info.RedeemedEntitlementIdsCount = redeemed;
        CompletionDelegate(&info);
    });
}
