// The stand-in's headers must be the vendor's in every name, case and value the SDK can see:
// a build against the real EOS SDK finds its headers by these names on case-sensitive file
// systems, and a value the vendor lacks would let code compile here and fail there. The
// expected values are the ones read off the vendor's 1.16 headers.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <type_traits>

#include "Windows/eos_Windows.h"
#include "eos_auth.h"
#include "eos_ecom.h"
#include "eos_integratedplatform.h"
#include "eos_logging.h"
#include "eos_sdk.h"

namespace {

// Header file names as the vendor ships them. Every file of the stand-in's include folder must
// carry one of them byte for byte, and each of them must be there.
const char* const kVendorHeaders[] = {
    "eos_base.h",     "eos_common.h",      "eos_result.h",     "eos_types.h",
    "eos_init.h",     "eos_sdk.h",         "eos_logging.h",    "eos_auth.h",
    "eos_auth_types.h", "eos_ecom.h",      "eos_ecom_types.h", "eos_integratedplatform.h",
    "eos_integratedplatform_types.h",      "Windows/eos_Windows.h",
};

TEST(EosHeaders, CarryTheVendorsFileNamesByteForByte) {
    const std::filesystem::path root(VOND_EOS_INCLUDE_DIR);
    std::set<std::string> present;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) present.insert(entry.path().lexically_relative(root).generic_string());
    }
    const std::set<std::string> vendor(std::begin(kVendorHeaders), std::end(kVendorHeaders));
    for (const std::string& name : vendor) EXPECT_EQ(present.count(name), 1u) << "missing: " << name;
    for (const std::string& name : present) EXPECT_EQ(vendor.count(name), 1u) << "not a vendor header name: " << name;
}

struct Value {
    const char* name;
    long long declared;
    long long vendor;
};
#define VOND_VALUE(name, vendor) {#name, static_cast<long long>(name), vendor}
const Value kValues[] = {
    // Lengths and bounds.
    VOND_VALUE(EOS_EPICACCOUNTID_MAX_LENGTH, 32),
    VOND_VALUE(EOS_PRODUCTUSERID_MAX_LENGTH, 32),
    VOND_VALUE(EOS_ECOM_QUERYENTITLEMENTS_MAX_ENTITLEMENT_IDS, 256),
    VOND_VALUE(EOS_ECOM_REDEEMENTITLEMENTS_MAX_IDS, 32),
    VOND_VALUE(EOS_ECOM_CHECKOUT_MAX_ENTRIES, 10),
    VOND_VALUE(EOS_ECOM_TRANSACTIONID_MAXIMUM_LENGTH, 64),
    VOND_VALUE(EOS_PLATFORM_OPTIONS_PRODUCTID_MAX_LENGTH, 64),
    VOND_VALUE(EOS_PLATFORM_OPTIONS_SANDBOXID_MAX_LENGTH, 64),
    VOND_VALUE(EOS_PLATFORM_OPTIONS_DEPLOYMENTID_MAX_LENGTH, 64),
    VOND_VALUE(EOS_PLATFORM_OPTIONS_ENCRYPTIONKEY_LENGTH, 64),
    VOND_VALUE(EOS_COUNTRYCODE_MAX_LENGTH, 4),
    VOND_VALUE(EOS_LOCALECODE_MAX_LENGTH, 9),
    // The API numbers the SDK sets.
    VOND_VALUE(EOS_INITIALIZE_API_LATEST, 4),
    VOND_VALUE(EOS_INITIALIZE_THREADAFFINITY_API_LATEST, 3),
    VOND_VALUE(EOS_PLATFORM_OPTIONS_API_LATEST, 14),
    VOND_VALUE(EOS_PLATFORM_RTCOPTIONS_API_LATEST, 2),
    VOND_VALUE(EOS_WINDOWS_RTCOPTIONS_API_LATEST, 1),
    VOND_VALUE(EOS_AUTH_LOGIN_API_LATEST, 3),
    VOND_VALUE(EOS_AUTH_CREDENTIALS_API_LATEST, 4),
    VOND_VALUE(EOS_AUTH_TOKEN_API_LATEST, 2),
    VOND_VALUE(EOS_AUTH_IDTOKEN_API_LATEST, 1),
    VOND_VALUE(EOS_ECOM_ENTITLEMENT_API_LATEST, 2),
    VOND_VALUE(EOS_ECOM_CATALOGITEM_API_LATEST, 1),
    VOND_VALUE(EOS_ECOM_CATALOGOFFER_API_LATEST, 5),
    VOND_VALUE(EOS_ECOM_QUERYENTITLEMENTS_API_LATEST, 2),
    VOND_VALUE(EOS_ECOM_REDEEMENTITLEMENTS_API_LATEST, 2),
    // Results and enums the SDK tells apart.
    VOND_VALUE(EOS_EResult::EOS_Success, 0),
    VOND_VALUE(EOS_EResult::EOS_Canceled, 17),
    VOND_VALUE(EOS_EResult::EOS_Auth_ExchangeCodeNotFound, 1040),
    VOND_VALUE(EOS_EResult::EOS_Ecom_EntitlementStale, 4000),
    VOND_VALUE(EOS_EResult::EOS_Ecom_CatalogOfferStale, 4001),
    VOND_VALUE(EOS_EResult::EOS_Ecom_CatalogItemStale, 4002),
    VOND_VALUE(EOS_EResult::EOS_Ecom_CatalogOfferPriceInvalid, 4003),
    VOND_VALUE(EOS_EResult::EOS_Ecom_CheckoutLoadError, 4004),
    VOND_VALUE(EOS_EResult::EOS_Ecom_PurchaseProcessing, 4005),
    VOND_VALUE(EOS_ELogCategory::EOS_LC_ALL_CATEGORIES, 0x7fffffff),
    VOND_VALUE(EOS_ELogCategory::EOS_LC_CustomInvites, 31),
    VOND_VALUE(EOS_ELogLevel::EOS_LOG_Warning, 300),
};
#undef VOND_VALUE

