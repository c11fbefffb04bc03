// Winsock behind the network seam; the system's trust and proxy settings are in
// trust_win32.cpp and proxy_win32.cpp.
// clang-format off
// Winsock must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <chrono>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Net.h"
#include "platform/Platform.h"

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

bool StartupNetwork(std::string& message) { return StartupNetworkVersion(MAKEWORD(2, 0), message); }

bool StartupNetworkVersion(unsigned short version, std::string& message) {
    std::lock_guard<std::mutex> lock(StartupCountMutex());
    WSADATA data{};
    int result = ::WSAStartup(version, &data);
    if (result == 0 && data.wVersion == version) {
        message.clear();
        return true;
    }
    // Only a start-up that succeeded took a reference. Releasing one after a refused start-up
    // would release the game's own, and a count that reaches zero closes the game's sockets.
    if (result == 0) ::WSACleanup();
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
    std::string text = platform::WideToUtf8(std::wstring(buffer, length));
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

}  // namespace net
}  // namespace VondSdk
