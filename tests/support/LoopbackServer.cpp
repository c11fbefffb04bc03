#include "support/LoopbackServer.h"

#ifdef _WIN32
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include "platform/Net.h"
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "support/TestEnv.h"

namespace vondtest {

namespace {

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
void CloseSocket(Socket s) {
    ::closesocket(s);
}
constexpr int kShutBoth = SD_BOTH;
constexpr int kShutWrite = SD_SEND;
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
void CloseSocket(Socket s) {
    ::close(s);
}
constexpr int kShutBoth = SHUT_RDWR;
constexpr int kShutWrite = SHUT_WR;
#endif

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

const char kDefaultReply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

// ---- certificates -------------------------------------------------------------------------

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
    void operator()(X509* cert) const { X509_free(cert); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr) throw std::runtime_error("test certificate extension failed");
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

// A certificate for key; self-signed when issuer is null.
Cert MakeCert(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, const char* altNames,
              long serial) {
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("vondsdk tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName),
                               -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer == nullptr) {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(cert.get(), signer, NID_basic_constraints, "CA:FALSE");
        AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        AddExtension(cert.get(), signer, NID_subject_alt_name, altNames);
    }
    if (X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) <= 0)
        throw std::runtime_error("test certificate signing failed");
    return cert;
}

// One set of keys and certificates per process, so every server agrees with the CA file.
class TestPki {
public:
    static TestPki& Instance() {
        static TestPki pki;
        return pki;
    }

    const std::string& CaFile() const { return caFile_; }

    void Use(ServerCert which, SSL_CTX* context) const {
        const Cert* cert = &trustedCert_;
        const Key* key = &serverKey_;
        if (which == ServerCert::OtherHost) cert = &otherHostCert_;
        if (which == ServerCert::UntrustedCa) cert = &untrustedCert_;
        if (SSL_CTX_use_certificate(context, cert->get()) != 1 ||
            SSL_CTX_use_PrivateKey(context, key->get()) != 1)
            throw std::runtime_error("test server certificate rejected");
    }

    ~TestPki() {
        std::error_code ignored;
        std::filesystem::remove(std::filesystem::u8path(caFile_), ignored);
    }

private:
    TestPki() {
        caKey_.reset(EVP_EC_gen("P-256"));
        strangerKey_.reset(EVP_EC_gen("P-256"));
        serverKey_.reset(EVP_EC_gen("P-256"));
        if (!caKey_ || !strangerKey_ || !serverKey_) throw std::runtime_error("test key generation failed");
        ca_ = MakeCert(caKey_.get(), "vondsdk test CA", nullptr, nullptr, nullptr, 1);
        stranger_ = MakeCert(strangerKey_.get(), "vondsdk untrusted CA", nullptr, nullptr, nullptr, 2);
        const char* local = "DNS:localhost,IP:127.0.0.1";
        trustedCert_ = MakeCert(serverKey_.get(), "localhost", ca_.get(), caKey_.get(), local, 3);
        otherHostCert_ =
            MakeCert(serverKey_.get(), "other.invalid", ca_.get(), caKey_.get(), "DNS:other.invalid", 4);
        untrustedCert_ =
            MakeCert(serverKey_.get(), "localhost", stranger_.get(), strangerKey_.get(), local, 5);

        std::random_device random;
        auto path = std::filesystem::temp_directory_path() /
                    ("vond_test_ca_" + std::to_string(random()) + std::to_string(random()) + ".pem");
        caFile_ = path.u8string();
        std::FILE* file = std::fopen(path.string().c_str(), "wb");
        if (file == nullptr) throw std::runtime_error("cannot write the test CA file");
        PEM_write_X509(file, ca_.get());
        std::fclose(file);
    }

    Key caKey_, strangerKey_, serverKey_;
    Cert ca_, stranger_, trustedCert_, otherHostCert_, untrustedCert_;
    std::string caFile_;
};

// ---- sockets --------------------------------------------------------------------------------

bool SendAll(Socket socket, SSL* ssl, const std::string& bytes) {
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        int piece = static_cast<int>(std::min<std::size_t>(bytes.size() - offset, 1 << 20));
        int sent = ssl != nullptr
                       ? SSL_write(ssl, bytes.data() + offset, piece)
                       : static_cast<int>(::send(socket, bytes.data() + offset, piece, kSendFlags));
        if (sent <= 0) return false;
        offset += static_cast<std::size_t>(sent);
    }
    return true;
}

