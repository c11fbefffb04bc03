// The HTTP/1.1 client, plain or TLS, every wait bounded; a connection whose answer ended
// cleanly is kept for the next request to the same origin.
#include "http/Sion.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Net.h"
#include "platform/Platform.h"
#include "utils/VondDevOverrides.h"

namespace sion {

const char* const kConnectTimeoutMessage = "连接超时";
const char* const kIoTimeoutMessage = "网络读写超时";
const char* const kTlsHandshakeMessage = "TLS握手失败";
const char* const kCertificateMessage = "证书验证失败:";
const char* const kResponseTooLargeMessage = "响应超过16MiB上限";
const char* const kBadFramingMessage = "响应格式错误";
const char* const kBadPortMessage = "端口超出范围";
const char* const kSocketMessage = "创建socket失败";
const char* const kCancelledMessage = "请求已取消";
const char* const kExchangeTimeoutMessage = "请求总时长超时";
const char* const kProxyMessage = "代理连接失败:";

namespace {

namespace net = VondSdk::net;

constexpr const char* kNoMethodMessage = "请求方法未定义";
constexpr const char* kBadUrlMessage = "url格式不对或者是用了除http(s)外的协议";
constexpr const char* kResolveMessage = "错误";
constexpr const char* kBadAddressMessage = "地址转换错误";
constexpr const char* kConnectFailedMessage = "连接失败:";
constexpr const char* kOpensslInitMessage = "openssl初始化异常";
constexpr const char* kNetworkMessage = "网络异常,Socket错误码：";
constexpr const char* kParseMessage = "解析错误";
constexpr const char* kStoiInvalidMessage = "invalid stoi argument";
constexpr const char* kStoiRangeMessage = "stoi argument out of range";

constexpr std::size_t kReadBufferBytes = 16 * 1024;
// Waits are cut into slices so that a stopping pool is noticed within this many milliseconds.
constexpr int kWaitSliceMs = 50;
// A chunk-size or trailer line longer than this is not HTTP any more.
constexpr std::size_t kMaxLineBytes = 8 * 1024;

std::atomic<long long> connectTimeoutMs{10000};
std::atomic<long long> ioTimeoutMs{30000};
std::atomic<long long> exchangeTimeoutMs{60000};
// How long an idle connection is kept for the next request (servers commonly close theirs
// after 60 s or more; some after 5 s, which the check before each reuse notices).
constexpr std::chrono::seconds kKeepIdle(30);
// The longest the Windows verifier may spend on one fetch of a missing certificate.
constexpr long long kMaxFetchMs = 15000;
// The longest the system's proxy settings (a PAC script) may take before the direct way is used.
constexpr long long kProxyLookupMs = 5000;

using Clock = std::chrono::steady_clock;

template <typename Exception>
void CheckOrThrow(bool condition, const std::string& message) {
    if (!condition) throw Exception(message);
}

// std::stoi with the texts that callers of this client see (libstdc++'s own what() is "stoi").
int Stoi(const std::string& text, int base) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(begin, &end, base);
    CheckOrThrow<std::invalid_argument>(end != begin, kStoiInvalidMessage);
    CheckOrThrow<std::out_of_range>(errno != ERANGE && value >= INT_MIN && value <= INT_MAX,
                                    kStoiRangeMessage);
    return static_cast<int>(value);
}

std::string Lowercase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string Trim(const std::string& text) {
    const char* blanks = " \r\n";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool HasLetter(const std::string& text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
}

std::size_t FindCrlf(const Bytes& bytes, std::size_t from) {
    for (std::size_t i = from; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == '\r' && bytes[i + 1] == '\n') return i;
    }
    return std::string::npos;
}

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
        outcome->done.wait_for(lock,
                               std::min<Clock::duration>(std::chrono::milliseconds(kWaitSliceMs), deadline - now));
    }
    return outcome->value;
}

