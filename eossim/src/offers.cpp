// The stand-in's catalogue: the offers an account queried, and each offer's one item.
#include <memory>
#include <string>

#include "sim_state.h"

using namespace eossim;

namespace {

struct OfferCopy {
    EOS_Ecom_CatalogOffer offer{};
    std::string catalogNamespace, id, title;
};
struct ItemCopy {
    EOS_Ecom_CatalogItem item{};
    std::string catalogNamespace, id, entitlementName, title;
};

// The offer as the catalogue has it; a scenario with "anyOffer" sells every offer id, each
// granting one item of the same name.
bool FindOffer(const Sim& sim, const std::string& id, Offer& offer) {
    if (const Offer* known = OfferById(sim, id)) {
        offer = *known;
        return true;
    }
    if (!sim.anyOffer || id.empty()) return false;
    offer = Offer{id, id, id, 1};
    return true;
}

EOS_Ecom_CatalogOffer* CopyOffer(Sim& sim, const EOS_PlatformHandle* platform, const Offer& offer) {
    auto copy = std::make_shared<OfferCopy>();
    copy->catalogNamespace = platform->sandboxId;
    copy->id = offer.offerId;
    copy->title = offer.offerId;
    EOS_Ecom_CatalogOffer& out = copy->offer;
    out.ApiVersion = EOS_ECOM_CATALOGOFFER_API_LATEST;
    out.ServerIndex = -1;
    out.CatalogNamespace = copy->catalogNamespace.c_str();
    out.Id = copy->id.c_str();
    out.TitleText = copy->title.c_str();
    out.DescriptionText = "";
    out.LongDescriptionText = "";
    out.TechnicalDetailsText_DEPRECATED = "";
    out.CurrencyCode = "USD";
    out.PriceResult = EOS_EResult::EOS_Success;
    out.ExpirationTimestamp = -1;
    out.PurchaseLimit = -1;
    out.bAvailableForPurchase = EOS_TRUE;
    out.OriginalPrice64 = 199;
    out.CurrentPrice64 = 199;
    out.DecimalPoint = 2;
    out.ReleaseDateTimestamp = -1;
    out.EffectiveDateTimestamp = -1;
    sim.copies[&copy->offer] = copy;
    return &copy->offer;
}

// The offer named by id in the account's cached offers (NotFound before QueryOffers).
EOS_EResult CachedOffer(Sim& sim, EOS_PlatformHandle* platform, EOS_EpicAccountId user, const char* id, Offer& offer) {
    if (user == nullptr || id == nullptr) return EOS_EResult::EOS_InvalidParameters;
    if (platform->offersQueried.count(user->text) == 0) return EOS_EResult::EOS_NotFound;
    return FindOffer(sim, id, offer) ? EOS_EResult::EOS_Success : EOS_EResult::EOS_NotFound;
}

}  // namespace

EOS_DECLARE_FUNC(void) EOS_Ecom_QueryOffers(EOS_HEcom Handle, const EOS_Ecom_QueryOffersOptions* Options, void* ClientData,
                                            const EOS_Ecom_OnQueryOffersCallback CompletionDelegate) {
    AsyncCall call = EnterAsyncForUser("EOS_Ecom_QueryOffers", Handle, Options, CompletionDelegate != nullptr);
    if (call.platform == nullptr) return;
    EOS_PlatformHandle* platform = call.platform;
    EOS_EResult result = call.result;
    EOS_EpicAccountId user = call.user;
    if (result == EOS_EResult::EOS_Success) result = Failure(S(), "queryOffers");
    Queue(platform, 1, [platform, result, user, ClientData, CompletionDelegate] {
        Sim& sim = S();
        if (result == EOS_EResult::EOS_Success) {
            Lock lock(sim.mutex);
            if (Live(sim, platform)) platform->offersQueried.insert(user->text);
        }
        EOS_Ecom_QueryOffersCallbackInfo info{};
        info.ResultCode = result;
        info.ClientData = ClientData;
        info.LocalUserId = user;
        CompletionDelegate(&info);
    });
}