// Waits until the socket has bytes (or its end) to read, or the server stops. A read blocked
// in the kernel is not woken by shutdown() from another thread everywhere (Wine's is not), so
// a handler never blocks in one without knowing bytes are there.
bool WaitReadable(Socket socket, SSL* ssl, const std::atomic<bool>& stopping) {
    if (ssl != nullptr && SSL_pending(ssl) > 0) return true;
    while (!stopping.load()) {
#ifdef _WIN32
        WSAPOLLFD watched{socket, POLLRDNORM, 0};
        const int ready = ::WSAPoll(&watched, 1, 20);
#else
        pollfd watched{socket, POLLIN, 0};
        const int ready = ::poll(&watched, 1, 20);
#endif
        if (ready != 0) return true;  // readable, or an error the read will report
    }
    return false;
}

int ReceiveSome(Socket socket, SSL* ssl, char* buffer, int size, const std::atomic<bool>& stopping) {
    if (!WaitReadable(socket, ssl, stopping)) return 0;
    if (ssl != nullptr) return SSL_read(ssl, buffer, size);
    return static_cast<int>(::recv(socket, buffer, size, 0));
}

std::size_t ContentLength(const std::string& head) {
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    std::size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) return 0;
    return static_cast<std::size_t>(std::strtoul(lower.c_str() + at + 17, nullptr, 10));
}

// Whether a reply lets the connection carry another exchange, as a persistent HTTP/1.1 server
// would: complete, framed by its length (or chunks), and not saying it closes.
bool ReplyKeepsConnection(const std::string& reply) {
    std::size_t headEnd = reply.find("\r\n\r\n");
    if (headEnd == std::string::npos || reply.compare(0, 9, "HTTP/1.1 ") != 0) return false;
    std::string head = reply.substr(0, headEnd + 2);
    std::transform(head.begin(), head.end(), head.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    if (head.find("\r\nconnection:") != std::string::npos && head.find("close") != std::string::npos) return false;
    const std::size_t bodySize = reply.size() - headEnd - 4;
    // Chunked only as clients read it: the value exactly "chunked".
    const std::size_t coding = head.find("\r\ntransfer-encoding: ");
    if (coding != std::string::npos && reply.compare(coding + 21, 9, "chunked\r\n") == 0) {
        // Walks the chunks: complete when the last chunk and its empty line end the reply.
        std::size_t at = headEnd + 4;
        for (;;) {
            std::size_t lineEnd = reply.find("\r\n", at);
            if (lineEnd == std::string::npos || lineEnd == at) return false;
            char* end = nullptr;
            const long size = std::strtol(reply.c_str() + at, &end, 16);
            if (end == reply.c_str() + at || size < 0) return false;
            at = lineEnd + 2;
            if (size == 0) break;
            if (static_cast<std::size_t>(size) > reply.size() - at) return false;
            at += static_cast<std::size_t>(size);
            if (reply.compare(at, 2, "\r\n") != 0) return false;
            at += 2;
        }
        for (;;) {  // trailers, then the empty line
            std::size_t lineEnd = reply.find("\r\n", at);
            if (lineEnd == std::string::npos) return false;
            if (lineEnd == at) return lineEnd + 2 == reply.size();
            at = lineEnd + 2;
        }
    }
    if (head.find("\r\ncontent-length:") == std::string::npos) return false;
    return ContentLength(head) == bodySize;
}

// Reads one request: the head and as many body bytes as its Content-Length names.
std::string ReadRequest(Socket socket, SSL* ssl, const std::atomic<bool>& stopping) {
    std::string request;
    char buffer[4096];
    std::size_t wanted = std::string::npos;
    while (wanted == std::string::npos || request.size() < wanted) {
        int count = ReceiveSome(socket, ssl, buffer, sizeof(buffer), stopping);
        if (count <= 0) break;
        request.append(buffer, static_cast<std::size_t>(count));
        std::size_t headEnd = request.find("\r\n\r\n");
        if (wanted == std::string::npos && headEnd != std::string::npos)
            wanted = headEnd + 4 + ContentLength(request.substr(0, headEnd + 2));
    }
    return request;
}

#ifdef _WIN32
// Through the SDK's own seam, so that the server's reference never races the SDK's count.
struct WinsockUser {
    WinsockUser() {
        std::string ignored;
        started = VondSdk::net::StartupNetwork(ignored);
    }
    ~WinsockUser() {
        if (started) VondSdk::net::CleanupNetwork();
    }
    bool started = false;
};
#else
struct WinsockUser {};
#endif

}  // namespace

