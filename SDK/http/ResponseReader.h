// sion's response reader: frames one HTTP/1.1 response from whatever hands it bytes. Pure: no
// socket, no TLS, no clock; the client drives it with a connection's reads, the tests and the
// fuzz target with bytes of their own. Part of sion's public face (Sion.h includes it).
#pragma once

#include <cstddef>
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

// Fixed texts of the reader's own failures.
extern const char* const kResponseTooLargeMessage;  // the response passed kMaxResponseBytes
extern const char* const kBadFramingMessage;        // negative length, bad chunk framing

constexpr std::size_t kMaxResponseBytes = 16u * 1024u * 1024u;

// One read of a response: fills at most size bytes and returns their count, 0 once the peer
// has closed, a negative result on failure.
using ReadSome = std::function<long(char* buffer, std::size_t size)>;
// Reads and frames one response from read (the client's own reader, also driven directly by
// tests and fuzzing). Throws what Send would raise before it rewraps the failure.
Response ReadResponse(const ReadSome& read);
// The same; reusable tells whether the connection may carry another exchange (the answer's
// framing ended exactly where the bytes did, HTTP/1.1, no "Connection: close").
Response ReadResponse(const ReadSome& read, bool& reusable);

// The small pieces the rest of the client shares with the reader; not for callers of sion.
namespace detail {

// "网络异常,Socket错误码：" followed by the failed call's result: a read or write that failed.
extern const char* const kNetworkMessage;
// How much one read asks for.
constexpr std::size_t kReadBufferBytes = 16 * 1024;
// A line (a chunk size, a trailer, a proxy's answer) longer than this is not HTTP any more.
constexpr std::size_t kMaxLineBytes = 8 * 1024;

template <typename Exception>
void CheckOrThrow(bool condition, const std::string& message) {
    if (!condition) throw Exception(message);
}

// std::stoi with the texts that callers of this client see (libstdc++'s own what() is "stoi").
int Stoi(const std::string& text, int base);
std::string Lowercase(std::string text);

}  // namespace detail
}  // namespace sion
