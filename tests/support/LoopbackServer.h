// Test servers on 127.0.0.1 with an ephemeral port, plain TCP or TLS, for Linux and Windows.
//
// Each connection is served on its own thread: the server reads one HTTP request (the head and
// a Content-Length body), records its exact bytes, then answers as configured. It closes after
// the reply unless the reply lets the connection persist (HTTP/1.1, complete by its length or
// last chunk, no "Connection: close"); then it waits for the client's next request on it.
//
//   vondtest::LoopbackServer server;                      // plain TCP
//   server.Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
//   ... request server.Url("/path") ...
//   server.WaitRequests(1); server.Requests()[0];         // the bytes the client sent
//
//   vondtest::TrustTestCa();                              // before the first https request
//   vondtest::LoopbackServer tls(vondtest::ServerCert::Trusted);
//
// Replies are sent as given, byte for byte, so a test can send broken or partial HTTP; the
// connection is closed after such a reply, which a reply without framing relies on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vondtest {

// The certificate a TLS server presents. All are made once per process with a test CA.
enum class ServerCert {
    None,         // plain TCP, no TLS
    Trusted,      // localhost and 127.0.0.1, signed by the test CA
    OtherHost,    // "other.invalid" only, signed by the test CA
    UntrustedCa,  // localhost and 127.0.0.1, signed by a CA nobody trusts
};

// Writes the test CA (PEM) to a temporary file, points VOND_SDK_CA_FILE at it and returns the
// path. The client reads that variable once, at its first https request, so call this first.
std::string TrustTestCa();

// A loopback port that refuses every connection for as long as the object lives: it is bound
// but never listens, so no server started meanwhile (by a test running in parallel) can take it.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    // "http://127.0.0.1:<port>", or "https://..." when tls is true.
    std::string Origin(bool tls = false) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::uint16_t port_ = 0;
};

class LoopbackServer {
public:
    // Computes a reply from the whole request text.
    using Responder = std::function<std::string(const std::string& request)>;

    explicit LoopbackServer(ServerCert cert = ServerCert::None);
    // Stops accepting, releases held and silent connections, closes everything, joins threads.
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t Port() const { return port_; }
    // "http://127.0.0.1:<port><path>" ("https" for a TLS server).
    std::string Url(const std::string& path = "/") const;

    // What each later connection gets once its request is in. The default reply is
    // "HTTP/1.1 200 OK" with an empty body.
    void Reply(std::string bytes);
    void Reply(Responder responder);
    // Later connections get no reply at all; they stay open until the server is destroyed.
    void NeverAnswer();
    // While on, connections stay open after their reply until the server is destroyed, so a
    // client must find the end of the response from its framing alone.
    void KeepOpenAfterReply(bool keepOpen);
    // While on, the connection closes after each reply even when the reply lets it persist
    // (a server that keeps idle connections only briefly).
    void CloseAfterEachReply(bool close);
    // While pause is above zero, replies go out one byte at a time with pause between bytes
    // (a peer that trickles), ending early when the server is destroyed.
    void TrickleReplies(std::chrono::milliseconds pause);
    // While on, each connection waits after reading its request until Release lets it reply.
    void HoldReplies(bool hold);
    void Release(std::size_t count = 1);

    // Observations. The waits return false when the bound passes first.
    std::vector<std::string> Requests() const;
    bool WaitRequests(std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(30)) const;
    bool WaitHeld(std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(30)) const;
    std::size_t MaxHeld() const;
    // TLS servers: caps the protocol at TLS 1.2 (before the first connection); and how many
    // connections resumed an earlier session.
    void LimitToTls12();
    std::size_t ResumedSessions() const;
    // Connections accepted so far, and a wait until count of them have been closed by the server.
    std::size_t Connections() const;
    bool WaitClosed(std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(30)) const;
    // Requests received when Release was first called (0 if it never was).
    std::size_t RequestsAtFirstRelease() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::uint16_t port_ = 0;
    bool tls_ = false;
};

}  // namespace vondtest
