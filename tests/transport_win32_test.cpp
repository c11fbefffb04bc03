// The transport's Windows-only duties against a real Win32 (under Wine on the build machines):
// name lookups that hold their own Winsock reference, and peer chains that only the Windows
// certificate store can vouch for.
#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/Sion.h"
#include "platform/Net.h"
#include "support/LoopbackServer.h"
#include "support/TestEnv.h"

namespace {

using vondtest::LoopbackServer;
using vondtest::ServerCert;

// Puts a CA into the current user's Root store for the scope of the object, as Windows does
// when it fetches a root on demand; the copy OpenSSL took of the store at start-up lacks it.
class ScopedWindowsRoot {
public:
    explicit ScopedWindowsRoot(const std::string& pemPath) {
        std::string pem;
        if (!vondtest::ReadFile(pemPath, pem)) return;
        DWORD size = 0;
        if (!::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                    nullptr, &size, nullptr, nullptr))
            return;
        std::vector<BYTE> der(size);
        if (!::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                    der.data(), &size, nullptr, nullptr))
            return;
        store_ = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
        if (store_ == nullptr) return;
        ::CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING, der.data(), size,
                                           CERT_STORE_ADD_REPLACE_EXISTING, &added_);
    }
    ~ScopedWindowsRoot() {
        if (added_ != nullptr) ::CertDeleteCertificateFromStore(added_);
        if (store_ != nullptr) ::CertCloseStore(store_, 0);
    }
    bool Added() const { return added_ != nullptr; }

private:
    HCERTSTORE store_ = nullptr;
    PCCERT_CONTEXT added_ = nullptr;
};

std::string FailureOf(const std::string& url) {
    sion::Request request;
    request.SetMethod(sion::Method::Post);
    try {
        request.Send(url);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no failure)";
}

}  // namespace

TEST(TransportWin32, LookupHoldsItsOwnWinsockReference) {
    // This process holds no Winsock reference at all, as when an exchange gave up on a slow
    // lookup and dropped its own.
    std::string ip = "unset";
    EXPECT_EQ(VondSdk::net::ResolveIpv4("localhost", ip), 0);
    EXPECT_EQ(ip, "127.0.0.1");
    // And the lookup gave back what it took: a socket call now finds Winsock not started.
    EXPECT_EQ(::socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(::WSAGetLastError(), WSANOTINITIALISED);
}

TEST(TransportWin32, ChainThatOnlyTheWindowsStoreTrustsIsAccepted) {
    // The test CA's file, but not handed to OpenSSL: only Windows will learn of it.
    const std::string caFile = vondtest::TrustTestCa();
    vondtest::UnsetEnv("VOND_SDK_CA_FILE");
    LoopbackServer server(ServerCert::Trusted);
    server.Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    const std::string url = "https://localhost:" + std::to_string(server.Port()) + "/";
    // The first exchange makes the client's trust store: no root for this chain anywhere.
    EXPECT_EQ(FailureOf(url).rfind(sion::kCertificateMessage, 0), 0u);

    ScopedWindowsRoot root(caFile);
    ASSERT_TRUE(root.Added());
    sion::Request request;
    request.SetMethod(sion::Method::Post);
    EXPECT_EQ(request.Send(url).BodyText(), "ok");

    // Windows checks the name as OpenSSL does: the same CA's certificate for another host is
    // still refused.
    LoopbackServer other(ServerCert::OtherHost);
    other.Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(FailureOf("https://localhost:" + std::to_string(other.Port()) + "/")
                  .rfind(sion::kCertificateMessage, 0),
              0u);
    EXPECT_TRUE(other.Requests().empty());
}

#endif  // _WIN32