struct SslDeleter {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

std::string DerOf(X509* certificate) {
    unsigned char* der = nullptr;
    int length = i2d_X509(certificate, &der);
    if (length <= 0) return std::string();
    std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

std::vector<std::string> DersOf(X509* first, STACK_OF(X509)* rest) {
    std::vector<std::string> chain;
    if (first != nullptr) chain.push_back(DerOf(first));
    for (int i = 0; rest != nullptr && i < sk_X509_num(rest); ++i) {
        X509* certificate = sk_X509_value(rest, i);
        if (certificate != first) chain.push_back(DerOf(certificate));
    }
    return chain;
}

std::mutex& SystemVerifierMutex() {
    static std::mutex* const mutex = new std::mutex();  // never destroyed: used up to process end
    return *mutex;
}

SystemVerifier& SystemVerifierOverride() {
    static SystemVerifier* const verifier = new SystemVerifier();
    return *verifier;
}

SystemVerifier CurrentSystemVerifier() {
    std::lock_guard<std::mutex> lock(SystemVerifierMutex());
    return SystemVerifierOverride();
}

// What one TLS connection's callbacks need: the name the peer must carry and, when OpenSSL
// refused the chain on a system whose own verifier may still accept it, that chain, for the
// verifier to judge after the handshake, away from every lock and bounded like the exchange.
struct TlsPeer {
    std::string host;
    std::string origin;
    std::vector<std::string> deferredChain;
    long openSslVerdict = X509_V_OK;
    // Sessions are offered for resumption only from a connection whose peer passed every check.
    bool verified = false;
    std::vector<SSL_SESSION*> pendingSessions;

    ~TlsPeer() {
        for (SSL_SESSION* session : pendingSessions) SSL_SESSION_free(session);
    }
};

// OpenSSL's own verification, against the system's roots (on Windows those that Windows accepts
// for server authentication). The copy of the roots is not all the system trusts: Windows
// fetches missing roots on demand, so a fresh or locked-down machine may lack the backend's
// root in that copy. A chain OpenSSL refuses there is left to the system's verifier, whose
// verdict is final; it runs after the handshake (see Channel::StartTls), since it may wait on
// the network.
int VerifyPeerChain(X509_STORE_CTX* store, void*) {
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* peer = ssl != nullptr ? static_cast<TlsPeer*>(SSL_get_app_data(ssl)) : nullptr;
    try {
        if (X509_verify_cert(store) == 1) {
            // A certificate the system distrusts explicitly is refused whatever chain it is in.
            if (net::HasSystemVerifier() && net::IsDistrusted(DersOf(nullptr, X509_STORE_CTX_get0_chain(store)))) {
                X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
                return 0;
            }
            return 1;
        }
        X509* leaf = X509_STORE_CTX_get0_cert(store);
        if (peer == nullptr || leaf == nullptr) return 0;
        if (!net::HasSystemVerifier() && !CurrentSystemVerifier()) return 0;
        peer->openSslVerdict = X509_STORE_CTX_get_error(store);
        peer->deferredChain = DersOf(leaf, X509_STORE_CTX_get0_untrusted(store));
    } catch (const std::exception&) {
        return 0;
    }
    X509_STORE_CTX_set_error(store, X509_V_OK);
    return 1;
}

// Sessions for resumption, a few per origin. A TLS 1.3 ticket is used once (tickets should not
// be replayed) and replaced by the ones the new connection receives.
class SessionCache {
public:
    void Put(const std::string& origin, SSL_SESSION* session) {
        SSL_SESSION* dropped = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            std::deque<SSL_SESSION*>& sessions = byOrigin_[origin];
            sessions.push_back(session);
            if (sessions.size() > kMaxSessionsPerOrigin) {
                dropped = sessions.front();
                sessions.pop_front();
            }
        }
        if (dropped != nullptr) SSL_SESSION_free(dropped);
    }
    // A session for origin that the caller now owns, or null.
    SSL_SESSION* Take(const std::string& origin) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = byOrigin_.find(origin);
        if (found == byOrigin_.end() || found->second.empty()) return nullptr;
        SSL_SESSION* session = found->second.back();
        if (SSL_SESSION_get_protocol_version(session) >= TLS1_3_VERSION) {
            found->second.pop_back();
        } else {
            // A TLS 1.2 session may be resumed again (the server seldom renews it).
            SSL_SESSION_up_ref(session);
        }
        return session;
    }

private:
    static constexpr std::size_t kMaxSessionsPerOrigin = 8;
    std::mutex mutex_;
    std::map<std::string, std::deque<SSL_SESSION*>> byOrigin_;
};

SessionCache& Sessions() {
    static SessionCache* const cache = new SessionCache();  // never destroyed: used up to process end
    return *cache;
}

// OpenSSL hands over each new session (at the end of a TLS 1.2 handshake, with each TLS 1.3
// ticket); returning 1 keeps the reference.
int NewSession(SSL* ssl, SSL_SESSION* session) {
    auto* peer = static_cast<TlsPeer*>(SSL_get_app_data(ssl));
    if (peer == nullptr || SSL_SESSION_is_resumable(session) != 1) return 0;
    try {
        if (peer->verified) {
            Sessions().Put(peer->origin, session);
        } else {
            peer->pendingSessions.push_back(session);
        }
    } catch (const std::exception&) {
        return 0;
    }
    return 1;
}

