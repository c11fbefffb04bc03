// sion: the SDK's own HTTP/1.1 client, plain or TLS.
// Send() runs on the caller's thread (the request pool's workers) and reports every failure
// by throwing sion::Error (or a std::exception whose what() is a fixed text).
// After an answer whose end its framing gave (a length or the last chunk) and that did not say
// "Connection: close", the connection is kept for the calling thread's next request to the same
// origin: one per thread, idle at most 30 s. New TLS connections resume an earlier session to
// the same origin where the server offers it.
// The parts live in files of their own: ResponseReader (framing a response, no I/O),
// SocketConnection (the socket, its bounds, name resolution, the proxy tunnel and connection
// reuse) and TlsChannel (TLS over the socket); Sion.cpp builds and sends the request.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "http/ResponseReader.h"

namespace sion {

enum class Method { Get = 0, Post = 1, Put = 2, Delete = 3 };

class Request {
public:
    Request();

    Bytes source;
    std::string method;
    std::string path;
    std::string protocol;
    std::string ip;
    std::string url;
    std::string host;
    Bytes body;
    std::string version;
    Header header;
    int32_t port = 0;

    Request& SetUrl(const std::string& url);
    Request& SetBody(const std::string& body);
    Request& SetHeader(const Header& header);
    Request& SetMethod(Method method);

    // Performs the exchange and returns the whole response, or throws.
    Response Send(const std::string& url);
    Response Send() { return Send(url); }
    // The same, cut short with kCancelledMessage as soon as *cancel becomes true (the pool
    // passes its stop flag). cancel may be null; it must outlive the call.
    Response Send(const std::string& url, const std::atomic<bool>* cancel);
};

// Fixed texts of the failures that bound and check an exchange (the reader's own are in
// ResponseReader.h).
extern const char* const kConnectTimeoutMessage;    // connect did not finish in time
extern const char* const kIoTimeoutMessage;         // a read or write did not progress in time
extern const char* const kTlsHandshakeMessage;      // the TLS handshake failed
extern const char* const kCertificateMessage;       // prefix; the verifier's reason follows
extern const char* const kBadPortMessage;           // a URL port above 65535
extern const char* const kSocketMessage;            // the OS gave no socket
extern const char* const kCancelledMessage;         // the pool stopped during the exchange
extern const char* const kExchangeTimeoutMessage;   // the whole exchange ran past its bound
extern const char* const kProxyMessage;             // prefix; the proxy refused the tunnel

// Bounds for connecting and for each read or write (10 s and 30 s unless changed).
// Process-wide; tests shorten them. Thread-safe.
void SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds io);
// Bound for a whole exchange, from the lookup to the last byte (60 s unless changed), so that a
// peer trickling a byte at a time cannot hold a worker, or a waiting Init, for ever.
// Process-wide; tests shorten it. Thread-safe.
void SetExchangeTimeout(std::chrono::milliseconds exchange);

// The parts of an http(s) URL as the client reads it: scheme "http" or "https", then a host of
// letters, digits, "_", "." and "-" (may be empty), an optional ":" and port digits (may be
// empty), and the rest as the path (may be empty). False for anything else, including a
// line break anywhere after the scheme. Linear in the URL's length, for any input.
struct UrlParts {
    std::string protocol;
    std::string host;
    std::string port;
    std::string path;
};
bool SplitUrl(const std::string& url, UrlParts& parts);

// Closes the connection kept for the calling thread, if any (a pool worker that leaves).
void ForgetKeptConnection();

// Judges a chain that OpenSSL refused: DER certificates, the peer's own first, and the host
// name. The default (an empty function) is the system's own verifier where there is one
// (Windows); tests replace it, also where the system has none. Process-wide; thread-safe.
using SystemVerifier = std::function<bool(const std::vector<std::string>& chain, const std::string& host)>;
void SetSystemVerifier(SystemVerifier verifier);

}  // namespace sion
