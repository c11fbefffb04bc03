// sion: the SDK's own HTTP/1.1 client, plain or TLS.
// Send() runs on the caller's thread (the request pool's workers) and reports every failure
// by throwing sion::Error (or a std::exception whose what() is a fixed text).
// After an answer whose end its framing gave (a length or the last chunk) and that did not say
// "Connection: close", the connection is kept for the calling thread's next request to the same
// origin: one per thread, idle at most 30 s. New TLS connections resume an earlier session to
// the same origin where the server offers it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace sion {

using Bytes = std::vector<char>;

class Error : public std::exception {
public:
    Error() = default;
    explicit Error(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Raised when the peer closes the connection before the response is complete.
class PeerConnectionClose : public Error {
public:
    PeerConnectionClose() : Error(std::string()) {}
};

// Ordered (name, value) list. Add always appends; Get lowercases the asked name and
// returns the value of the last pair stored under exactly that name, or "".
class Header {
public:
    using Pair = std::pair<std::string, std::string>;
    void Add(const std::string& name, const std::string& value);
    std::string Get(const std::string& name) const;
    const std::vector<Pair>& Pairs() const { return pairs_; }

private:
    std::vector<Pair> pairs_;
};

enum class Method { Get = 0, Post = 1, Put = 2, Delete = 3 };

class Response {
public:
    bool chunked = false;
    int32_t content_length = 0;
    Bytes source;
    std::string protocol_version;
    std::string status_code;
    std::string status_text;
    Bytes body;
    Header header;
    int32_t head_end = -1;

    const std::string& StatusCode() const { return status_code; }
    const std::string& StatusText() const { return status_text; }
    const std::string& ProtocolVersion() const { return protocol_version; }
    std::string GetHeader(const std::string& name) const { return header.Get(name); }
    // The body up to its first NUL byte.
    std::string BodyText() const;
};

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

// Fixed texts of the failures that bound and check an exchange.
extern const char* const kConnectTimeoutMessage;    // connect did not finish in time
extern const char* const kIoTimeoutMessage;         // a read or write did not progress in time
extern const char* const kTlsHandshakeMessage;      // the TLS handshake failed
extern const char* const kCertificateMessage;       // prefix; the verifier's reason follows
extern const char* const kResponseTooLargeMessage;  // the response passed kMaxResponseBytes
extern const char* const kBadFramingMessage;        // negative length, bad chunk framing
extern const char* const kBadPortMessage;           // a URL port above 65535
extern const char* const kSocketMessage;            // the OS gave no socket
extern const char* const kCancelledMessage;         // the pool stopped during the exchange
extern const char* const kExchangeTimeoutMessage;   // the whole exchange ran past its bound
extern const char* const kProxyMessage;             // prefix; the proxy refused the tunnel

constexpr std::size_t kMaxResponseBytes = 16u * 1024u * 1024u;

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

// One read of a response: fills at most size bytes and returns their count, 0 once the peer
// has closed, a negative result on failure.
using ReadSome = std::function<long(char* buffer, std::size_t size)>;
// Reads and frames one response from read (the client's own reader, also driven directly by
// tests and fuzzing). Throws what Send would raise before it rewraps the failure.
Response ReadResponse(const ReadSome& read);
// The same; reusable tells whether the connection may carry another exchange (the answer's
// framing ended exactly where the bytes did, HTTP/1.1, no "Connection: close").
Response ReadResponse(const ReadSome& read, bool& reusable);

// Closes the connection kept for the calling thread, if any (a pool worker that leaves).
void ForgetKeptConnection();

// Judges a chain that OpenSSL refused: DER certificates, the peer's own first, and the host
// name. The default (an empty function) is the system's own verifier where there is one
// (Windows); tests replace it, also where the system has none. Process-wide; thread-safe.
using SystemVerifier = std::function<bool(const std::vector<std::string>& chain, const std::string& host)>;
void SetSystemVerifier(SystemVerifier verifier);

}  // namespace sion
