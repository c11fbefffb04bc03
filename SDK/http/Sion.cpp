// The HTTP/1.1 client: one request per connection, plain or TLS, every wait bounded.
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

// OpenSSL's own verification first. The roots copied from the system at start-up are not all
// the system trusts: Windows fetches missing roots on demand, so a fresh or locked-down
// machine may lack the backend's root in that copy. A chain OpenSSL refuses is therefore put
// to the system's own verifier, with the host name, before the handshake is failed.
int VerifyPeerChain(X509_STORE_CTX* store, void*) {
    if (X509_verify_cert(store) == 1) return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const auto* host = ssl != nullptr ? static_cast<const std::string*>(SSL_get_app_data(ssl)) : nullptr;
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (host == nullptr || leaf == nullptr) return 0;
    try {
        std::vector<std::string> chain{DerOf(leaf)};
        STACK_OF(X509)* untrusted = X509_STORE_CTX_get0_untrusted(store);
        for (int i = 0; untrusted != nullptr && i < sk_X509_num(untrusted); ++i)
            chain.push_back(DerOf(sk_X509_value(untrusted, i)));
        if (!net::VerifyWithSystemRoots(chain, *host)) return 0;
    } catch (const std::exception&) {
        return 0;
    }
    X509_STORE_CTX_set_error(store, X509_V_OK);
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
        return created;
    }();
    return context;
}

// The socket of one exchange and, for https, its TLS session. TLS runs over memory BIOs so
// that every byte crosses the socket through the bounded, cancellable waits below, and no
// write can raise SIGPIPE.
class Channel {
public:
    explicit Channel(const std::atomic<bool>* cancel)
        : cancel_(cancel), deadline_(Clock::now() + std::chrono::milliseconds(exchangeTimeoutMs.load())) {
        socket_ = net::OpenTcpSocket();
        CheckOrThrow<Error>(socket_ != net::kInvalidSocket, kSocketMessage);
    }
    ~Channel() {
        if (tls_) {
            // Best effort: a close_notify if the socket takes it at once; nothing waits.
            ERR_clear_error();
            SSL_shutdown(tls_.get());
            FlushTls(false);
        }
        tls_.reset();
        net::CloseSocket(socket_);
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    void Connect(const std::string& host, std::string& ip, int port) {
        std::string address = host;
        if (HasLetter(host)) {
            int code = ResolveBounded(host, address);
            if (code != 0) throw Error(kResolveMessage + std::to_string(code) + net::ResolveErrorText(code));
        }
        ip = address;
        unsigned char raw[4];
        CheckOrThrow<std::invalid_argument>(net::ParseIpv4(ip, raw), kBadAddressMessage);
        int started = net::BeginConnect(socket_, raw, static_cast<std::uint16_t>(port));
        int error = 0;
        if (started < 0) {
            error = net::LastSocketError();
        } else if (started > 0) {
            WaitReady(true, connectTimeoutMs.load(), kConnectTimeoutMessage);
            error = net::ConnectResult(socket_);
        }
        if (error != 0) {
            throw Error(std::string(kConnectFailedMessage) + "\nHost:" + host + "\nIp:" + ip + "\n错误码：" +
                        std::to_string(error));
        }
    }

    void StartTls(const std::string& host) {
        SSL_CTX* context = SharedTlsContext();
        CheckOrThrow<Error>(context != nullptr, kOpensslInitMessage);
        tls_.reset(SSL_new(context));
        CheckOrThrow<Error>(tls_ != nullptr, kOpensslInitMessage);
        BIO* in = BIO_new(BIO_s_mem());
        BIO* out = BIO_new(BIO_s_mem());
        if (in == nullptr || out == nullptr) {
            BIO_free(in);
            BIO_free(out);
            throw Error(kOpensslInitMessage);
        }
        SSL_set_bio(tls_.get(), in, out);
        in_ = in;
        out_ = out;
        host_ = host;
        SSL_set_app_data(tls_.get(), &host_);
        X509_VERIFY_PARAM* verify = SSL_get0_param(tls_.get());
        // A host without letters was connected to as an address, so the certificate must
        // name that address; a name gets SNI and a host-name check.
        if (!HasLetter(host)) {
            CheckOrThrow<Error>(X509_VERIFY_PARAM_set1_ip_asc(verify, host.c_str()) == 1,
                                kOpensslInitMessage);
        } else {
            X509_VERIFY_PARAM_set_hostflags(verify, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            CheckOrThrow<Error>(X509_VERIFY_PARAM_set1_host(verify, host.c_str(), 0) == 1 &&
                                    SSL_set_tlsext_host_name(tls_.get(), host.c_str()) == 1,
                                kOpensslInitMessage);
        }
        SSL_set_connect_state(tls_.get());
        ERR_clear_error();
        int result = DriveTls([this] {
            // The shared context's trust store fills its lookup caches while it verifies a
            // peer, and ThreadSanitizer sees one handshake read a certificate another is
            // still writing there. Over memory BIOs a handshake step never waits on the
            // network, so running the steps one at a time costs little.
            static std::mutex* const handshakeMutex = new std::mutex();
            std::lock_guard<std::mutex> lock(*handshakeMutex);
            return SSL_do_handshake(tls_.get());
        });
        if (result <= 0) {
            long verdict = SSL_get_verify_result(tls_.get());
            if (verdict != X509_V_OK)
                throw Error(kCertificateMessage + std::string(X509_verify_cert_error_string(verdict)));
            throw Error(kTlsHandshakeMessage);
        }
    }

    void Write(const Bytes& data) {
        if (!tls_) {
            // A failed plain write is not fatal by itself: the peer may already have answered
            // (and closed), and the read that follows reports a dead connection anyway.
            SendAll(data.data(), data.size());
            return;
        }
        std::size_t offset = 0;
        while (offset < data.size()) {
            int piece = static_cast<int>(std::min<std::size_t>(data.size() - offset, 1 << 20));
            int written = DriveTls([&] { return SSL_write(tls_.get(), data.data() + offset, piece); });
            if (written <= 0) throw Error(kNetworkMessage + std::to_string(written == 0 ? -1 : written));
            offset += static_cast<std::size_t>(written);
        }
    }

    // One read: the byte count, 0 when the peer has closed, a negative result on failure.
    long Read(char* buffer, std::size_t size) {
        if (tls_) {
            int cap = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
            return DriveTls([&] { return SSL_read(tls_.get(), buffer, cap); });
        }
        return RecvRaw(buffer, size);
    }

private:
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
            int ready = net::WaitSocket(socket_, forWrite, slice);
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
            long sent = net::SendSome(socket_, data + offset, size - offset, wouldBlock);
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
            long received = net::RecvSome(socket_, buffer, size, wouldBlock);
            if (received >= 0) return received;
            if (!wouldBlock) return -1;
            WaitReady(false, ioTimeoutMs.load(), kIoTimeoutMessage);
        }
    }