std::string TrustTestCa() {
    const std::string& path = TestPki::Instance().CaFile();
    SetEnv("VOND_SDK_CA_FILE", path);
    return path;
}

struct LoopbackServer::Impl {
    WinsockUser winsock;
    Socket listener = kNoSocket;
    SSL_CTX* tls = nullptr;
    std::thread acceptor;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool stopping = false;
    // The same, readable without the mutex by handlers waiting for bytes.
    std::atomic<bool> stopFlag{false};
    std::vector<std::thread> handlers;
    std::vector<Socket> open;
    Responder responder;
    bool silent = false;
    bool hold = false;
    bool keepOpen = false;
    bool closeEach = false;
    std::size_t connections = 0;
    std::size_t closed = 0;
    std::size_t resumed = 0;
    std::chrono::milliseconds trickle{0};
    std::size_t releases = 0;
    std::size_t held = 0;
    std::size_t maxHeld = 0;
    std::size_t requestsAtFirstRelease = 0;
    bool released = false;
    std::vector<std::string> requests;

    void Accept() {
        for (;;) {
            Socket client = ::accept(listener, nullptr, nullptr);
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) {
                if (client != kNoSocket) CloseSocket(client);
                return;
            }
            if (client == kNoSocket) continue;
            open.push_back(client);
            handlers.emplace_back([this, client] { Serve(client); });
        }
    }

    void Serve(Socket client) {
        SSL* ssl = nullptr;
        bool ready = true;
        if (tls != nullptr) {
            ssl = SSL_new(tls);
            SSL_set_fd(ssl, static_cast<int>(client));
            ready = WaitReadable(client, nullptr, stopFlag) && SSL_accept(ssl) == 1;
            if (ready && SSL_session_reused(ssl) == 1) {
                std::lock_guard<std::mutex> lock(mutex);
                ++resumed;
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++connections;
        }
        // A connection carries exchanges for as long as the replies allow it and the client
        // sends more.
        while (ready && Answer(client, ssl, ReadRequest(client, ssl, stopFlag))) {
        }
        if (ssl != nullptr) {
            if (ready) SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        ::shutdown(client, kShutWrite);
        std::lock_guard<std::mutex> lock(mutex);
        open.erase(std::remove(open.begin(), open.end(), client), open.end());
        CloseSocket(client);
        ++closed;
        changed.notify_all();
    }

    // True when the connection stays open for another request.
    bool Answer(Socket client, SSL* ssl, std::string request) {
        if (request.empty()) return false;
        bool closeAfter = false;
        Responder reply;
        bool stayOpen = false;
        std::chrono::milliseconds pause{0};
        {
            std::unique_lock<std::mutex> lock(mutex);
            requests.push_back(request);
            changed.notify_all();
            if (silent) {
                changed.wait(lock, [&] { return stopping; });
                return false;
            }
            if (hold) {
                ++held;
                maxHeld = std::max(maxHeld, held);
                changed.notify_all();
                changed.wait(lock, [&] { return stopping || releases > 0; });
                if (releases > 0) --releases;
                --held;
            }
            reply = responder;
            stayOpen = keepOpen;
            pause = trickle;
            closeAfter = closeEach;
        }
        std::string bytes = reply ? reply(request) : std::string(kDefaultReply);
        if (pause.count() > 0) {
            for (char byte : bytes) {
                if (!SendAll(client, ssl, std::string(1, byte))) return false;
                std::unique_lock<std::mutex> lock(mutex);
                if (changed.wait_for(lock, pause, [&] { return stopping; })) return false;
            }
        } else if (!SendAll(client, ssl, bytes)) {
            return false;
        }
        if (stayOpen) {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return stopping; });
            return false;
        }
        return !closeAfter && ReplyKeepsConnection(bytes);
    }
};

