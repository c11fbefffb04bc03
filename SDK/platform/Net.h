// The network seam: the few socket calls the HTTP client needs, over Winsock on Windows
// (net_win32.cpp) and BSD sockets elsewhere (net_posix.cpp). IPv4 TCP only.
// Every function is thread-safe, never throws and never raises a signal (a write to a socket
// the peer has closed fails with an error instead of SIGPIPE).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace VondSdk {
namespace net {

// A socket handle as an integer wide enough for both a POSIX descriptor and a Winsock SOCKET.
using SocketHandle = std::intptr_t;
constexpr SocketHandle kInvalidSocket = -1;

// Takes one reference on the OS network stack for the length of one request (WSAStartup
// asking for version 2.0 on Windows, nothing elsewhere). On failure the reference is already
// released and message holds the fixed text for the failure.
bool StartupNetwork(std::string& message);
// Drops the reference taken by a successful StartupNetwork.
void CleanupNetwork();

// A new IPv4 stream socket in non-blocking mode, or kInvalidSocket. The caller owns it.
SocketHandle OpenTcpSocket();
void CloseSocket(SocketHandle socket);

// Resolves a host name to the dotted text of its first IPv4 address. Returns the resolver's
// result code (0 on success); ip is left unchanged when the first entry holds no IPv4 address.
// Takes its own reference on the network stack for the lookup, so a caller that gives up on a
// slow lookup and drops its reference cannot unload Winsock under it.
int ResolveIpv4(const std::string& host, std::string& ip);
// The system's message for a resolver result code, on one line, at most 1024 characters.
std::string ResolveErrorText(int code);

// True when text is a valid dotted IPv4 address; the four bytes go to address.
bool ParseIpv4(const std::string& text, unsigned char address[4]);

// Starts a connect on a non-blocking socket. Returns 0 when connected at once, 1 when the
// connection is in progress (wait until writable, then ConnectResult), -1 on failure (see
// LastSocketError).
int BeginConnect(SocketHandle socket, const unsigned char address[4], std::uint16_t port);
// The outcome of a connect that WaitSocket reported writable: 0 or the OS error code.
int ConnectResult(SocketHandle socket);

// Waits until the socket can be read (forWrite false) or written (true), for at most
// timeoutMs milliseconds. Returns 1 when ready, 0 on time-out, -1 on failure.
int WaitSocket(SocketHandle socket, bool forWrite, int timeoutMs);

// One non-blocking send/recv. Returns the byte count, 0 for an orderly close (recv only),
// -1 on failure; wouldBlock tells a failure that only means "try again after a wait".
long SendSome(SocketHandle socket, const char* data, std::size_t size, bool& wouldBlock);
long RecvSome(SocketHandle socket, char* data, std::size_t size, bool& wouldBlock);

// The last socket error of this thread (WSAGetLastError on Windows, errno elsewhere).
int LastSocketError();

// The proxy the system's settings name for an https URL of host (the caller tunnels through
// it with CONNECT): on Linux the HTTPS_PROXY (or https_proxy) variable unless NO_PROXY (or
// no_proxy) exempts the host; on Windows the user's proxy configuration, including the answer
// of a PAC script where Windows gives one. False for a direct connection. Finding a PAC
// script's answer may wait on the network, so callers bound their wait on it.
struct ProxyAddress {
    std::string host;
    int port = 0;
};
bool SystemProxyFor(const std::string& url, const std::string& host, ProxyAddress& proxy);
#ifdef _WIN32
// StartupNetwork asking for another Winsock version (MAKEWORD order). A refused start-up
// releases nothing: the reference it did not take may be the game's.
bool StartupNetworkVersion(unsigned short version, std::string& message);
// The https proxy for host from the user's settings as Windows gives them: a proxy list
// ("host:port", or per scheme "http=a:80;https=b:443") and a bypass list ("<local>",
// wildcards). False for a direct connection.
bool ProxyFromSettings(const std::wstring& list, const std::wstring& bypass, const std::string& host,
                       ProxyAddress& proxy);
#endif

// Whether SystemProxyFor may wait (Windows: a PAC script to fetch and run).
bool ProxyLookupMayWait();

// Adds the system's trusted root certificates to the context's store: on Windows the ROOT
// store's certificates that Windows itself accepts for server authentication (none that the
// Disallowed store holds, none whose usage the user or policy limited to other purposes);
// OpenSSL's default verify paths elsewhere. False when none could be loaded.
bool LoadTrustedRoots(SSL_CTX* context);

// True when a certificate of the chain (DER) is one the system has explicitly distrusted (the
// Windows Disallowed store). Reads local stores only, never the network. Always false elsewhere.
bool IsDistrusted(const std::vector<std::string>& chain);

// Whether this system has a verifier of its own that may accept a chain OpenSSL refused (true
// on Windows, which fetches missing roots on demand).
bool HasSystemVerifier();

// Verifies a peer's chain (DER certificates, the peer's own first, then the intermediates it
// sent) with the system's verifier for a TLS server named host (a name or a dotted IPv4
// address): CryptoAPI with its SSL policy on Windows. It may fetch a missing root or
// intermediate over the network, each fetch bounded by fetchTimeoutMs, so it can take a while:
// callers run it outside any lock and bound their wait. Always false elsewhere.
bool VerifyWithSystemRoots(const std::vector<std::string>& chain, const std::string& host, int fetchTimeoutMs);

}  // namespace net
}  // namespace VondSdk
