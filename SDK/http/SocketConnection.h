// sion's connections: the socket with the bounds of an exchange (its deadline, the pool's stop
// flag, the connect and read/write time-outs), name resolution, the proxy's CONNECT tunnel, and
// the connections kept for reuse. No OpenSSL here: TLS (TlsChannel.h) runs over a socket of
// this file as its SecureLayer. Internal to sion.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "http/Sion.h"
#include "platform/Net.h"

namespace sion {
namespace detail {

namespace net = VondSdk::net;
using Clock = std::chrono::steady_clock;

// Waits are cut into slices so that a stopping pool is noticed within this many milliseconds.
constexpr int kWaitSliceMs = 50;

// One WSAStartup/WSACleanup pair per request.
class NetworkSession {
public:
    NetworkSession() {
        std::string message;
        if (!net::StartupNetwork(message)) throw Error(message);
    }
    ~NetworkSession() { net::CleanupNetwork(); }
    NetworkSession(const NetworkSession&) = delete;
    NetworkSession& operator=(const NetworkSession&) = delete;
};

// The bounds of one exchange: its deadline (the exchange time-out from its start) and the
// flag that stops it (the pool's; may be null).
class Bounds {
public:
    explicit Bounds(const std::atomic<bool>* cancel);
    const std::atomic<bool>* Cancel() const { return cancel_; }
    Clock::time_point Deadline() const { return deadline_; }
    // Throws kCancelledMessage once the flag is set.
    void CheckCancel() const;
    // Throws kExchangeTimeoutMessage once the deadline has passed.
    void CheckDeadline() const;

private:
    const std::atomic<bool>* cancel_;
    const Clock::time_point deadline_;
};

// Runs work that may wait without bound (a system call that cannot be interrupted) on a thread
// of its own, and waits for it only until the deadline or the cancel: the work then ends alone,
// its result dropped.
template <typename Result>
Result RunBounded(std::function<Result()> work, const std::atomic<bool>* cancel, Clock::time_point deadline,
                  const char* timeoutMessage) {
    struct Outcome {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        Result value{};
    };
    auto outcome = std::make_shared<Outcome>();
    std::thread([outcome, work] {
        Result value{};
        try {
            value = work();
        } catch (...) {
            value = Result{};
        }
        std::lock_guard<std::mutex> lock(outcome->mutex);
        outcome->value = std::move(value);
        outcome->finished = true;
        outcome->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(outcome->mutex);
    while (!outcome->finished) {
        CheckOrThrow<Error>(cancel == nullptr || !cancel->load(), kCancelledMessage);
        const auto now = Clock::now();
        CheckOrThrow<Error>(now < deadline, timeoutMessage);
        outcome->done.wait_for(
            lock, std::min<Clock::duration>(std::chrono::milliseconds(kWaitSliceMs), deadline - now));
    }
    return outcome->value;
}

// True when text holds a letter: a host name (resolved, and named to TLS), not an address.
bool HasLetter(const std::string& text);

// A TCP socket and the network reference that keeps it alive while it waits between exchanges
// (on Windows a Winsock count that reaches zero closes every socket of the process). Every
// wait is bounded by the calling exchange's Bounds and the process-wide time-outs.
class Socket {
public:
    Socket() = default;
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Opens the socket and connects it to host:port, a name resolved first (within the
    // connect time-out, outside every lock); ip gets the address connected to.
    void Connect(const std::string& host, std::string& ip, int port, const Bounds& bounds);
    // Opens a tunnel to host:port through the proxy this socket is connected to.
    void Tunnel(const std::string& host, int port, const Bounds& bounds);
    // False when the socket failed before everything was sent.
    bool SendAll(const char* data, std::size_t size, const Bounds& bounds);
    // One send that does not wait; false unless the socket took all of it.
    bool SendNow(const char* data, std::size_t size);
    // One read: the byte count, 0 when the peer has closed, -1 on failure.
    long Recv(char* buffer, std::size_t size, const Bounds& bounds);
    // True when nothing is readable (on an idle connection a close, or bytes nobody asked
    // for, end its use).
    bool Quiet() const;

private:
    int ResolveBounded(const std::string& host, std::string& address, const Bounds& bounds);
    void WaitReady(bool forWrite, long long timeoutMs, const char* timeoutMessage, const Bounds& bounds);

    net::SocketHandle handle_ = net::kInvalidSocket;
    bool networkReference_ = false;
};

// What runs over a connection's socket: the TLS channel for https (TlsChannel.h). Kept and
// closed with the connection.
class SecureLayer {
public:
    virtual ~SecureLayer() = default;
    virtual void Write(const Bytes& data, const Bounds& bounds) = 0;
    // One read: the byte count, 0 when the peer has closed, a negative result on failure.
    virtual long Read(char* buffer, std::size_t size, const Bounds& bounds) = 0;
    // True while bytes received are not yet read: such a connection is not reused.
    virtual bool HoldsUnread() const = 0;
    // Best effort: a close_notify if the socket takes it at once; nothing waits.
    virtual void Close() = 0;
};

// One connection: the socket and, for https, the TLS channel over it.
struct Connection {
    Socket socket;  // declared before secure: outlives it, which writes to it
    std::unique_ptr<SecureLayer> secure;
    std::string origin;
    std::string ip;
    Clock::time_point idleSince;
};

// The connection of one exchange, new or kept from an earlier one. Every byte crosses the
// socket through the bounded, cancellable waits of Socket (TLS too: it runs over memory
// buffers), and no write can raise SIGPIPE.
class Channel {
public:
    explicit Channel(const std::atomic<bool>* cancel) : bounds_(cancel) {}
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Takes the calling thread's kept connection to origin when the server has not closed it
    // meanwhile; ip gets its address. False when there is none to take.
    bool AdoptKept(const std::string& origin, std::string& ip);
    // The proxy the system's settings name for url. Where finding it may wait (a PAC script
    // on Windows), it is bounded like the rest of the exchange.
    bool FindProxy(const std::string& url, const std::string& host, net::ProxyAddress& proxy);
    // A new connection to host:port.
    void Connect(const std::string& host, std::string& ip, int port);
    // Opens a tunnel to host:port through the proxy this channel is connected to.
    void Tunnel(const std::string& host, int port) { c_->socket.Tunnel(host, port, bounds_); }

    bool Secure() const { return c_ && c_->secure; }
    // The connection and the bounds, for the TLS channel to start over (see StartTls).
    Connection& Current() { return *c_; }
    const Bounds& ExchangeBounds() const { return bounds_; }

    void Write(const Bytes& data);
    // One read: the byte count, 0 when the peer has closed, a negative result on failure.
    long Read(char* buffer, std::size_t size);
    // Hands the connection over for the next exchange to the same origin; nothing may be left
    // unread in it.
    void Keep(const std::string& origin);

private:
    const Bounds bounds_;
    std::unique_ptr<Connection> c_;
};

}  // namespace detail
}  // namespace sion
