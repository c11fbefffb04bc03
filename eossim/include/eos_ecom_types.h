// Ecom interface: checkout, transactions, entitlements and redemption.
#pragma once

#include "eos_common.h"

typedef struct EOS_Ecom_TransactionHandle* EOS_Ecom_HTransaction;

typedef const char* EOS_Ecom_CatalogItemId;
typedef const char* EOS_Ecom_CatalogOfferId;
typedef const char* EOS_Ecom_EntitlementName;
typedef const char* EOS_Ecom_EntitlementId;
typedef const char* EOS_Ecom_SandboxId;

#define EOS_ECOM_CHECKOUT_MAX_ENTRIES 10
#define EOS_ECOM_TRANSACTIONID_MAXIMUM_LENGTH 64
#define EOS_ECOM_QUERYENTITLEMENTS_MAX_ENTITLEMENT_IDS 256
#define EOS_ECOM_REDEEMENTITLEMENTS_MAX_IDS 32
#define EOS_ECOM_ENTITLEMENT_ENDTIMESTAMP_UNDEFINED -1

#pragma pack(push, 8)

#define EOS_ECOM_ENTITLEMENT_API_LATEST 2
EOS_STRUCT(EOS_Ecom_Entitlement, (
    int32_t ApiVersion;
    EOS_Ecom_EntitlementName EntitlementName;
    EOS_Ecom_EntitlementId EntitlementId;
    EOS_Ecom_CatalogItemId CatalogItemId;
    int32_t ServerIndex;
    EOS_Bool bRedeemed;
    int64_t EndTimestamp;
));

#define EOS_ECOM_CHECKOUTENTRY_API_LATEST 1
EOS_STRUCT(EOS_Ecom_CheckoutEntry, (
    int32_t ApiVersion;
    EOS_Ecom_CatalogOfferId OfferId;
));

#define EOS_ECOM_CHECKOUT_API_LATEST 1
EOS_STRUCT(EOS_Ecom_CheckoutOptions, (
    int32_t ApiVersion;
    EOS_EpicAccountId LocalUserId;
    const char* OverrideCatalogNamespace;
    uint32_t EntryCount;
    const EOS_Ecom_CheckoutEntry* Entries;
));

EOS_STRUCT(EOS_Ecom_CheckoutCallbackInfo, (
    EOS_EResult ResultCode;
    void* ClientData;
    EOS_EpicAccountId LocalUserId;
    const char* TransactionId;
));

#define EOS_ECOM_COPYTRANSACTIONBYID_API_LATEST 1
EOS_STRUCT(EOS_Ecom_CopyTransactionByIdOptions, (
    int32_t ApiVersion;
    EOS_EpicAccountId LocalUserId;
    const char* TransactionId;
));

#define EOS_ECOM_TRANSACTION_GETENTITLEMENTSCOUNT_API_LATEST 1
EOS_STRUCT(EOS_Ecom_Transaction_GetEntitlementsCountOptions, (
    int32_t ApiVersion;
));

#define EOS_ECOM_TRANSACTION_COPYENTITLEMENTBYINDEX_API_LATEST 1
EOS_STRUCT(EOS_Ecom_Transaction_CopyEntitlementByIndexOptions, (
    int32_t ApiVersion;
    uint32_t EntitlementIndex;
));

#define EOS_ECOM_QUERYENTITLEMENTS_API_LATEST 2
EOS_STRUCT(EOS_Ecom_QueryEntitlementsOptions, (
    int32_t ApiVersion;
    EOS_EpicAccountId LocalUserId;
    EOS_Ecom_EntitlementName* EntitlementNames;
    uint32_t EntitlementNameCount;
    EOS_Bool bIncludeRedeemed;
));

EOS_STRUCT(EOS_Ecom_QueryEntitlementsCallbackInfo, (
    EOS_EResult ResultCode;
    void* ClientData;
    EOS_EpicAccountId LocalUserId;
));

#define EOS_ECOM_GETENTITLEMENTSCOUNT_API_LATEST 1
EOS_STRUCT(EOS_Ecom_GetEntitlementsCountOptions, (
    int32_t ApiVersion;
    EOS_EpicAccountId LocalUserId;
));

#define EOS_ECOM_COPYENTITLEMENTBYINDEX_API_LATEST 1
EOS_STRUCT(EOS_Ecom_CopyEntitlementByIndexOptions, (
    int32_t ApiVersion;
    EOS_EpicAccountId LocalUserId;
    uint32_t EntitlementIndex;
));

#define EOS_ECOM_REDEEMENTITLEMENTS_API_LATEST 2
// The count comes before the array here, unlike the query options.
EOS_STRUCT(EOS_Ecom_RedeemEntitlementsOptions, (
    int32_t ApiVersion;
    EOS_EpicAccountId LocalUserId;
    uint32_t EntitlementIdCount;
    EOS_Ecom_EntitlementId* EntitlementIds;
));

EOS_STRUCT(EOS_Ecom_RedeemEntitlementsCallbackInfo, (
    EOS_EResult ResultCode;
    void* ClientData;
    EOS_EpicAccountId LocalUserId;
    uint32_t RedeemedEntitlementIdsCount;
));

