// The transport's Windows-only duties against a real Win32 (under Wine on the build machines):
// name lookups that hold their own Winsock reference, a start-up count that stays exact under
// many threads, and peer chains that only the Windows
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
#include <thread>
#include <vector>

#include "http/Sion.h"
#include "platform/Net.h"
#include "support/LoopbackServer.h"
#include "support/TestEnv.h"

namespace {

using vondtest::LoopbackServer;
using vondtest::ServerCert;

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

TEST(TransportWin32, RefusedStartupLeavesTheGamesWinsockReferenceAlone) {
    // The game started Winsock itself and holds a socket.
    WSADATA data{};
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    const SOCKET own = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(own, INVALID_SOCKET);
    std::string message;
    // Version 0.0 is one that every Winsock refuses.
    EXPECT_FALSE(VondSdk::net::StartupNetworkVersion(0, message));
    EXPECT_EQ(message, "此特定 Windows 套接字实现不提供请求的 Windows 套接字支持版本");
    // The game's socket is still open, and its own reference is the only one left.
    int type = 0;
    int length = sizeof(type);
    EXPECT_EQ(::getsockopt(own, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length), 0);
    EXPECT_EQ(type, SOCK_STREAM);
    ::closesocket(own);
    EXPECT_EQ(::WSACleanup(), 0);
    EXPECT_EQ(::WSACleanup(), SOCKET_ERROR);
}

// Requests on six workers take and drop Winsock references all the time. The count must never
// reach zero under a socket that is still open: Wine then closes every socket of the process.
// Wine's count is not interlocked: without the SDK's lock, 8 threads x 100,000 pairs leave it
// off by some (seen every run), up or down.
TEST(TransportWin32, ReferencesTakenOnManyThreadsNeverEndWinsockUnderAnOpenSocket) {
    std::string message;
    ASSERT_TRUE(VondSdk::net::StartupNetwork(message)) << message;
    const SOCKET held = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(held, INVALID_SOCKET);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 100000; ++i) {
                std::string ignored;
                if (VondSdk::net::StartupNetwork(ignored)) VondSdk::net::CleanupNetwork();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    int type = 0;
    int length = sizeof type;
    EXPECT_EQ(::getsockopt(held, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length), 0)
        << "the open socket was closed under the test: " << ::WSAGetLastError();
    EXPECT_EQ(type, SOCK_STREAM);
    ::closesocket(held);
    VondSdk::net::CleanupNetwork();
    // Every reference was given back: Winsock is not started any more.
    EXPECT_EQ(::socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(::WSAGetLastError(), WSANOTINITIALISED);
}

// A chain OpenSSL refuses goes to CryptoAPI before the handshake fails. Its verdict must not
// widen trust: Wine's SSL policy alone passes a chain to an unknown root for a host name, so
// the chain's own trust status is required as well. (A root that only the Windows store knows
// cannot be staged under Wine, which reads its root store once per process; on Windows the
// same path accepts such a chain.)
TEST(TransportWin32, SystemVerifierRefusesWhatNoStoreTrusts) {
    vondtest::UnsetEnv("VOND_SDK_CA_FILE");
    LoopbackServer trusted(ServerCert::Trusted);
    LoopbackServer other(ServerCert::OtherHost);
    LoopbackServer stranger(ServerCert::UntrustedCa);
    for (const LoopbackServer* peer : {&trusted, &other, &stranger}) {
        for (const std::string host : {"localhost", "127.0.0.1"}) {
            const std::string failure =
                FailureOf("https://" + host + ":" + std::to_string(peer->Port()) + "/");
            EXPECT_EQ(failure.rfind(sion::kCertificateMessage, 0), 0u) << host << ": " << failure;
        }
        EXPECT_TRUE(peer->Requests().empty());
    }
}

// The user's proxy settings as Windows gives them (the list and bypass texts of the Internet
// settings, or a PAC script's answer): which proxy https takes, and which hosts go direct.
TEST(TransportWin32, ProxySettingsNameTheHttpsProxyAndTheHostsThatBypassIt) {
    struct Case {
        const wchar_t* list;
        const wchar_t* bypass;
        const char* host;
        const char* expected;  // "host:port", or "" for direct
    };
    const Case cases[] = {
        {L"proxy.corp:8080", L"", "sdkapi.vondgame.com", "proxy.corp:8080"},
        {L"http=web:80;https=secure:3128", L"", "sdkapi.vondgame.com", "secure:3128"},
        {L"http=web:80", L"", "sdkapi.vondgame.com", ""},
        {L"http://proxy.corp:8080", L"", "sdkapi.vondgame.com", "proxy.corp:8080"},
        {L"proxy.corp", L"", "sdkapi.vondgame.com", "proxy.corp:80"},
        {L"10.0.0.1:3128; 10.0.0.2:3128", L"", "sdkapi.vondgame.com", "10.0.0.1:3128"},
        {L"proxy.corp:8080", L"<local>", "intranet", ""},
        {L"proxy.corp:8080", L"<local>", "sdkapi.vondgame.com", "proxy.corp:8080"},
        {L"proxy.corp:8080", L"*.VONDGAME.com;10.*", "sdkapi.vondgame.com", ""},
        {L"proxy.corp:8080", L"*.vondgame.com", "vondgame.org", "proxy.corp:8080"},
        {L"proxy.corp:8080", L"10.*", "10.1.2.3", ""},
        {L"", L"", "sdkapi.vondgame.com", ""},
        {L"proxy.corp:99999", L"", "sdkapi.vondgame.com", ""},
    };
    for (const Case& c : cases) {
        VondSdk::net::ProxyAddress proxy;
        const bool via = VondSdk::net::ProxyFromSettings(c.list, c.bypass, c.host, proxy);
        const std::string got = via ? proxy.host + ":" + std::to_string(proxy.port) : std::string();
        EXPECT_EQ(c.expected, got) << c.host;
    }
}

#endif  // _WIN32