// Built once, on the first https request, so the CA-file setting is read then and not at load.
SSL_CTX* SharedTlsContext() {
    static SSL_CTX* const context = [] {
        // No clean-up at exit: detached workers may still be inside OpenSSL (or ending,
        // which runs its per-thread clean-up) when the process or the DLL goes away.
        OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
        SSL_CTX* created = SSL_CTX_new(TLS_method());
        if (created == nullptr) return created;
        net::LoadTrustedRoots(created);
        std::string caFile;
        if (VondSdk::ReadDevOverride(VondSdk::kCaFileOverride, caFile))
            SSL_CTX_load_verify_locations(created, caFile.c_str(), nullptr);
        SSL_CTX_set_verify(created, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_cert_verify_callback(created, VerifyPeerChain, nullptr);
        SSL_CTX_set_session_cache_mode(created, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(created, NewSession);
        return created;
    }();
    return context;
}

// One connection: the socket, for https its TLS session, and the network reference that keeps
// the socket alive while it waits between exchanges (on Windows a Winsock count that reaches
// zero closes every socket of the process).
struct Connection {
    net::SocketHandle socket = net::kInvalidSocket;
    bool networkReference = false;
    std::unique_ptr<TlsPeer> peer;  // declared before tls: outlives it, its callbacks use it
    std::unique_ptr<SSL, SslDeleter> tls;
    BIO* in = nullptr;   // owned by tls
    BIO* out = nullptr;  // owned by tls
    std::string origin;
    std::string ip;
    Clock::time_point idleSince;

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        // Closed by us between exchanges, not cut short: OpenSSL would otherwise mark the
        // session (shared with the connections resumed from it) as not to be resumed.
        if (tls) SSL_set_shutdown(tls.get(), SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
        tls.reset();
        net::CloseSocket(socket);
        if (networkReference) net::CleanupNetwork();
    }
};

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
                if (entry->first == self && entry->second->origin == origin && now - entry->second->idleSince < kKeepIdle) {
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
    static KeptConnections* const kept = new KeptConnections();  // never destroyed: see above
    return *kept;
}

// The connection of one exchange, new or kept from an earlier one. TLS runs over memory BIOs
// so that every byte crosses the socket through the bounded, cancellable waits below, and no
// write can raise SIGPIPE.
class Channel {
public:
    explicit Channel(const std::atomic<bool>* cancel)
        : cancel_(cancel), deadline_(Clock::now() + std::chrono::milliseconds(exchangeTimeoutMs.load())) {}
    ~Channel() {
        if (c_ && c_->tls) {
            // Best effort: a close_notify if the socket takes it at once; nothing waits.
            ERR_clear_error();
            SSL_shutdown(c_->tls.get());
            FlushTls(false);
        }
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Takes a kept connection when the server has not closed it meanwhile (nothing may be
    // readable on an idle connection: a close, or bytes nobody asked for, end its use).
    bool Adopt(std::unique_ptr<Connection> kept, std::string& ip) {
        if (!kept) return false;
        if (kept->tls && (SSL_pending(kept->tls.get()) > 0 || BIO_ctrl_pending(kept->in) > 0)) return false;
        if (net::WaitSocket(kept->socket, false, 0) != 0) return false;
        c_ = std::move(kept);
        ip = c_->ip;
        return true;
    }

    bool Secure() const { return c_ && c_->tls; }

    // The proxy the system's settings name for url. Where finding it may wait (a PAC script
    // on Windows), it is bounded like the rest of the exchange.
    bool FindProxy(const std::string& url, const std::string& host, net::ProxyAddress& proxy) {
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
                cancel_, std::min(deadline_, Clock::now() + std::chrono::milliseconds(kProxyLookupMs)),
                kConnectTimeoutMessage);
        } catch (const Error&) {
            // A script that cannot be had in time leaves the direct connection, as Windows'
            // own clients do; a stop still ends the exchange.
            CheckOrThrow<Error>(cancel_ == nullptr || !cancel_->load(), kCancelledMessage);
            CheckOrThrow<Error>(Clock::now() < deadline_, kExchangeTimeoutMessage);
            return false;
        }
        proxy = answer.second;
        return answer.first;
    }

    void Connect(const std::string& host, std::string& ip, int port) {
        c_.reset(new Connection());
        std::string startup;
        c_->networkReference = net::StartupNetwork(startup);
        CheckOrThrow<Error>(c_->networkReference, startup);
        c_->socket = net::OpenTcpSocket();
        CheckOrThrow<Error>(c_->socket != net::kInvalidSocket, kSocketMessage);
        std::string address = host;
        if (HasLetter(host)) {
            int code = ResolveBounded(host, address);
            if (code != 0) throw Error(kResolveMessage + std::to_string(code) + net::ResolveErrorText(code));
        }
        ip = address;
        c_->ip = ip;
        unsigned char raw[4];
        CheckOrThrow<std::invalid_argument>(net::ParseIpv4(ip, raw), kBadAddressMessage);
        int started = net::BeginConnect(c_->socket, raw, static_cast<std::uint16_t>(port));
        int error = 0;
        if (started < 0) {
            error = net::LastSocketError();
        } else if (started > 0) {
            WaitReady(true, connectTimeoutMs.load(), kConnectTimeoutMessage);
            error = net::ConnectResult(c_->socket);
        }
        if (error != 0) {
            throw Error(std::string(kConnectFailedMessage) + "\nHost:" + host + "\nIp:" + ip + "\n错误码：" +
                        std::to_string(error));
        }
    }

    // Opens a tunnel to host:port through the proxy this channel is connected to.
    void Tunnel(const std::string& host, int port) {
        const std::string target = host + ":" + std::to_string(port);
        const std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
        CheckOrThrow<Error>(SendAll(request.data(), request.size()), kProxyMessage + std::string("-1"));
        std::string head;
        char chunk[1024];
        while (head.find("\r\n\r\n") == std::string::npos) {
            long received = RecvRaw(chunk, sizeof(chunk));
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

    void StartTls(const std::string& host, const std::string& origin) {
        SSL_CTX* context = SharedTlsContext();
        CheckOrThrow<Error>(context != nullptr, kOpensslInitMessage);
        c_->peer.reset(new TlsPeer());
        c_->peer->host = host;
        c_->peer->origin = origin;
        c_->tls.reset(SSL_new(context));
        SSL* tls = c_->tls.get();
        CheckOrThrow<Error>(tls != nullptr, kOpensslInitMessage);
        BIO* in = BIO_new(BIO_s_mem());
        BIO* out = BIO_new(BIO_s_mem());
        if (in == nullptr || out == nullptr) {
            BIO_free(in);
            BIO_free(out);
            throw Error(kOpensslInitMessage);
        }
        SSL_set_bio(tls, in, out);
        c_->in = in;
        c_->out = out;
        SSL_set_app_data(tls, c_->peer.get());
        X509_VERIFY_PARAM* verify = SSL_get0_param(tls);
        // A host without letters was connected to as an address, so the certificate must
        // name that address; a name gets SNI and a host-name check.
        if (!HasLetter(host)) {
            CheckOrThrow<Error>(X509_VERIFY_PARAM_set1_ip_asc(verify, host.c_str()) == 1, kOpensslInitMessage);
        } else {
            X509_VERIFY_PARAM_set_hostflags(verify, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            CheckOrThrow<Error>(X509_VERIFY_PARAM_set1_host(verify, host.c_str(), 0) == 1 &&
                                    SSL_set_tlsext_host_name(tls, host.c_str()) == 1,
                                kOpensslInitMessage);
        }
        // A session of an earlier connection to the same origin saves the handshake's
        // certificate exchange and, over TLS 1.3, a round trip's worth of work.
        if (SSL_SESSION* session = Sessions().Take(origin)) {
            SSL_set_session(tls, session);
            SSL_SESSION_free(session);
        }
        SSL_set_connect_state(tls);
        ERR_clear_error();
        // No lock is held: the shared context is made for concurrent handshakes, and nothing
        // here may make another exchange wait.
        int result = DriveTls([tls] { return SSL_do_handshake(tls); });
        if (result <= 0) {
            long verdict = SSL_get_verify_result(tls);
            if (verdict != X509_V_OK)
                throw Error(kCertificateMessage + std::string(X509_verify_cert_error_string(verdict)));
            throw Error(kTlsHandshakeMessage);
        }
        if (!c_->peer->deferredChain.empty() && !SystemVerifierAccepts(*c_->peer)) {
            throw Error(kCertificateMessage + std::string(X509_verify_cert_error_string(c_->peer->openSslVerdict)));
        }
        c_->peer->verified = true;
        for (SSL_SESSION* session : c_->peer->pendingSessions) Sessions().Put(origin, session);
        c_->peer->pendingSessions.clear();
    }

    void Write(const Bytes& data) {
        if (!Secure()) {
            // A failed plain write is not fatal by itself: the peer may already have answered
            // (and closed), and the read that follows reports a dead connection anyway.
            SendAll(data.data(), data.size());
            return;
        }
        std::size_t offset = 0;
        while (offset < data.size()) {
            int piece = static_cast<int>(std::min<std::size_t>(data.size() - offset, 1 << 20));
            SSL* tls = c_->tls.get();
            int written = DriveTls([&] { return SSL_write(tls, data.data() + offset, piece); });
            if (written <= 0) throw Error(kNetworkMessage + std::to_string(written == 0 ? -1 : written));
            offset += static_cast<std::size_t>(written);
        }
    }

    // One read: the byte count, 0 when the peer has closed, a negative result on failure.
    long Read(char* buffer, std::size_t size) {
        if (Secure()) {
            int cap = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
            SSL* tls = c_->tls.get();
            return DriveTls([&] { return SSL_read(tls, buffer, cap); });
        }
        return RecvRaw(buffer, size);
    }

    // Hands the connection over for the next exchange to the same origin; nothing may be left
    // unread in it.
    void Keep(const std::string& origin) {
        if (Secure() && (SSL_pending(c_->tls.get()) > 0 || BIO_ctrl_pending(c_->in) > 0)) return;
        c_->origin = origin;
        Kept().Keep(std::move(c_));
    }

private:
    // The system verifier may wait on the network (Windows fetches missing certificates), so it
    // runs on a thread of its own like the resolver: the exchange gives up on it at its
    // deadline or when the pool stops, and the verifier ends alone.
    bool SystemVerifierAccepts(const TlsPeer& peer) {
        SystemVerifier verifier = CurrentSystemVerifier();
        const long long remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
        const int fetchTimeoutMs = static_cast<int>(std::max(1LL, std::min(remaining, kMaxFetchMs)));
        std::vector<std::string> chain = peer.deferredChain;
        std::string host = peer.host;
        return RunBounded<bool>(
            [verifier, chain, host, fetchTimeoutMs] {
                return verifier ? verifier(chain, host) : net::VerifyWithSystemRoots(chain, host, fetchTimeoutMs);
            },
            cancel_, deadline_, kExchangeTimeoutMessage);
    }

    // The system resolver has no time-out of its own and cannot be interrupted (a broken DNS
    // setup can hold it for minutes), so it runs on a thread of its own: the exchange gives up
    // on it at the connect time-out or when the pool stops, and the resolver ends alone.
    int ResolveBounded(const std::string& host, std::string& address) {
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
            std::min(Clock::now() + std::chrono::milliseconds(connectTimeoutMs.load()), deadline_);
        std::unique_lock<std::mutex> lock(lookup->mutex);
        while (!lookup->finished) {
            CheckOrThrow<Error>(cancel_ == nullptr || !cancel_->load(), kCancelledMessage);
            const auto now = Clock::now();
            CheckOrThrow<Error>(now < deadline_, kExchangeTimeoutMessage);
            CheckOrThrow<Error>(now < deadline, kConnectTimeoutMessage);
            lookup->done.wait_for(
                lock, std::min<Clock::duration>(std::chrono::milliseconds(kWaitSliceMs), deadline - now));
        }
        address = lookup->ip;
        return lookup->code;
    }

    void CheckDeadline() const { CheckOrThrow<Error>(Clock::now() < deadline_, kExchangeTimeoutMessage); }

    void WaitReady(bool forWrite, long long timeoutMs, const char* timeoutMessage) {
        long long waited = 0;
        for (;;) {
            CheckOrThrow<Error>(cancel_ == nullptr || !cancel_->load(), kCancelledMessage);
            CheckDeadline();
            CheckOrThrow<Error>(waited < timeoutMs, timeoutMessage);
            const long long untilDeadline =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count() + 1;
            int slice = static_cast<int>(
                std::min({static_cast<long long>(kWaitSliceMs), timeoutMs - waited, untilDeadline}));
            int ready = net::WaitSocket(c_->socket, forWrite, slice);
            if (ready < 0) throw Error(kNetworkMessage + std::to_string(-1));
            if (ready > 0) return;
            waited += slice;
        }
    }

    // False when the socket failed before everything was sent.
    bool SendAll(const char* data, std::size_t size) {
        std::size_t offset = 0;
        while (offset < size) {
            CheckDeadline();
            bool wouldBlock = false;
            long sent = net::SendSome(c_->socket, data + offset, size - offset, wouldBlock);
            if (sent > 0) {
                offset += static_cast<std::size_t>(sent);
            } else if (wouldBlock) {
                WaitReady(true, ioTimeoutMs.load(), kIoTimeoutMessage);
            } else {
                return false;
            }
        }
        return true;
    }

    long RecvRaw(char* buffer, std::size_t size) {
        for (;;) {
            // Checked before every read, not only while waiting: a peer that trickles one byte
            // at a time never lets a wait run out.
            CheckDeadline();
            bool wouldBlock = false;
            long received = net::RecvSome(c_->socket, buffer, size, wouldBlock);
            if (received >= 0) return received;
            if (!wouldBlock) return -1;
            WaitReady(false, ioTimeoutMs.load(), kIoTimeoutMessage);
        }
    }

    // Moves what OpenSSL wrote into the out BIO onto the socket; false when the socket failed.
    bool FlushTls(bool wait) {
        char chunk[kReadBufferBytes];
        while (BIO_ctrl_pending(c_->out) > 0) {
            int size = BIO_read(c_->out, chunk, sizeof(chunk));
            if (size <= 0) return true;
            if (wait) {
                if (!SendAll(chunk, static_cast<std::size_t>(size))) return false;
            } else {
                bool wouldBlock = false;
                if (net::SendSome(c_->socket, chunk, static_cast<std::size_t>(size), wouldBlock) != size)
                    return false;
            }
        }
        return true;
    }

    // Runs an SSL call until it completes, feeding it from the socket as it asks.
    // Returns the call's positive result, 0 when the peer closed, -1 on failure.
    template <typename Call>
    int DriveTls(Call call) {
        char chunk[kReadBufferBytes];
        for (;;) {
            int result = call();
            if (!FlushTls(true)) return -1;
            if (result > 0) return result;
            int error = SSL_get_error(c_->tls.get(), result);
            if (error == SSL_ERROR_ZERO_RETURN) return 0;
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return -1;
            if (error == SSL_ERROR_WANT_WRITE) continue;
            long received = RecvRaw(chunk, sizeof(chunk));
            if (received <= 0) return static_cast<int>(received);
            BIO_write(c_->in, chunk, static_cast<int>(received));
        }
    }

    const std::atomic<bool>* cancel_;
    const Clock::time_point deadline_;
    std::unique_ptr<Connection> c_;
};

void ParseHead(Response& response) {
    std::string head(response.source.data(), static_cast<std::size_t>(response.head_end));
    const std::string parseFailure = std::string(kParseMessage) + "\n" + head;
    // The status line comes first: a head that opens with an empty line is not a response.
    CheckOrThrow<Error>(head.compare(0, 2, "\r\n") != 0, parseFailure);
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < head.size();) {
        std::size_t end = head.find("\r\n", start);
        if (end == std::string::npos) end = head.size();
        if (end > start) lines.push_back(head.substr(start, end - start));
        start = end + 2;
    }
    CheckOrThrow<Error>(!lines.empty(), parseFailure);

    // Version, space, code, space, reason. The reason may be empty (common Java servers send
    // "HTTP/1.1 200 "), the space before it may not.
    const std::string& status = lines.front();
    const std::size_t npos = std::string::npos;
    std::size_t versionBegin = status.find_first_not_of(' ');
    std::size_t versionEnd = versionBegin == npos ? npos : status.find(' ', versionBegin);
    std::size_t codeBegin = versionEnd == npos ? npos : status.find_first_not_of(' ', versionEnd);
    std::size_t codeEnd = codeBegin == npos ? npos : status.find(' ', codeBegin);
    CheckOrThrow<Error>(codeEnd != npos, parseFailure);
    std::size_t textBegin = status.find_first_not_of(' ', codeEnd);
    response.protocol_version = Trim(status.substr(versionBegin, versionEnd - versionBegin));
    response.status_code = Trim(status.substr(codeBegin, codeEnd - codeBegin));
    response.status_text = textBegin == npos ? std::string() : Trim(status.substr(textBegin));

    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::size_t colon = lines[i].find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == lines[i].size()) continue;
        std::string name = Trim(lines[i].substr(0, colon));
        // "  : x" names nothing; stored, it would answer a lookup of the empty name.
        if (name.empty()) continue;
        response.header.Add(Lowercase(name), Trim(lines[i].substr(colon + 1)));
    }

    std::string length = response.header.Get("content-length");
    if (!length.empty()) response.content_length = Stoi(length, 10);
    response.chunked = response.header.Get("Transfer-Encoding") == "chunked";
    response.body.assign(response.source.begin() + response.head_end, response.source.end());
}

// Walks chunked framing as bytes arrive, so chunk data is never mistaken for the end.
class ChunkWalker {
public:
    // Consumes what it can of raw; true once the last chunk and the trailers are through.
    bool Advance(const Bytes& raw) {
        for (;;) {
            if (state_ == State::Done) return true;
            if (state_ == State::Data) {
                if (raw.size() - position_ < remaining_) return false;
                decoded_.insert(decoded_.end(), raw.begin() + position_,
                                raw.begin() + position_ + remaining_);
                position_ += remaining_;
                state_ = State::DataEnd;
                continue;
            }
            std::size_t crlf = FindCrlf(raw, position_);
            if (crlf == std::string::npos) {
                CheckOrThrow<Error>(raw.size() - position_ <= kMaxLineBytes, kBadFramingMessage);
                return false;
            }
            std::string line(raw.begin() + position_, raw.begin() + crlf);
            position_ = crlf + 2;
            switch (state_) {
                case State::SizeLine: {
                    int size = Stoi(line, 16);
                    CheckOrThrow<Error>(size >= 0, kBadFramingMessage);
                    CheckOrThrow<Error>(decoded_.size() + static_cast<std::size_t>(size) <= kMaxResponseBytes,
                                        kResponseTooLargeMessage);
                    remaining_ = static_cast<std::size_t>(size);
                    state_ = size == 0 ? State::Trailers : State::Data;
                    break;
                }
                case State::DataEnd:
                    state_ = State::SizeLine;
                    break;
                case State::Trailers:
                    if (line.empty()) state_ = State::Done;
                    break;
                default:
                    break;
            }
        }
    }
    Bytes& Decoded() { return decoded_; }
    // How many raw bytes the framing took (all of them unless more followed the last chunk).
    std::size_t Consumed() const { return position_; }

private:
    enum class State { SizeLine, Data, DataEnd, Trailers, Done };
    State state_ = State::SizeLine;
    std::size_t position_ = 0;
    std::size_t remaining_ = 0;
    Bytes decoded_;
};

// Responses that never carry a body whatever their head says.
bool HasNoBody(const std::string& status) {
    return status == "204" || status == "304" || (status.size() == 3 && status[0] == '1');
}

}  // namespace

Response ReadResponse(const ReadSome& readSome) {
    bool reusable = false;
    return ReadResponse(readSome, reusable);
}

Response ReadResponse(const ReadSome& readSome, bool& reusable) {
    reusable = false;
    bool framedExactly = false;
    Response response;
    std::vector<char> buffer(kReadBufferBytes);
    std::size_t total = 0;
    auto read = [&]() -> long {
        long count = readSome(buffer.data(), buffer.size());
        CheckOrThrow<Error>(count <= static_cast<long>(buffer.size()),
                            kNetworkMessage + std::to_string(count));
        if (count > 0) {
            total += static_cast<std::size_t>(count);
            CheckOrThrow<Error>(total <= kMaxResponseBytes, kResponseTooLargeMessage);
        }
        return count;
    };
    auto fail = [](long count) {
        if (count == 0) throw PeerConnectionClose();
        throw Error(kNetworkMessage + std::to_string(count));
    };

    static const char kHeadEnd[] = "\r\n\r\n";
    std::size_t searchFrom = 0;
    while (response.head_end < 0) {
        long count = read();
        if (count <= 0) fail(count);
        response.source.insert(response.source.end(), buffer.data(), buffer.data() + count);
        auto found =
            std::search(response.source.begin() + searchFrom, response.source.end(), kHeadEnd, kHeadEnd + 4);
        if (found != response.source.end()) {
            response.head_end = static_cast<int32_t>(found - response.source.begin()) + 4;
        } else {
            searchFrom = response.source.size() >= 3 ? response.source.size() - 3 : 0;
        }
    }
    ParseHead(response);

    auto append = [&](long count) {
        response.body.insert(response.body.end(), buffer.data(), buffer.data() + count);
    };
    if (HasNoBody(response.status_code)) {
        // Whatever length the head names is that of a body these answers never carry; waiting
        // for it would hold the exchange until the peer gives up.
        framedExactly = response.body.empty() && response.status_code[0] != '1';
        response.body.clear();
        response.content_length = 0;
    } else if (response.chunked) {
        ChunkWalker walker;
        while (!walker.Advance(response.body)) {
            long count = read();
            if (count <= 0) fail(count);
            append(count);
        }
        framedExactly = walker.Consumed() == response.body.size();
        response.body.swap(walker.Decoded());
        response.content_length = static_cast<int32_t>(response.body.size());
    } else if (!response.header.Get("content-length").empty()) {
        CheckOrThrow<Error>(response.content_length >= 0, kBadFramingMessage);
        std::size_t length = static_cast<std::size_t>(response.content_length);
        CheckOrThrow<Error>(length <= kMaxResponseBytes, kResponseTooLargeMessage);
        while (response.body.size() < length) {
            long count = read();
            if (count <= 0) fail(count);
            append(count);
        }
        framedExactly = response.body.size() == length;
        response.body.resize(length);
    } else {
        // Without a length or chunking the peer's close is the end of the body.
        for (;;) {
            long count = read();
            if (count == 0) break;
            if (count < 0) fail(count);
            append(count);
        }
        response.content_length = static_cast<int32_t>(response.body.size());
    }
    // The connection can carry another exchange when this answer's end is known from its own
    // framing, nothing followed it, and the server did not say it closes.
    std::string connection = Lowercase(response.header.Get("connection"));
    reusable = framedExactly && response.protocol_version == "HTTP/1.1" &&
               connection.find("close") == std::string::npos;
    return response;
}

void SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds io) {
    connectTimeoutMs.store(connect.count());
    ioTimeoutMs.store(io.count());
}

