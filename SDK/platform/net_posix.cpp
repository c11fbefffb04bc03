// BSD sockets behind the network seam.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Net.h"

namespace VondSdk {
namespace net {

namespace {

#ifdef MSG_NOSIGNAL
// A peer that has gone away must fail the write, not kill the game with SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

bool IsWouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

bool StartupNetwork(std::string& message) {
    message.clear();
    return true;
}

void CleanupNetwork() {}

SocketHandle OpenTcpSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return kInvalidSocket;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        ::close(fd);
        return kInvalidSocket;
    }
    int on = 1;
#ifdef SO_NOSIGPIPE
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
#endif
    // A request goes out in one piece and then waits for its answer: nothing gains from
    // holding a small write back until the previous one is acknowledged.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    return fd;
}

void CloseSocket(SocketHandle socket) {
    if (socket != kInvalidSocket) ::close(static_cast<int>(socket));
}

int ResolveIpv4(const std::string& host, std::string& ip) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int code = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
    if (code != 0) return code;
    if (result != nullptr && result->ai_family == AF_INET && result->ai_addr != nullptr) {
        char text[22] = {0};
        const auto* address = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
        if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text)) != nullptr) ip = text;
    }
    ::freeaddrinfo(result);
    return 0;
}

std::string ResolveErrorText(int code) {
    std::string text = ::gai_strerror(code);
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    if (text.size() > 1024) text.resize(1024);
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
    if (::connect(static_cast<int>(socket), reinterpret_cast<const sockaddr*>(&target), 16) == 0) return 0;
    return errno == EINPROGRESS || errno == EINTR ? 1 : -1;
}

int ConnectResult(SocketHandle socket) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

int WaitSocket(SocketHandle socket, bool forWrite, int timeoutMs) {
    pollfd entry{};
    entry.fd = static_cast<int>(socket);
    entry.events = forWrite ? POLLOUT : POLLIN;
    int ready = ::poll(&entry, 1, timeoutMs);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    // Errors and hang-ups count as ready: the next call reports them.
    return ready > 0 ? 1 : 0;
}

long SendSome(SocketHandle socket, const char* data, std::size_t size, bool& wouldBlock) {
    ssize_t sent = ::send(static_cast<int>(socket), data, size, kSendFlags);
    wouldBlock = sent < 0 && IsWouldBlock(errno);
    return sent < 0 ? -1 : static_cast<long>(sent);
}

long RecvSome(SocketHandle socket, char* data, std::size_t size, bool& wouldBlock) {
    ssize_t received = ::recv(static_cast<int>(socket), data, size, 0);
    wouldBlock = received < 0 && IsWouldBlock(errno);
    return received < 0 ? -1 : static_cast<long>(received);
}

int LastSocketError() {
    return errno;
}

bool LoadTrustedRoots(SSL_CTX* context) {
    return SSL_CTX_set_default_verify_paths(context) == 1;
}

namespace {

std::string EnvOf(const char* upper, const char* lower) {
    const char* value = std::getenv(lower);
    if (value == nullptr || *value == '\0') value = std::getenv(upper);
    return value != nullptr ? std::string(value) : std::string();
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// NO_PROXY as curl and most tools read it: "*", or names and addresses separated by commas
// (blanks ignored, an optional port ignored); a name covers its subdomains, a leading dot too.
bool Exempted(const std::string& noProxy, const std::string& host) {
    const std::string name = LowerAscii(host);
    std::size_t start = 0;
    while (start <= noProxy.size()) {
        std::size_t end = noProxy.find(',', start);
        if (end == std::string::npos) end = noProxy.size();
        std::string entry = LowerAscii(noProxy.substr(start, end - start));
        start = end + 1;
        entry.erase(0, entry.find_first_not_of(" \t"));
        entry.erase(entry.find_last_not_of(" \t") + 1);
        if (entry == "*") return true;
        std::size_t colon = entry.find(':');
        if (colon != std::string::npos) entry.resize(colon);
        while (!entry.empty() && entry[0] == '.') entry.erase(0, 1);
        if (entry.empty()) continue;
        if (name == entry) return true;
        if (name.size() > entry.size() && name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
            name[name.size() - entry.size() - 1] == '.')
            return true;
    }
    return false;
}

}  // namespace

bool ProxyLookupMayWait() {
    return false;
}

bool SystemProxyFor(const std::string&, const std::string& host, ProxyAddress& proxy) {
    std::string setting = EnvOf("HTTPS_PROXY", "https_proxy");
    if (setting.empty() || Exempted(EnvOf("NO_PROXY", "no_proxy"), host)) return false;
    // "http://host:port", "host:port" or "host"; a path or credentials are not supported.
    std::size_t scheme = setting.find("://");
    if (scheme != std::string::npos) {
        if (LowerAscii(setting.substr(0, scheme)) != "http") return false;
        setting.erase(0, scheme + 3);
    }
    setting = setting.substr(0, setting.find('/'));
    if (setting.empty() || setting.find('@') != std::string::npos) return false;
    std::size_t colon = setting.rfind(':');
    int port = 1080;
    if (colon != std::string::npos) {
        const std::string digits = setting.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        port = std::atoi(digits.c_str());
        setting.resize(colon);
    }
    if (setting.empty() || port <= 0 || port > 65535) return false;
    proxy.host = setting;
    proxy.port = port;
    return true;
}

bool IsDistrusted(const std::vector<std::string>&) {
    return false;
}

bool HasSystemVerifier() {
    return false;
}

bool VerifyWithSystemRoots(const std::vector<std::string>&, const std::string&, int) {
    return false;
}

}  // namespace net
}  // namespace VondSdk
