// The TLS channel: OpenSSL over memory buffers, pumped through the exchange's socket (see
// TlsChannel.h).
#include "http/TlsChannel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <climits>
#include <deque>
#include <map>

#include "utils/VondDevOverrides.h"

namespace sion {
namespace detail {

namespace {

constexpr const char* kOpensslInitMessage = "openssl初始化异常";
// The longest the Windows verifier may spend on one fetch of a missing certificate.
constexpr long long kMaxFetchMs = 15000;

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
// verdict is final; it runs after the handshake (see TlsChannel::Handshake), since it may wait on
// the network.
int VerifyPeerChain(X509_STORE_CTX* store, void*) {
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* peer = ssl != nullptr ? static_cast<TlsPeer*>(SSL_get_app_data(ssl)) : nullptr;
    try {
        if (X509_verify_cert(store) == 1) {
            // A certificate the system distrusts explicitly is refused whatever chain it is in.
            if (net::HasSystemVerifier() &&
                net::IsDistrusted(DersOf(nullptr, X509_STORE_CTX_get0_chain(store)))) {
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

// TLS over a connection's socket. OpenSSL reads from and writes to memory buffers; every
// byte between them and the socket goes through the socket's bounded, cancellable waits.
class TlsChannel : public SecureLayer {
public:
    TlsChannel(Socket& socket, const std::string& host, const std::string& origin) : socket_(socket) {
        peer_.reset(new TlsPeer());
        peer_->host = host;
        peer_->origin = origin;
    }
    ~TlsChannel() override {
        // Closed by us between exchanges, not cut short: OpenSSL would otherwise mark the
        // session (shared with the connections resumed from it) as not to be resumed.
        if (tls_) SSL_set_shutdown(tls_.get(), SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    }

    void Handshake(SSL_CTX* context, const Bounds& bounds) {
        const std::string& host = peer_->host;
        const std::string& origin = peer_->origin;
        tls_.reset(SSL_new(context));
        SSL* tls = tls_.get();
        CheckOrThrow<Error>(tls != nullptr, kOpensslInitMessage);
        BIO* in = BIO_new(BIO_s_mem());
        BIO* out = BIO_new(BIO_s_mem());
        if (in == nullptr || out == nullptr) {
            BIO_free(in);
            BIO_free(out);
            throw Error(kOpensslInitMessage);
        }
        SSL_set_bio(tls, in, out);
        in_ = in;
        out_ = out;
        SSL_set_app_data(tls, peer_.get());
        X509_VERIFY_PARAM* verify = SSL_get0_param(tls);
        // A host without letters was connected to as an address, so the certificate must
        // name that address; a name gets SNI and a host-name check.
        if (!HasLetter(host)) {
            CheckOrThrow<Error>(X509_VERIFY_PARAM_set1_ip_asc(verify, host.c_str()) == 1,
                                kOpensslInitMessage);
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
        // here may make another exchange wait. The handshake itself waits on the network for
        // the peer's answers, within this exchange's bounds.
        int result = DriveTls([tls] { return SSL_do_handshake(tls); }, bounds);
        if (result <= 0) {
            long verdict = SSL_get_verify_result(tls);
            if (verdict != X509_V_OK)
                throw Error(kCertificateMessage + std::string(X509_verify_cert_error_string(verdict)));
            throw Error(kTlsHandshakeMessage);
        }
        if (!peer_->deferredChain.empty() && !SystemVerifierAccepts(*peer_, bounds)) {
            throw Error(kCertificateMessage +
                        std::string(X509_verify_cert_error_string(peer_->openSslVerdict)));
        }
        peer_->verified = true;
        for (SSL_SESSION* session : peer_->pendingSessions) Sessions().Put(origin, session);
        peer_->pendingSessions.clear();
    }

    void Write(const Bytes& data, const Bounds& bounds) override {
        std::size_t offset = 0;
        while (offset < data.size()) {
            int piece = static_cast<int>(std::min<std::size_t>(data.size() - offset, 1 << 20));
            SSL* tls = tls_.get();
            int written = DriveTls([&] { return SSL_write(tls, data.data() + offset, piece); }, bounds);
            if (written <= 0) throw Error(kNetworkMessage + std::to_string(written == 0 ? -1 : written));
            offset += static_cast<std::size_t>(written);
        }
    }

    long Read(char* buffer, std::size_t size, const Bounds& bounds) override {
        int cap = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
        SSL* tls = tls_.get();
        return DriveTls([&] { return SSL_read(tls, buffer, cap); }, bounds);
    }

    bool HoldsUnread() const override {
        return tls_ && (SSL_pending(tls_.get()) > 0 || BIO_ctrl_pending(in_) > 0);
    }

    void Close() override {
        if (!tls_) return;
        ERR_clear_error();
        SSL_shutdown(tls_.get());
        FlushTls(nullptr);
    }

private:
    // The system verifier may wait on the network (Windows fetches missing certificates), so it
    // runs on a thread of its own like the resolver: the exchange gives up on it at its
    // deadline or when the pool stops, and the verifier ends alone.
    static bool SystemVerifierAccepts(const TlsPeer& peer, const Bounds& bounds) {
        SystemVerifier verifier = CurrentSystemVerifier();
        const long long remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(bounds.Deadline() - Clock::now()).count();
        const int fetchTimeoutMs = static_cast<int>(std::max(1LL, std::min(remaining, kMaxFetchMs)));
        std::vector<std::string> chain = peer.deferredChain;
        std::string host = peer.host;
        return RunBounded<bool>(
            [verifier, chain, host, fetchTimeoutMs] {
                return verifier ? verifier(chain, host)
                                : net::VerifyWithSystemRoots(chain, host, fetchTimeoutMs);
            },
            bounds.Cancel(), bounds.Deadline(), kExchangeTimeoutMessage);
    }

    // Moves what OpenSSL wrote into the out BIO onto the socket, waiting within bounds (or not
    // at all when bounds is null); false when the socket failed.
    bool FlushTls(const Bounds* bounds) {
        char chunk[kReadBufferBytes];
        while (BIO_ctrl_pending(out_) > 0) {
            int size = BIO_read(out_, chunk, sizeof(chunk));
            if (size <= 0) return true;
            if (bounds != nullptr) {
                if (!socket_.SendAll(chunk, static_cast<std::size_t>(size), *bounds)) return false;
            } else {
                if (!socket_.SendNow(chunk, static_cast<std::size_t>(size))) return false;
            }
        }
        return true;
    }

    // Runs an SSL call until it completes, feeding it from the socket as it asks.
    // Returns the call's positive result, 0 when the peer closed, -1 on failure.
    template <typename Call>
    int DriveTls(Call call, const Bounds& bounds) {
        char chunk[kReadBufferBytes];
        for (;;) {
            int result = call();
            if (!FlushTls(&bounds)) return -1;
            if (result > 0) return result;
            int error = SSL_get_error(tls_.get(), result);
            if (error == SSL_ERROR_ZERO_RETURN) return 0;
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return -1;
            if (error == SSL_ERROR_WANT_WRITE) continue;
            long received = socket_.Recv(chunk, sizeof(chunk), bounds);
            if (received <= 0) return static_cast<int>(received);
            BIO_write(in_, chunk, static_cast<int>(received));
        }
    }

    Socket& socket_;
    std::unique_ptr<TlsPeer> peer_;  // declared before tls_: outlives it, its callbacks use it
    std::unique_ptr<SSL, SslDeleter> tls_;
    BIO* in_ = nullptr;   // owned by tls_
    BIO* out_ = nullptr;  // owned by tls_
};

}  // namespace

void StartTls(Connection& connection, const std::string& host, const std::string& origin,
              const Bounds& bounds) {
    SSL_CTX* context = SharedTlsContext();
    CheckOrThrow<Error>(context != nullptr, kOpensslInitMessage);
    auto* channel = new TlsChannel(connection.socket, host, origin);
    connection.secure.reset(channel);
    channel->Handshake(context, bounds);
}

}  // namespace detail

void SetSystemVerifier(SystemVerifier verifier) {
    std::lock_guard<std::mutex> lock(detail::SystemVerifierMutex());
    detail::SystemVerifierOverride() = std::move(verifier);
}

}  // namespace sion