void SetExchangeTimeout(std::chrono::milliseconds exchange) {
    exchangeTimeoutMs.store(exchange.count());
}

namespace {

bool IsUrlHostChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-';
}

}  // namespace

bool SplitUrl(const std::string& url, UrlParts& parts) {
    std::size_t at = 0;
    if (url.compare(0, 7, "http://") == 0) {
        parts.protocol = "http";
        at = 7;
    } else if (url.compare(0, 8, "https://") == 0) {
        parts.protocol = "https";
        at = 8;
    } else {
        return false;
    }
    // Host, port and path are all that may follow, and none of them holds a line break.
    if (url.find_first_of("\r\n", at) != std::string::npos) return false;
    std::size_t hostEnd = at;
    while (hostEnd < url.size() && IsUrlHostChar(url[hostEnd])) ++hostEnd;
    std::size_t portBegin = hostEnd < url.size() && url[hostEnd] == ':' ? hostEnd + 1 : hostEnd;
    std::size_t portEnd = portBegin;
    while (portEnd < url.size() && url[portEnd] >= '0' && url[portEnd] <= '9') ++portEnd;
    parts.host = url.substr(at, hostEnd - at);
    parts.port = url.substr(portBegin, portEnd - portBegin);
    parts.path = url.substr(portEnd);
    return true;
}