TEST(EosHeaders, DeclareTheVendorsValues) {
    for (const Value& value : kValues) EXPECT_EQ(value.declared, value.vendor) << value.name;
}

// Names the vendor's 1.16 headers lack: declaring them would let code compile here that stops
// a real build.
template <typename E, typename = void>
struct HasCatalogOfferInvalid : std::false_type {};
template <typename E>
struct HasCatalogOfferInvalid<E, std::void_t<decltype(E::EOS_Ecom_CatalogOfferInvalid)>> : std::true_type {};
template <typename E, typename = void>
struct HasHttpCategory : std::false_type {};
template <typename E>
struct HasHttpCategory<E, std::void_t<decltype(E::EOS_LC_HTTP)>> : std::true_type {};
template <typename T, typename = void>
struct HasPreviouslyRedeemedCount : std::false_type {};
template <typename T>
struct HasPreviouslyRedeemedCount<T, std::void_t<decltype(&T::PreviouslyRedeemedEntitlementIdsCount)>>
    : std::true_type {};
template <typename T, typename = void>
struct HasInvalidCount : std::false_type {};
template <typename T>
struct HasInvalidCount<T, std::void_t<decltype(&T::InvalidEntitlementIdsCount)>> : std::true_type {};

TEST(EosHeaders, DeclareNoNameTheVendorLacks) {
    EXPECT_FALSE(HasCatalogOfferInvalid<EOS_EResult>::value) << "EOS_Ecom_CatalogOfferInvalid";
    EXPECT_FALSE(HasHttpCategory<EOS_ELogCategory>::value) << "EOS_LC_HTTP";
    EXPECT_FALSE(HasPreviouslyRedeemedCount<EOS_Ecom_RedeemEntitlementsCallbackInfo>::value)
        << "EOS_Ecom_RedeemEntitlementsCallbackInfo::PreviouslyRedeemedEntitlementIdsCount";
    EXPECT_FALSE(HasInvalidCount<EOS_Ecom_RedeemEntitlementsCallbackInfo>::value)
        << "EOS_Ecom_RedeemEntitlementsCallbackInfo::InvalidEntitlementIdsCount";
}

struct Layout {
    const char* name;
    size_t size;
    size_t vendor64;
    size_t vendor32;  // 0: not read off the vendor's x86 headers
};
#define VOND_LAYOUT(type, x64, x86) {#type, sizeof(type), x64, x86}
const Layout kLayouts[] = {
    VOND_LAYOUT(EOS_InitializeOptions, 72, 0),
    VOND_LAYOUT(EOS_Initialize_ThreadAffinity, 72, 0),
    VOND_LAYOUT(EOS_Platform_Options, 144, 0),
    VOND_LAYOUT(EOS_Platform_RTCOptions, 24, 0),
    VOND_LAYOUT(EOS_Auth_LoginOptions, 32, 0),
    VOND_LAYOUT(EOS_Auth_Credentials, 48, 0),
    VOND_LAYOUT(EOS_Ecom_CheckoutOptions, 40, 0),
    VOND_LAYOUT(EOS_Ecom_RedeemEntitlementsCallbackInfo, 32, 16),
    VOND_LAYOUT(EOS_LogMessage, 24, 0),
};
#undef VOND_LAYOUT

TEST(EosHeaders, LayOutTheStructsAsTheVendorDoes) {
    for (const Layout& layout : kLayouts) {
        const size_t vendor = sizeof(void*) == 8 ? layout.vendor64 : layout.vendor32;
        if (vendor != 0) EXPECT_EQ(layout.size, vendor) << layout.name;
    }
}

}  // namespace
