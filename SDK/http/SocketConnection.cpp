// The socket side of sion: bounded waits, name resolution, the proxy tunnel, and the
// connections kept for reuse (see SocketConnection.h).
#include "http/SocketConnection.h"

#include <utility>
#include <vector>

namespace sion {
namespace detail {

namespace {

constexpr const char* kResolveMessage = "错误";
constexpr const char* kBadAddressMessage = "地址转换错误";
constexpr const char* kConnectFailedMessage = "连接失败:";

std::atomic<long long> connectTimeoutMs{10000};
std::atomic<long long> ioTimeoutMs{30000};
std::atomic<long long> exchangeTimeoutMs{60000};
// How long an idle connection is kept for the next request (servers commonly close theirs
// after 60 s or more; some after 5 s, which the check before each reuse notices).
constexpr std::chrono::seconds kKeepIdle(30);
// The longest the system's proxy settings (a PAC script) may take before the direct way is used.
constexpr long long kProxyLookupMs = 5000;

// At most one connection kept per thread (each pool worker keeps the one it last used), never
// longer than kKeepIdle, and never more than kMaxKept in the process.
class KeptConnections {
public:
    std::unique_ptr<Connection> Take(const std::string& origin) {
        std::unique_ptr<Connection> found;
        std::vector<std::unique_ptr<Connection>> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto now = Clock::now();
            const auto self = std::this_thread::get_id();
            for (auto entry = entries_.begin(); entry != entries_.end();) {
                if (entry->first == self && entry->second->origin == origin &&
                    now - entry->second->idleSince < kKeepIdle) {
                    found = std::move(entry->second);
                } else if (entry->first == self || now - entry->second->idleSince >= kKeepIdle) {
                    dropped.push_back(std::move(entry->second));
                } else {
                    ++entry;
                    continue;
                }
                entry = entries_.erase(entry);
            }
        }
        return found;  // the dropped ones close here, outside the lock
    }
    void Keep(std::unique_ptr<Connection> connection) {
        connection->idleSince = Clock::now();
        std::vector<std::unique_ptr<Connection>> dropped;
        std::lock_guard<std::mutex> lock(mutex_);
        TakeThisThreads(dropped);
        entries_.emplace_back(std::this_thread::get_id(), std::move(connection));
        if (entries_.size() > kMaxKept) {
            dropped.push_back(std::move(entries_.front().second));
            entries_.erase(entries_.begin());
        }
        // unique_ptrs in dropped are destroyed after the lock is released (declared first)
    }
    void Forget() {
        std::vector<std::unique_ptr<Connection>> dropped;
        std::lock_guard<std::mutex> lock(mutex_);
        TakeThisThreads(dropped);
    }

private:
    // Moves this thread's kept connection (at most one) into dropped; mutex_ is held.
    void TakeThisThreads(std::vector<std::unique_ptr<Connection>>& dropped) {
        const auto self = std::this_thread::get_id();
        for (auto entry = entries_.begin(); entry != entries_.end();) {
            if (entry->first != self) {
                ++entry;
                continue;
            }
            dropped.push_back(std::move(entry->second));
            entry = entries_.erase(entry);
        }
    }