void Header::Add(const std::string& name, const std::string& value) {
    pairs_.emplace_back(name, value);
}

std::string Header::Get(const std::string& name) const {
    std::string wanted = Lowercase(name);
    for (auto pair = pairs_.rbegin(); pair != pairs_.rend(); ++pair) {
        if (pair->first == wanted) return pair->second;
    }
    return std::string();
}

std::string Response::BodyText() const {
    auto nul = std::find(body.begin(), body.end(), '\0');
    return std::string(body.begin(), nul);
}

Request::Request() : version("HTTP/1.1") {}

Request& Request::SetUrl(const std::string& value) {
    url = value;
    return *this;
}

Request& Request::SetBody(const std::string& value) {
    body.assign(value.begin(), value.end());
    return *this;
}

Request& Request::SetHeader(const Header& value) {
    header = value;
    return *this;
}

Request& Request::SetMethod(Method value) {
    switch (value) {
        case Method::Get:
            method = "GET";
            break;
        case Method::Post:
            method = "POST";
            break;
        case Method::Put:
            method = "PUT";
            break;
        case Method::Delete:
            method = "DELETE";
            break;
        default:
            break;
    }
    return *this;
}

Response Request::Send(const std::string& target) {
    return Send(target, nullptr);
}

Response Request::Send(const std::string& target, const std::atomic<bool>* cancel) {
    CheckOrThrow<std::invalid_argument>(!method.empty(), kNoMethodMessage);
    UrlParts parts;
    CheckOrThrow<std::invalid_argument>(SplitUrl(target, parts), kBadUrlMessage);
    protocol = parts.protocol;
    if (parts.port.empty()) {
        port = protocol == "http" ? 80 : 443;
    } else {
        port = Stoi(parts.port, 10);
        // htons would silently fold a larger number onto some other port.
        CheckOrThrow<std::out_of_range>(port <= 65535, kBadPortMessage);
    }
    host = parts.host;
    path = parts.path.empty() ? std::string("/") : parts.path;

    NetworkSession session;
    try {
        // https goes through the proxy the system names, in a CONNECT tunnel; the backend's
        // certificate and name are checked through it as on a direct connection.
        Channel channel(cancel);
        net::ProxyAddress proxy;
        const bool viaProxy = protocol == "https" && channel.FindProxy(target, host, proxy);
        const std::string origin = protocol + "://" + host + ":" + std::to_string(port) +
                                   (viaProxy ? " via " + proxy.host + ":" + std::to_string(proxy.port) : "");
        // A kept connection is used only when the server has not closed it meanwhile; once a
        // byte of the request is written nothing is ever sent again, since the server may
        // have received it (a create-order or a pay-result must not arrive twice).
        if (!channel.Adopt(Kept().Take(origin), ip)) {
            if (viaProxy) {
                channel.Connect(proxy.host, ip, proxy.port);
                channel.Tunnel(host, port);
            } else {
                channel.Connect(host, ip, port);
            }
        }

        header.Add("Host", host);
        header.Add("Content-Length", std::to_string(body.size()));
        std::string text = method + " " + path + " " + version + "\r\n";
        for (const auto& pair : header.Pairs()) text += pair.first + ": " + pair.second + "\r\n";
        text += "\r\n";
        source.insert(source.end(), text.begin(), text.end());
        source.insert(source.end(), body.begin(), body.end());

        if (protocol != "http" && !channel.Secure()) channel.StartTls(host, origin);
        channel.Write(source);
        bool reusable = false;
        Response response = ReadResponse(
            [&channel](char* buffer, std::size_t size) { return channel.Read(buffer, size); }, reusable);
        if (reusable) channel.Keep(origin);
        return response;
    } catch (const std::exception& failure) {
        throw Error(failure.what());
    }
}

void ForgetKeptConnection() {
    Kept().Forget();
}

void SetSystemVerifier(SystemVerifier verifier) {
    std::lock_guard<std::mutex> lock(SystemVerifierMutex());
    SystemVerifierOverride() = std::move(verifier);
}

}  // namespace sion
