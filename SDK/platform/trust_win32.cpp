// The Windows trust store behind the network seam: the roots OpenSSL checks against, the
// Disallowed store, and the system verifier's verdict on a chain OpenSSL refused.
// CERT_CHAIN_PARA with its time-out for fetching over the network (windows.h may bring in
// wincrypt.h already).
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
// clang-format off
// Winsock must come before windows.h, and wincrypt.h's X509 macros before OpenSSL's headers,
// which undo them.
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
// clang-format on

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/Net.h"
#include "platform/Platform.h"

namespace VondSdk {
namespace net {

namespace {

// False when the certificate's own properties limit it to purposes other than server
// authentication (an administrator or the user can narrow a root that way).
bool AllowedForServerAuth(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_PROP_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size))
        return ::GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);  // no limit set
    std::vector<BYTE> buffer(size);
    auto* usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(buffer.data());
    ::SetLastError(0);
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_PROP_ONLY_ENHKEY_USAGE_FLAG, usage, &size))
        return false;
    // An empty list is either "no limit" (the call says so by CRYPT_E_NOT_FOUND) or "good for
    // nothing".
    if (usage->cUsageIdentifier == 0) return ::GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_SERVER_AUTH) == 0) return true;
    }
    return false;
}

bool InStore(HCERTSTORE store, PCCERT_CONTEXT certificate) {
    if (store == nullptr) return false;
    PCCERT_CONTEXT found =
        ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr);
    if (found == nullptr) return false;
    ::CertFreeCertificateContext(found);
    return true;
}

}  // namespace

bool LoadTrustedRoots(SSL_CTX* context) {
    HCERTSTORE store = ::CertOpenSystemStoreW(0, L"ROOT");
    if (store == nullptr) return false;
    HCERTSTORE disallowed = ::CertOpenSystemStoreW(0, L"Disallowed");
    X509_STORE* trusted = SSL_CTX_get_cert_store(context);
    int added = 0;
    PCCERT_CONTEXT certificate = nullptr;
    while ((certificate = ::CertEnumCertificatesInStore(store, certificate)) != nullptr) {
        // Copied without its properties, a root Windows has distrusted or limited would be
        // trusted for everything.
        if (InStore(disallowed, certificate) || !AllowedForServerAuth(certificate)) continue;
        const unsigned char* encoded = certificate->pbCertEncoded;
        X509* x509 = d2i_X509(nullptr, &encoded, static_cast<long>(certificate->cbCertEncoded));
        if (x509 == nullptr) continue;
        if (X509_STORE_add_cert(trusted, x509) == 1) ++added;
        X509_free(x509);
    }
    if (disallowed != nullptr) ::CertCloseStore(disallowed, 0);
    ::CertCloseStore(store, 0);
    return added > 0;
}

bool IsDistrusted(const std::vector<std::string>& chain) {
    HCERTSTORE disallowed = ::CertOpenSystemStoreW(0, L"Disallowed");
    if (disallowed == nullptr) return false;
    bool distrusted = false;
    for (const std::string& der : chain) {
        PCCERT_CONTEXT certificate = ::CertCreateCertificateContext(
            X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()));
        if (certificate == nullptr) continue;
        distrusted = InStore(disallowed, certificate);
        ::CertFreeCertificateContext(certificate);
        if (distrusted) break;
    }
    ::CertCloseStore(disallowed, 0);
    return distrusted;
}

bool HasSystemVerifier() {
    return true;
}

}  // namespace net
}  // namespace VondSdk

namespace VondSdk {
namespace net {

namespace {

struct StoreCloser {
    void operator()(void* store) const { ::CertCloseStore(static_cast<HCERTSTORE>(store), 0); }
};
struct CertificateFreer {
    void operator()(const CERT_CONTEXT* certificate) const { ::CertFreeCertificateContext(certificate); }
};
struct ChainFreer {
    void operator()(const CERT_CHAIN_CONTEXT* chain) const { ::CertFreeCertificateChain(chain); }
};

}  // namespace

bool VerifyWithSystemRoots(const std::vector<std::string>& chain, const std::string& host, int fetchTimeoutMs) {
    if (chain.empty() || chain.front().empty() || host.empty()) return false;
    std::unique_ptr<const CERT_CONTEXT, CertificateFreer> leaf(
        ::CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(chain.front().data()),
                                       static_cast<DWORD>(chain.front().size())));
    if (!leaf) return false;
    // The intermediates the peer sent, so that the chain can be built through them.
    std::unique_ptr<void, StoreCloser> sent(
        ::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!sent) return false;
    for (size_t i = 1; i < chain.size(); ++i) {
        ::CertAddEncodedCertificateToStore(
            sent.get(), X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(chain[i].data()),
            static_cast<DWORD>(chain[i].size()), CERT_STORE_ADD_ALWAYS, nullptr);
    }

    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof(parameters);
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    // A missing root or intermediate may be fetched, but no fetch may take longer than the
    // caller allows (offline, the default waits are tens of seconds per address).
    parameters.dwUrlRetrievalTimeout = static_cast<DWORD>(fetchTimeoutMs > 0 ? fetchTimeoutMs : 1);
    PCCERT_CHAIN_CONTEXT built = nullptr;
    if (!::CertGetCertificateChain(nullptr, leaf.get(), nullptr, sent.get(), &parameters,
                                   0, nullptr, &built) ||
        built == nullptr)
        return false;
    std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFreer> owned(built);
    // The chain itself must be sound and end in a trusted root; the SSL policy alone is not
    // enough everywhere (Wine's accepts an unknown root for a host name).
    if (built->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR) return false;

    std::wstring serverName = platform::Utf8ToWide(host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof(ssl);
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = &serverName[0];
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof(policy);
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof(status);
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, built, &policy, &status)) return false;
    return status.dwError == 0;
}

}  // namespace net
}  // namespace VondSdk