EOS_ENUM(EOS_EEcomItemType,
    EOS_EIT_Durable = 0,
    EOS_EIT_Consumable = 1,
    EOS_EIT_Other = 2
);

#define EOS_ECOM_CATALOGITEM_API_LATEST 1
EOS_STRUCT(EOS_Ecom_CatalogItem, (
    int32_t ApiVersion;
    const char* CatalogNamespace;
    EOS_Ecom_CatalogItemId Id;
    EOS_Ecom_EntitlementName EntitlementName;
    const char* TitleText;
    const char* DescriptionText;
    const char* LongDescriptionText;
    const char* TechnicalDetailsText;
    const char* DeveloperText;
    EOS_EEcomItemType ItemType;
    int64_t EntitlementEndTimestamp;
));

#define EOS_ECOM_CATALOGOFFER_API_LATEST 5
EOS_STRUCT(EOS_Ecom_CatalogOffer, (
    int32_t ApiVersion;
    int32_t ServerIndex;
    const char* CatalogNamespace;
    EOS_Ecom_CatalogOfferId Id;
    const char* TitleText;
    const char* DescriptionText;
    const char* LongDescriptionText;
    const char* TechnicalDetailsText_DEPRECATED;
    const char* CurrencyCode;
    EOS_EResult PriceResult;
    uint32_t OriginalPrice_DEPRECATED;
    uint32_t CurrentPrice_DEPRECATED;
    uint8_t DiscountPercentage;
    int64_t ExpirationTimestamp;
    uint32_t PurchasedCount_DEPRECATED;
    int32_t PurchaseLimit;
    EOS_Bool bAvailableForPurchase;
    uint64_t OriginalPrice64;
    uint64_t CurrentPrice64;
    uint32_t DecimalPoint;
    int64_t ReleaseDateTimestamp;
    int64_t EffectiveDateTimestamp;
));

#define EOS_ECOM_QUERYOFFERS_API_LATEST 1
EOS_STRUCT(EOS_Ecom_QueryOffersOptions, (
    int32_t ApiVersion;
    EOS_EpicAccountId LocalUserId;
    const char* OverrideCatalogNamespace;
));

EOS_STRUCT(EOS_Ecom_QueryOffersCallbackInfo, (
    EOS_EResult ResultCode;
    void* ClientData;
    EOS_EpicAccountId LocalUserId;
));

#define EOS_ECOM_GETOFFERCOUNT_API_LATEST 1
EOS_STRUCT(EOS_Ecom_GetOfferCountOptions, (
    int32_t ApiVersion;
    EOS_EpicAccountId LocalUserId;
));

#define EOS_ECOM_COPYOFFERBYINDEX_API_LATEST 3
EOS_STRUCT(EOS_Ecom_CopyOfferByIndexOptions, (
    int32_t ApiVersion;
    EOS_EpicAccountId LocalUserId;
    uint32_t OfferIndex;
));

#define EOS_ECOM_COPYOFFERBYID_API_LATEST 3
EOS_STRUCT(EOS_Ecom_CopyOfferByIdOptions, (
    int32_t ApiVersion;
    EOS_EpicAccountId LocalUserId;
    EOS_Ecom_CatalogOfferId OfferId;
));

#define EOS_ECOM_GETOFFERITEMCOUNT_API_LATEST 1
EOS_STRUCT(EOS_Ecom_GetOfferItemCountOptions, (
    int32_t ApiVersion;
    EOS_EpicAccountId LocalUserId;
    EOS_Ecom_CatalogOfferId OfferId;
));

#define EOS_ECOM_COPYOFFERITEMBYINDEX_API_LATEST 1
EOS_STRUCT(EOS_Ecom_CopyOfferItemByIndexOptions, (
    int32_t ApiVersion;
    EOS_EpicAccountId LocalUserId;
    EOS_Ecom_CatalogOfferId OfferId;
    uint32_t ItemIndex;
));

#pragma pack(pop)

EOS_DECLARE_CALLBACK(EOS_Ecom_OnCheckoutCallback, const EOS_Ecom_CheckoutCallbackInfo* Data);
EOS_DECLARE_CALLBACK(EOS_Ecom_OnQueryEntitlementsCallback, const EOS_Ecom_QueryEntitlementsCallbackInfo* Data);
EOS_DECLARE_CALLBACK(EOS_Ecom_OnRedeemEntitlementsCallback, const EOS_Ecom_RedeemEntitlementsCallbackInfo* Data);
EOS_DECLARE_CALLBACK(EOS_Ecom_OnQueryOffersCallback, const EOS_Ecom_QueryOffersCallbackInfo* Data);

// Both accept NULL.
EOS_DECLARE_FUNC(void) EOS_Ecom_Entitlement_Release(EOS_Ecom_Entitlement* Entitlement);
EOS_DECLARE_FUNC(void) EOS_Ecom_Transaction_Release(EOS_Ecom_HTransaction Transaction);
EOS_DECLARE_FUNC(void) EOS_Ecom_CatalogOffer_Release(EOS_Ecom_CatalogOffer* CatalogOffer);
EOS_DECLARE_FUNC(void) EOS_Ecom_CatalogItem_Release(EOS_Ecom_CatalogItem* CatalogItem);
