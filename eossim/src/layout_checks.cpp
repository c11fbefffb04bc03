// The stand-in's structs must have the real SDK's layout on 64-bit targets, or a game built
// against one and run with the other would read garbage.
#include <cstddef>

#include "Windows/eos_Windows.h"
#include "eos_auth.h"
#include "eos_ecom.h"
#include "eos_logging.h"
#include "eos_sdk.h"

#if defined(__x86_64__) || defined(_M_X64) || defined(__aarch64__)
static_assert(sizeof(EOS_InitializeOptions) == 72, "EOS_InitializeOptions");
static_assert(sizeof(EOS_Platform_Options) == 144, "EOS_Platform_Options");
static_assert(offsetof(EOS_Platform_Options, Flags) == 88, "EOS_Platform_Options::Flags");
static_assert(offsetof(EOS_Platform_Options, RTCOptions) == 112, "EOS_Platform_Options::RTCOptions");
static_assert(sizeof(EOS_Platform_RTCOptions) == 24, "EOS_Platform_RTCOptions");
static_assert(sizeof(EOS_Auth_LoginOptions) == 32, "EOS_Auth_LoginOptions");
static_assert(sizeof(EOS_Auth_Credentials) == 48, "EOS_Auth_Credentials");
static_assert(sizeof(EOS_Auth_LoginCallbackInfo) == 56, "EOS_Auth_LoginCallbackInfo");
static_assert(sizeof(EOS_Auth_Token) == 88, "EOS_Auth_Token");
static_assert(sizeof(EOS_Auth_IdToken) == 24, "EOS_Auth_IdToken");
static_assert(sizeof(EOS_Ecom_Entitlement) == 48, "EOS_Ecom_Entitlement");
static_assert(offsetof(EOS_Ecom_Entitlement, ServerIndex) == 32, "EOS_Ecom_Entitlement::ServerIndex");
static_assert(offsetof(EOS_Ecom_Entitlement, EndTimestamp) == 40, "EOS_Ecom_Entitlement::EndTimestamp");
static_assert(sizeof(EOS_Ecom_CheckoutOptions) == 40, "EOS_Ecom_CheckoutOptions");
static_assert(sizeof(EOS_Ecom_CheckoutCallbackInfo) == 32, "EOS_Ecom_CheckoutCallbackInfo");
static_assert(sizeof(EOS_Ecom_QueryEntitlementsOptions) == 32, "EOS_Ecom_QueryEntitlementsOptions");
static_assert(sizeof(EOS_Ecom_QueryEntitlementsCallbackInfo) == 24, "EOS_Ecom_QueryEntitlementsCallbackInfo");
static_assert(sizeof(EOS_Ecom_RedeemEntitlementsOptions) == 32, "EOS_Ecom_RedeemEntitlementsOptions");
static_assert(sizeof(EOS_Ecom_RedeemEntitlementsCallbackInfo) == 32, "EOS_Ecom_RedeemEntitlementsCallbackInfo");
static_assert(sizeof(EOS_LogMessage) == 24, "EOS_LogMessage");
static_assert(sizeof(EOS_Ecom_CatalogItem) == 88, "EOS_Ecom_CatalogItem");
static_assert(offsetof(EOS_Ecom_CatalogItem, ItemType) == 72, "EOS_Ecom_CatalogItem::ItemType");
static_assert(sizeof(EOS_Ecom_CatalogOffer) == 144, "EOS_Ecom_CatalogOffer");
static_assert(offsetof(EOS_Ecom_CatalogOffer, PriceResult) == 64, "EOS_Ecom_CatalogOffer::PriceResult");
static_assert(offsetof(EOS_Ecom_CatalogOffer, DiscountPercentage) == 76, "EOS_Ecom_CatalogOffer::DiscountPercentage");
static_assert(offsetof(EOS_Ecom_CatalogOffer, ExpirationTimestamp) == 80, "EOS_Ecom_CatalogOffer::ExpirationTimestamp");
static_assert(offsetof(EOS_Ecom_CatalogOffer, OriginalPrice64) == 104, "EOS_Ecom_CatalogOffer::OriginalPrice64");
static_assert(offsetof(EOS_Ecom_CatalogOffer, DecimalPoint) == 120, "EOS_Ecom_CatalogOffer::DecimalPoint");
#endif
static_assert(sizeof(EOS_EResult) == 4 && sizeof(EOS_ELogLevel) == 4 && sizeof(EOS_EAuthScopeFlags) == 4,
              "enums are 32-bit");
