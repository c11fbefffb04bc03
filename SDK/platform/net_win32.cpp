// Winsock behind the network seam.
// CERT_CHAIN_PARA with its time-out for fetching over the network (windows.h may bring in
// wincrypt.h already).
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
// clang-format off
// Winsock must come before windows.h, and wincrypt.h's X509 macros before OpenSSL's headers,
// which undo them.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
// clang-format on

#include <chrono>
#include <cstring>
#include <cwctype>
#include <map>
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
    // A request goes out in one piece and then waits for its answer: nothing gains from
    // holding a small write back until the previous one is acknowledged.
    BOOL on = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
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

namespace {

std::wstring TakeGlobal(LPWSTR text) {
    std::wstring copy = text != nullptr ? std::wstring(text) : std::wstring();
    if (text != nullptr) ::GlobalFree(text);
    return copy;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// "*" matches any run of characters; everything else matches itself, ignoring case.
bool WildcardMatch(const wchar_t* pattern, const wchar_t* text) {
    if (*pattern == L'\0') return *text == L'\0';
    if (*pattern == L'*') return WildcardMatch(pattern + 1, text) || (*text != L'\0' && WildcardMatch(pattern, text + 1));
    return *text != L'\0' && *pattern == *text && WildcardMatch(pattern + 1, text + 1);
}

// The bypass list of the user's settings: entries separated by ";" or blanks, "<local>" for
// names without a dot, wildcards allowed.
bool Bypassed(const std::wstring& bypass, const std::wstring& host) {
    const std::wstring name = Lower(host);
    std::size_t start = 0;
    while (start < bypass.size()) {
        std::size_t end = bypass.find_first_of(L"; \t\r\n", start);
        if (end == std::wstring::npos) end = bypass.size();
        std::wstring entry = Lower(bypass.substr(start, end - start));
        start = end + 1;
        if (entry.empty()) continue;
        if (entry == L"<local>") {
            if (name.find(L'.') == std::wstring::npos) return true;
            continue;
        }
        if (WildcardMatch(entry.c_str(), name.c_str())) return true;
    }
    return false;
}

// The proxy for https from a WinHTTP proxy list: "host:port", or per-scheme entries
// ("http=a:80;https=b:443"), where https takes its own entry and otherwise none.
bool PickProxy(const std::wstring& list, ProxyAddress& proxy) {
    std::wstring chosen;
    std::wstring plain;
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t end = list.find_first_of(L"; \t\r\n", start);
        if (end == std::wstring::npos) end = list.size();
        std::wstring entry = list.substr(start, end - start);
        start = end + 1;
        if (entry.empty()) continue;
        std::size_t equals = entry.find(L'=');
        if (equals == std::wstring::npos) {
            if (plain.empty()) plain = entry;
        } else if (chosen.empty() && Lower(entry.substr(0, equals)) == L"https") {
            chosen = entry.substr(equals + 1);
        }
    }
    if (chosen.empty()) chosen = plain;
    std::size_t scheme = chosen.find(L"://");
    if (scheme != std::wstring::npos) chosen.erase(0, scheme + 3);
    chosen = chosen.substr(0, chosen.find(L'/'));
    if (chosen.empty()) return false;
    int port = 80;
    std::size_t colon = chosen.rfind(L':');
    if (colon != std::wstring::npos) {
        port = static_cast<int>(std::wcstol(chosen.c_str() + colon + 1, nullptr, 10));
        chosen.resize(colon);
    }
    if (chosen.empty() || port <= 0 || port > 65535) return false;
    proxy.host = WideToUtf8(chosen.c_str(), static_cast<int>(chosen.size()));
    proxy.port = port;
    return !proxy.host.empty();
}

struct ProxyAnswer {
    bool viaProxy = false;
    ProxyAddress proxy;
    std::chrono::steady_clock::time_point at;
};

// Reading the settings and running a PAC script per request would cost more than the request;
// an answer holds for a minute per host.
std::mutex& ProxyCacheMutex() {
    static std::mutex* const mutex = new std::mutex();
    return *mutex;
}
std::map<std::string, ProxyAnswer>& ProxyCache() {
    static auto* const cache = new std::map<std::string, ProxyAnswer>();
    return *cache;
}

}  // namespace

bool ProxyFromSettings(const std::wstring& list, const std::wstring& bypass, const std::string& host,
                       ProxyAddress& proxy) {
    const std::wstring wideHost(host.begin(), host.end());
    if (list.empty() || Bypassed(bypass, wideHost)) return false;
    return PickProxy(list, proxy);
}

namespace {

bool LookUpProxy(const std::string& url, const std::string& host, ProxyAddress& proxy) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&settings)) return false;
    const std::wstring script = TakeGlobal(settings.lpszAutoConfigUrl);
    std::wstring list = TakeGlobal(settings.lpszProxy);
    std::wstring bypass = TakeGlobal(settings.lpszProxyBypass);
    // Automatic detection (WPAD) is left out: it is on by default almost everywhere and would
    // make the first request wait on DHCP and DNS for a script that rarely exists. A script
    // the user or the administrator configured is honoured.
    if (!script.empty()) {
        // The PAC script's answer for the backend's URL. Its download is bounded; the caller
        // bounds the whole lookup as well.
        HINTERNET session = ::WinHttpOpen(L"vondsdk", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                          WINHTTP_NO_PROXY_BYPASS, 0);
        if (session != nullptr) {
            ::WinHttpSetTimeouts(session, 5000, 5000, 5000, 5000);
            WINHTTP_AUTOPROXY_OPTIONS options{};
            options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
            options.lpszAutoConfigUrl = script.c_str();
            options.fAutoLogonIfChallenged = TRUE;
            WINHTTP_PROXY_INFO info{};
            std::wstring wideUrl(url.begin(), url.end());
            const bool answered = ::WinHttpGetProxyForUrl(session, wideUrl.c_str(), &options, &info) != FALSE;
            const std::wstring answer = TakeGlobal(info.lpszProxy);
            TakeGlobal(info.lpszProxyBypass);
            ::WinHttpCloseHandle(session);
            if (answered) {
                // The script decided for this very URL: its answer stands, bypass included.
                return info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && PickProxy(answer, proxy);
            }
        }
    }
    return ProxyFromSettings(list, bypass, host, proxy);
}

}  // namespace

bool ProxyLookupMayWait() {
    return true;
}

bool SystemProxyFor(const std::string& url, const std::string& host, ProxyAddress& proxy) {
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(ProxyCacheMutex());
        auto found = ProxyCache().find(host);
        if (found != ProxyCache().end() && now - found->second.at < std::chrono::minutes(1)) {
            proxy = found->second.proxy;
            return found->second.viaProxy;
        }
    }
    ProxyAnswer answer;
    answer.viaProxy = LookUpProxy(url, host, answer.proxy);
    answer.at = now;
    std::lock_guard<std::mutex> lock(ProxyCacheMutex());
    ProxyCache()[host] = answer;
    proxy = answer.proxy;
    return answer.viaProxy;
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