    // Moves what OpenSSL wrote into the out BIO onto the socket; false when the socket failed.
    bool FlushTls(bool wait) {
        char chunk[kReadBufferBytes];
        while (BIO_ctrl_pending(out_) > 0) {
            int size = BIO_read(out_, chunk, sizeof(chunk));
            if (size <= 0) return true;
            if (wait) {
                if (!SendAll(chunk, static_cast<std::size_t>(size))) return false;
            } else {
                bool wouldBlock = false;
                if (net::SendSome(socket_, chunk, static_cast<std::size_t>(size), wouldBlock) != size)
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
            int error = SSL_get_error(tls_.get(), result);
            if (error == SSL_ERROR_ZERO_RETURN) return 0;
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return -1;
            if (error == SSL_ERROR_WANT_WRITE) continue;
            long received = RecvRaw(chunk, sizeof(chunk));
            if (received <= 0) return static_cast<int>(received);
            BIO_write(in_, chunk, static_cast<int>(received));
        }
    }

    const std::atomic<bool>* cancel_;
    const Clock::time_point deadline_;
    std::string host_;  // the name the peer's certificate must carry, for the verify callback
    net::SocketHandle socket_ = net::kInvalidSocket;
    std::unique_ptr<SSL, SslDeleter> tls_;
    BIO* in_ = nullptr;   // owned by tls_
    BIO* out_ = nullptr;  // owned by tls_
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
        response.body.clear();
        response.content_length = 0;
    } else if (response.chunked) {
        ChunkWalker walker;
        while (!walker.Advance(response.body)) {
            long count = read();
            if (count <= 0) fail(count);
            append(count);
        }
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
        Channel channel(cancel);
        channel.Connect(host, ip, port);

        header.Add("Host", host);
        header.Add("Content-Length", std::to_string(body.size()));
        std::string text = method + " " + path + " " + version + "\r\n";
        for (const auto& pair : header.Pairs()) text += pair.first + ": " + pair.second + "\r\n";
        text += "\r\n";
        source.insert(source.end(), text.begin(), text.end());
        source.insert(source.end(), body.begin(), body.end());

        if (protocol != "http") channel.StartTls(host);
        channel.Write(source);
        return ReadResponse(
            [&channel](char* buffer, std::size_t size) { return channel.Read(buffer, size); });
    } catch (const std::exception& failure) {
        throw Error(failure.what());
    }
}

}  // namespace sion