EOS_DECLARE_FUNC(uint32_t) EOS_Ecom_GetOfferCount(EOS_HEcom Handle, const EOS_Ecom_GetOfferCountOptions* Options) {
    Lock lock = Enter("EOS_Ecom_GetOfferCount");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || Options == nullptr || Options->LocalUserId == nullptr) return 0;
    if (platform->offersQueried.count(Options->LocalUserId->text) == 0) return 0;
    return static_cast<uint32_t>(sim.offers.size());
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Ecom_CopyOfferByIndex(EOS_HEcom Handle, const EOS_Ecom_CopyOfferByIndexOptions* Options,
                                                        EOS_Ecom_CatalogOffer** OutOffer) {
    Lock lock = Enter("EOS_Ecom_CopyOfferByIndex");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || Options == nullptr || OutOffer == nullptr || Options->LocalUserId == nullptr) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    *OutOffer = nullptr;
    if (platform->offersQueried.count(Options->LocalUserId->text) == 0 || Options->OfferIndex >= sim.offers.size()) {
        return EOS_EResult::EOS_NotFound;
    }
    *OutOffer = CopyOffer(sim, platform, sim.offers[Options->OfferIndex]);
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Ecom_CopyOfferById(EOS_HEcom Handle, const EOS_Ecom_CopyOfferByIdOptions* Options,
                                                     EOS_Ecom_CatalogOffer** OutOffer) {
    Lock lock = Enter("EOS_Ecom_CopyOfferById");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || Options == nullptr || OutOffer == nullptr) return EOS_EResult::EOS_InvalidParameters;
    *OutOffer = nullptr;
    Offer offer;
    const EOS_EResult found = CachedOffer(sim, platform, Options->LocalUserId, Options->OfferId, offer);
    if (found != EOS_EResult::EOS_Success) return found;
    *OutOffer = CopyOffer(sim, platform, offer);
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(uint32_t) EOS_Ecom_GetOfferItemCount(EOS_HEcom Handle, const EOS_Ecom_GetOfferItemCountOptions* Options) {
    Lock lock = Enter("EOS_Ecom_GetOfferItemCount");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || Options == nullptr) return 0;
    Offer offer;
    return CachedOffer(sim, platform, Options->LocalUserId, Options->OfferId, offer) == EOS_EResult::EOS_Success ? 1 : 0;
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Ecom_CopyOfferItemByIndex(EOS_HEcom Handle, const EOS_Ecom_CopyOfferItemByIndexOptions* Options,
                                                            EOS_Ecom_CatalogItem** OutItem) {
    Lock lock = Enter("EOS_Ecom_CopyOfferItemByIndex");
    Sim& sim = S();
    EOS_PlatformHandle* platform = PlatformOf(sim, Handle);
    if (platform == nullptr || Options == nullptr || OutItem == nullptr) return EOS_EResult::EOS_InvalidParameters;
    *OutItem = nullptr;
    Offer offer;
    const EOS_EResult found = CachedOffer(sim, platform, Options->LocalUserId, Options->OfferId, offer);
    if (found != EOS_EResult::EOS_Success) return found;
    if (Options->ItemIndex != 0) return EOS_EResult::EOS_NotFound;
    if (EOS_EResult failure = Failure(sim, "copyOfferItem"); failure != EOS_EResult::EOS_Success) return failure;
    auto copy = std::make_shared<ItemCopy>();
    copy->catalogNamespace = platform->sandboxId;
    copy->id = offer.catalogItemId;
    copy->entitlementName = offer.entitlementName;
    copy->title = offer.entitlementName;
    EOS_Ecom_CatalogItem& item = copy->item;
    item.ApiVersion = EOS_ECOM_CATALOGITEM_API_LATEST;
    item.CatalogNamespace = copy->catalogNamespace.c_str();
    item.Id = copy->id.c_str();
    item.EntitlementName = copy->entitlementName.c_str();
    item.TitleText = copy->title.c_str();
    item.DescriptionText = "";
    item.LongDescriptionText = "";
    item.TechnicalDetailsText = "";
    item.DeveloperText = "";
    item.ItemType = EOS_EEcomItemType::EOS_EIT_Consumable;
    item.EntitlementEndTimestamp = -1;
    sim.copies[&copy->item] = copy;
    *OutItem = &copy->item;
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(void) EOS_Ecom_CatalogOffer_Release(EOS_Ecom_CatalogOffer* CatalogOffer) {
    Lock lock = Enter("EOS_Ecom_CatalogOffer_Release");
    S().copies.erase(CatalogOffer);
}

EOS_DECLARE_FUNC(void) EOS_Ecom_CatalogItem_Release(EOS_Ecom_CatalogItem* CatalogItem) {
    Lock lock = Enter("EOS_Ecom_CatalogItem_Release");
    S().copies.erase(CatalogItem);
}