LoopbackServer::LoopbackServer(ServerCert cert) : impl_(new Impl) {
#ifndef _WIN32
    // The server's TLS writes go straight to the socket; a client that hung up must end that
    // connection, not the test process.
    ::signal(SIGPIPE, SIG_IGN);
#endif
    if (cert != ServerCert::None) {
        impl_->tls = SSL_CTX_new(TLS_server_method());
        TestPki::Instance().Use(cert, impl_->tls);
        tls_ = true;
    }
    impl_->listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (impl_->listener == kNoSocket ||
        ::bind(impl_->listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(impl_->listener, 64) != 0 ||
        ::getsockname(impl_->listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("loopback server cannot listen");
    port_ = ntohs(address.sin_port);
    impl_->acceptor = std::thread([this] { impl_->Accept(); });
}

LoopbackServer::~LoopbackServer() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
        impl_->stopFlag = true;
        // Unblocks handlers still reading a request the client never finished.
        for (Socket s : impl_->open) ::shutdown(s, kShutBoth);
    }
    impl_->changed.notify_all();
    // A connection of our own wakes the blocked accept.
    Socket waker = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    ::connect(waker, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    impl_->acceptor.join();
    CloseSocket(waker);
    std::vector<std::thread> handlers;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        handlers.swap(impl_->handlers);
    }
    for (auto& handler : handlers) handler.join();
    CloseSocket(impl_->listener);
    SSL_CTX_free(impl_->tls);
}

struct RefusingPort::Impl {
    WinsockUser winsock;
    Socket socket = kNoSocket;
};

RefusingPort::RefusingPort() : impl_(new Impl) {
    impl_->socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (impl_->socket == kNoSocket ||
        ::bind(impl_->socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(impl_->socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot reserve a loopback port");
    port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() {
    CloseSocket(impl_->socket);
}

std::string RefusingPort::Origin(bool tls) const {
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string LoopbackServer::Url(const std::string& path) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackServer::Reply(std::string bytes) {
    Reply(Responder([bytes](const std::string&) { return bytes; }));
}

void LoopbackServer::Reply(Responder responder) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->responder = std::move(responder);
    impl_->silent = false;
}

void LoopbackServer::NeverAnswer() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->silent = true;
}

void LoopbackServer::KeepOpenAfterReply(bool keepOpen) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->keepOpen = keepOpen;
}

void LoopbackServer::CloseAfterEachReply(bool close) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->closeEach = close;
}

void LoopbackServer::LimitToTls12() {
    if (impl_->tls != nullptr) SSL_CTX_set_max_proto_version(impl_->tls, TLS1_2_VERSION);
}

std::size_t LoopbackServer::ResumedSessions() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->resumed;
}

std::size_t LoopbackServer::Connections() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->connections;
}

bool LoopbackServer::WaitClosed(std::size_t count, std::chrono::milliseconds bound) const {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->changed.wait_for(lock, bound, [&] { return impl_->closed >= count; });
}

void LoopbackServer::TrickleReplies(std::chrono::milliseconds pause) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->trickle = pause;
}

void LoopbackServer::HoldReplies(bool hold) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->hold = hold;
}

void LoopbackServer::Release(std::size_t count) {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (!impl_->released) {
            impl_->released = true;
            impl_->requestsAtFirstRelease = impl_->requests.size();
        }
        impl_->releases += count;
    }
    impl_->changed.notify_all();
}

std::vector<std::string> LoopbackServer::Requests() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->requests;
}

bool LoopbackServer::WaitRequests(std::size_t count, std::chrono::milliseconds bound) const {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->changed.wait_for(lock, bound, [&] { return impl_->requests.size() >= count; });
}

bool LoopbackServer::WaitHeld(std::size_t count, std::chrono::milliseconds bound) const {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->changed.wait_for(lock, bound, [&] { return impl_->held >= count; });
}

std::size_t LoopbackServer::MaxHeld() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->maxHeld;
}

std::size_t LoopbackServer::RequestsAtFirstRelease() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->requestsAtFirstRelease;
}

}  // namespace vondtest
