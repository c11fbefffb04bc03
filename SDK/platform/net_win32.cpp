// Winsock behind the network seam.
// clang-format off
// Winsock must come before windows.h, and wincrypt.h's X509 macros before OpenSSL's headers,
// which undo them.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
// clang-format on

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Net.h"

namespace VondSdk {
namespace net {

namespace {

constexpr const char* kWsaInProgress = "正在进行阻塞的 Windows Sockets 1.1 操作";
constexpr const char* kWsaProcessLimit = "已达到 Windows 套接字实现支持的任务数限制";
constexpr const char* kWsaNotReady = "底层网络子系统尚未准备好进行网络通信";
constexpr const char* kWsaVersionNotSupported =
    "此特定 Windows 套接字实现不提供请求的 Windows 套接字支持版本";
constexpr const char* kWsaInitFailed = "wsa初始化错误";

bool IsWouldBlock(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

std::string WideToUtf8(const wchar_t* text, int length) {
    if (length <= 0) return std::string();
    int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string result(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, &result[0], size, nullptr, nullptr);
    return result;
}

// Every WSAStartup and WSACleanup of the SDK goes through this lock. The start-up count is
// process-wide, and Wine (which runs Windows games on Linux and the Steam Deck) updates it
// without any interlocking: two workers starting and ending requests at once can lose an
// update, the count reaches zero while other exchanges are still open, and every socket of
// the process, the game's own too, is closed under them (their calls then fail with
// WSAENOTSOCK). Taking the calls one at a time keeps the count exact; the calls are cheap
// while the count stays above zero.
std::mutex& StartupCountMutex() {
    static std::mutex* const mutex = new std::mutex();  // never destroyed: used up to process end
    return *mutex;
}

}  // namespace

bool StartupNetwork(std::string& message) {
    std::lock_guard<std::mutex> lock(StartupCountMutex());
    WSADATA data{};
    int result = ::WSAStartup(MAKEWORD(2, 0), &data);
    if (result == 0 && LOBYTE(data.wVersion) == 2 && HIBYTE(data.wVersion) == 0) {
        message.clear();
        return true;
    }
    ::WSACleanup();
    switch (result) {
        case WSAEINPROGRESS:
            message = kWsaInProgress;
            break;
        case WSAEPROCLIM:
            message = kWsaProcessLimit;
            break;
        case WSASYSNOTREADY:
            message = kWsaNotReady;
            break;
        case WSAVERNOTSUPPORTED:
            message = kWsaVersionNotSupported;
            break;
        default:
            message = kWsaInitFailed;
            break;
    }
    return false;
}

void CleanupNetwork() {
    std::lock_guard<std::mutex> lock(StartupCountMutex());
    ::WSACleanup();
}

SocketHandle OpenTcpSocket() {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(s);
        return kInvalidSocket;
    }
    return static_cast<SocketHandle>(s);
}

void CloseSocket(SocketHandle socket) {
    if (socket != kInvalidSocket) ::closesocket(static_cast<SOCKET>(socket));
}

int ResolveIpv4(const std::string& host, std::string& ip) {
    std::string startupMessage;
    if (!StartupNetwork(startupMessage)) return WSANOTINITIALISED;
    struct Reference {
        ~Reference() { CleanupNetwork(); }
    } reference;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int code = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
    if (code != 0) return code;
    if (result != nullptr && result->ai_family == AF_INET && result->ai_addr != nullptr) {
        char text[22] = {0};
        auto* address = reinterpret_cast<sockaddr_in*>(result->ai_addr);
        if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text)) != nullptr) ip = text;
    }
    ::freeaddrinfo(result);
    return 0;
}

std::string ResolveErrorText(int code) {
    wchar_t buffer[1024] = {0};
    DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
        static_cast<DWORD>(code), 0, buffer, 1024, nullptr);
    std::string text = WideToUtf8(buffer, static_cast<int>(length));
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

bool ParseIpv4(const std::string& text, unsigned char address[4]) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
    std::memcpy(address, &parsed, 4);
    return true;
}

int BeginConnect(SocketHandle socket, const unsigned char address[4], std::uint16_t port) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    std::memcpy(&target.sin_addr, address, 4);
    if (::connect(static_cast<SOCKET>(socket), reinterpret_cast<const sockaddr*>(&target), 16) == 0) return 0;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? 1 : -1;
}

int ConnectResult(SocketHandle socket) {
    int error = 0;
    int length = sizeof(error);
    if (::getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                     &length) != 0)
        return ::WSAGetLastError();
    return error;
}

int WaitSocket(SocketHandle socket, bool forWrite, int timeoutMs) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(static_cast<SOCKET>(socket), &ready);
    FD_SET(static_cast<SOCKET>(socket), &failed);
    timeval limit{};
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    // A refused non-blocking connect shows up only in the exception set on Windows.
    int count = ::select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &limit);
    if (count == SOCKET_ERROR) return -1;
    return count > 0 ? 1 : 0;
}

long SendSome(SocketHandle socket, const char* data, std::size_t size, bool& wouldBlock) {
    int chunk = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
    int sent = ::send(static_cast<SOCKET>(socket), data, chunk, 0);
    wouldBlock = sent == SOCKET_ERROR && IsWouldBlock(::WSAGetLastError());
    return sent == SOCKET_ERROR ? -1 : static_cast<long>(sent);
}

long RecvSome(SocketHandle socket, char* data, std::size_t size, bool& wouldBlock) {
    int chunk = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
    int received = ::recv(static_cast<SOCKET>(socket), data, chunk, 0);
    wouldBlock = received == SOCKET_ERROR && IsWouldBlock(::WSAGetLastError());
    return received == SOCKET_ERROR ? -1 : static_cast<long>(received);
}

int LastSocketError() {
    return ::WSAGetLastError();
}

bool LoadTrustedRoots(SSL_CTX* context) {
    HCERTSTORE store = ::CertOpenSystemStoreW(0, L"ROOT");
    if (store == nullptr) return false;
    X509_STORE* trusted = SSL_CTX_get_cert_store(context);
    int added = 0;
    PCCERT_CONTEXT certificate = nullptr;
    while ((certificate = ::CertEnumCertificatesInStore(store, certificate)) != nullptr) {
        const unsigned char* encoded = certificate->pbCertEncoded;
        X509* x509 = d2i_X509(nullptr, &encoded, static_cast<long>(certificate->cbCertEncoded));
        if (x509 == nullptr) continue;
        if (X509_STORE_add_cert(trusted, x509) == 1) ++added;
        X509_free(x509);
    }
    ::CertCloseStore(store, 0);
    return added > 0;
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

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

}  // namespace

bool VerifyWithSystemRoots(const std::vector<std::string>& chain, const std::string& host) {
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
    PCCERT_CHAIN_CONTEXT built = nullptr;
    if (!::CertGetCertificateChain(nullptr, leaf.get(), nullptr, sent.get(), &parameters, 0, nullptr,
                                   &built) ||
        built == nullptr)
        return false;
    std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFreer> owned(built);
    // The chain itself must be sound and end in a trusted root; the SSL policy alone is not
    // enough everywhere (Wine's accepts an unknown root for a host name).
    if (built->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR) return false;

    std::wstring serverName = Widen(host);
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
