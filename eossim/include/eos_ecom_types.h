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
#define EOS_ECOM_QUERYENTITLEMENTS_MAX_ENTITLEMENT_IDS 32
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
    uint32_t PreviouslyRedeemedEntitlementIdsCount;
    uint32_t InvalidEntitlementIdsCount;
));

#pragma pack(pop)

EOS_DECLARE_CALLBACK(EOS_Ecom_OnCheckoutCallback, const EOS_Ecom_CheckoutCallbackInfo* Data);
EOS_DECLARE_CALLBACK(EOS_Ecom_OnQueryEntitlementsCallback, const EOS_Ecom_QueryEntitlementsCallbackInfo* Data);
EOS_DECLARE_CALLBACK(EOS_Ecom_OnRedeemEntitlementsCallback, const EOS_Ecom_RedeemEntitlementsCallbackInfo* Data);

// Both accept NULL.
EOS_DECLARE_FUNC(void) EOS_Ecom_Entitlement_Release(EOS_Ecom_Entitlement* Entitlement);
EOS_DECLARE_FUNC(void) EOS_Ecom_Transaction_Release(EOS_Ecom_HTransaction Transaction);