    static constexpr std::size_t kMaxKept = 16;
    std::mutex mutex_;
    std::vector<std::pair<std::thread::id, std::unique_ptr<Connection>>> entries_;
};

KeptConnections& Kept() {
    static KeptConnections* const kept = new KeptConnections();  // never destroyed: used up to process end
    return *kept;
}

}  // namespace

Bounds::Bounds(const std::atomic<bool>* cancel)
    : cancel_(cancel), deadline_(Clock::now() + std::chrono::milliseconds(exchangeTimeoutMs.load())) {}

void Bounds::CheckCancel() const {
    CheckOrThrow<Error>(cancel_ == nullptr || !cancel_->load(), kCancelledMessage);
}

void Bounds::CheckDeadline() const {
    CheckOrThrow<Error>(Clock::now() < deadline_, kExchangeTimeoutMessage);
}

bool HasLetter(const std::string& text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
}

Socket::~Socket() {
    net::CloseSocket(handle_);
    if (networkReference_) net::CleanupNetwork();
}

void Socket::Connect(const std::string& host, std::string& ip, int port, const Bounds& bounds) {
    std::string startup;
    networkReference_ = net::StartupNetwork(startup);
    CheckOrThrow<Error>(networkReference_, startup);
    handle_ = net::OpenTcpSocket();
    CheckOrThrow<Error>(handle_ != net::kInvalidSocket, kSocketMessage);
    std::string address = host;
    if (HasLetter(host)) {
        int code = ResolveBounded(host, address, bounds);
        if (code != 0) throw Error(kResolveMessage + std::to_string(code) + net::ResolveErrorText(code));
    }
    ip = address;
    unsigned char raw[4];
    CheckOrThrow<std::invalid_argument>(net::ParseIpv4(ip, raw), kBadAddressMessage);
    int started = net::BeginConnect(handle_, raw, static_cast<std::uint16_t>(port));
    int error = 0;
    if (started < 0) {
        error = net::LastSocketError();
    } else if (started > 0) {
        WaitReady(true, connectTimeoutMs.load(), kConnectTimeoutMessage, bounds);
        error = net::ConnectResult(handle_);
    }
    if (error != 0) {
        throw Error(std::string(kConnectFailedMessage) + "\nHost:" + host + "\nIp:" + ip + "\n错误码：" +
                    std::to_string(error));
    }
}

void Socket::Tunnel(const std::string& host, int port, const Bounds& bounds) {
    const std::string target = host + ":" + std::to_string(port);
    const std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
    CheckOrThrow<Error>(SendAll(request.data(), request.size(), bounds), kProxyMessage + std::string("-1"));
    std::string head;
    char chunk[1024];
    while (head.find("\r\n\r\n") == std::string::npos) {
        long received = Recv(chunk, sizeof(chunk), bounds);
        CheckOrThrow<Error>(received > 0, kProxyMessage + head);
        head.append(chunk, static_cast<std::size_t>(received));
        CheckOrThrow<Error>(head.size() <= kMaxLineBytes, kProxyMessage + head.substr(0, 64));
    }
    const std::string statusLine = head.substr(0, head.find("\r\n"));
    // "HTTP/1.x 2xx ...": anything else (407 wants credentials, 403 refuses) ends here.
    // Nothing may follow the head: the server has not been spoken to yet.
    const std::size_t space = statusLine.find(' ');
    const bool established = statusLine.compare(0, 5, "HTTP/") == 0 && space != std::string::npos &&
                             statusLine.size() > space + 3 && statusLine[space + 1] == '2' &&
                             head.size() == head.find("\r\n\r\n") + 4;
    CheckOrThrow<Error>(established, kProxyMessage + statusLine);
}

// The system resolver has no time-out of its own and cannot be interrupted (a broken DNS
// setup can hold it for minutes), so it runs on a thread of its own: the exchange gives up
// on it at the connect time-out or when the pool stops, and the resolver ends alone.
int Socket::ResolveBounded(const std::string& host, std::string& address, const Bounds& bounds) {
    struct Lookup {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        int code = 0;
        std::string ip;
    };
    auto lookup = std::make_shared<Lookup>();
    lookup->ip = address;
    std::thread([lookup, host] {
        std::string ip;
        {
            std::lock_guard<std::mutex> lock(lookup->mutex);
            ip = lookup->ip;
        }
        int code = net::ResolveIpv4(host, ip);
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->code = code;
        lookup->ip = ip;
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();

    const auto deadline =
        std::min(Clock::now() + std::chrono::milliseconds(connectTimeoutMs.load()), bounds.Deadline());
    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->finished) {
        bounds.CheckCancel();
        const auto now = Clock::now();
        CheckOrThrow<Error>(now < bounds.Deadline(), kExchangeTimeoutMessage);
        CheckOrThrow<Error>(now < deadline, kConnectTimeoutMessage);
        lookup->done.wait_for(
            lock, std::min<Clock::duration>(std::chrono::milliseconds(kWaitSliceMs), deadline - now));
    }
    address = lookup->ip;
    return lookup->code;
}

void Socket::WaitReady(bool forWrite, long long timeoutMs, const char* timeoutMessage, const Bounds& bounds) {
    long long waited = 0;
    for (;;) {
        bounds.CheckCancel();
        bounds.CheckDeadline();
        CheckOrThrow<Error>(waited < timeoutMs, timeoutMessage);
        const long long untilDeadline =
            std::chrono::duration_cast<std::chrono::milliseconds>(bounds.Deadline() - Clock::now()).count() +
            1;
        int slice = static_cast<int>(
            std::min({static_cast<long long>(kWaitSliceMs), timeoutMs - waited, untilDeadline}));
        int ready = net::WaitSocket(handle_, forWrite, slice);
        if (ready < 0) throw Error(kNetworkMessage + std::to_string(-1));
        if (ready > 0) return;
        waited += slice;
    }
}

bool Socket::SendAll(const char* data, std::size_t size, const Bounds& bounds) {
    std::size_t offset = 0;
    while (offset < size) {
        bounds.CheckDeadline();
        bool wouldBlock = false;
        long sent = net::SendSome(handle_, data + offset, size - offset, wouldBlock);
        if (sent > 0) {
            offset += static_cast<std::size_t>(sent);
        } else if (wouldBlock) {
            WaitReady(true, ioTimeoutMs.load(), kIoTimeoutMessage, bounds);
        } else {
            return false;
        }
    }
    return true;
}

long Socket::Recv(char* buffer, std::size_t size, const Bounds& bounds) {
    for (;;) {
        // Checked before every read, not only while waiting: a peer that trickles one byte
        // at a time never lets a wait run out.
        bounds.CheckDeadline();
        bool wouldBlock = false;
        long received = net::RecvSome(handle_, buffer, size, wouldBlock);
        if (received >= 0) return received;
        if (!wouldBlock) return -1;
        WaitReady(false, ioTimeoutMs.load(), kIoTimeoutMessage, bounds);
    }
}

bool Socket::SendNow(const char* data, std::size_t size) {
    bool wouldBlock = false;
    return net::SendSome(handle_, data, size, wouldBlock) == static_cast<long>(size);
}

bool Socket::Quiet() const {
    return net::WaitSocket(handle_, false, 0) == 0;
}

Channel::~Channel() {
    if (c_ && c_->secure) c_->secure->Close();
}

bool Channel::AdoptKept(const std::string& origin, std::string& ip) {
    std::unique_ptr<Connection> kept = Kept().Take(origin);
    if (!kept) return false;
    if (kept->secure && kept->secure->HoldsUnread()) return false;
    if (!kept->socket.Quiet()) return false;
    c_ = std::move(kept);
    ip = c_->ip;
    return true;
}

bool Channel::FindProxy(const std::string& url, const std::string& host, net::ProxyAddress& proxy) {
    if (!net::ProxyLookupMayWait()) return net::SystemProxyFor(url, host, proxy);
    using Answer = std::pair<bool, net::ProxyAddress>;
    Answer answer;
    try {
        answer = RunBounded<Answer>(
            [url, host] {
                Answer found;
                found.first = net::SystemProxyFor(url, host, found.second);
                return found;
            },
            bounds_.Cancel(),
            std::min(bounds_.Deadline(), Clock::now() + std::chrono::milliseconds(kProxyLookupMs)),
            kConnectTimeoutMessage);
    } catch (const Error&) {
        // A script that cannot be had in time leaves the direct connection, as Windows'
        // own clients do; a stop still ends the exchange.
        bounds_.CheckCancel();
        bounds_.CheckDeadline();
        return false;
    }
    proxy = answer.second;
    return answer.first;
}

void Channel::Connect(const std::string& host, std::string& ip, int port) {
    c_.reset(new Connection());
    c_->socket.Connect(host, ip, port, bounds_);
    c_->ip = ip;
}

void Channel::Write(const Bytes& data) {
    if (Secure()) {
        c_->secure->Write(data, bounds_);
        return;
    }
    // A failed plain write is not fatal by itself: the peer may already have answered (and
    // closed), and the read that follows reports a dead connection anyway.
    c_->socket.SendAll(data.data(), data.size(), bounds_);
}

long Channel::Read(char* buffer, std::size_t size) {
    if (Secure()) return c_->secure->Read(buffer, size, bounds_);
    return c_->socket.Recv(buffer, size, bounds_);
}

void Channel::Keep(const std::string& origin) {
    if (Secure() && c_->secure->HoldsUnread()) return;
    c_->origin = origin;
    Kept().Keep(std::move(c_));
}

}  // namespace detail

void SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds io) {
    detail::connectTimeoutMs.store(connect.count());
    detail::ioTimeoutMs.store(io.count());
}

void SetExchangeTimeout(std::chrono::milliseconds exchange) {
    detail::exchangeTimeoutMs.store(exchange.count());
}

void ForgetKeptConnection() {
    detail::Kept().Forget();
}

}  // namespace sion
