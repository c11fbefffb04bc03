// Transport benchmark: sion::Request against libcurl, on loopback, over http and over https with
// certificate and host verification, all clients in the same run against the same servers:
//   - the benchmark's own server closing every connection (every request pays a new connection,
//     and over TLS a handshake; it offers session tickets as common servers do);
//   - the same server keeping connections open (HTTP/1.1 persistent connections);
//   - nginx on loopback, when installed (started by the benchmark with a configuration of its own).
// libcurl runs twice: with a fresh easy handle per request (nothing kept between calls) and
// with one handle per thread, reused as libcurl is meant to be used.
//
// Usage: vond_transport_bench [--quick]. Prints the figures, the ratios and whether the SDK
// client met its targets; exits non-zero only when a request failed.
#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "http/Sion.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWorkers = 6;
constexpr int kServerThreads = 8;
const char kAnswer[] = "{\"code\":200,\"msg\":\"ok\",\"data\":{\"orderId\":\"bench-1\"}}";
// About the size of a signed create-order form.
const std::string kBody =
    "appId=1001&os=Windows&sdkVer=EpicEXE_1.0.0&sdkType=html5&clientId="
    "0f1e2d3c4b5a69788796a5b4c3d2e1f0&runPlatform=html5&gamePlatform=epic&appKey=k3y"
    "&channel=EPIC&productId=gold_100&orderAmountMicros=0&currencyCode=&extInfo=ext"
    "&collectionInfo=%7B%22deviceId%22%3A%22d%22%2C%22resolution%22%3A%221920*1080%22%7D"
    "&userId=123456&serverId=s1&gameUserId=g42&nickName=Ann"
    "&osign=0123456789abcdef0123456789abcdef";

void Check(bool condition, const char* what) {
    if (!condition) {
        ERR_print_errors_fp(stderr);
        throw std::runtime_error(what);
    }
}

// ---- certificates: a CA and a server certificate for 127.0.0.1, made for this run ----

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

KeyPtr NewKey() {
    return KeyPtr(EVP_EC_gen("P-256"), &EVP_PKEY_free);
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    Check(ext != nullptr && X509_add_ext(cert, ext, -1) == 1, "certificate extension");
    X509_EXTENSION_free(ext);
}

CertPtr MakeCert(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, bool ca,
                 long serial) {
    CertPtr cert(X509_new(), &X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName),
                               -1, -1, 0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    if (ca) {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
        AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        AddExtension(cert.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    }
    Check(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0, "sign");
    return cert;
}

std::string Pem(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    std::string pem(data, size);
    BIO_free(bio);
    return pem;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    Check(static_cast<bool>(out), "write file");
}

// ---- the loopback server: threads blocking in accept, one connection at a time each ----

class LoopbackServer {
public:
    // keepAlive false: each connection carries one exchange, answered with "Connection: close".
    // keepAlive true: a connection carries exchanges until the client closes it; each accepted
    // connection gets a thread of its own so that idle kept connections hold no acceptor.
    LoopbackServer(SSL_CTX* tls, bool keepAlive) : tls_(tls), keepAlive_(keepAlive) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        int yes = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Check(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                  listen(listener_, 256) == 0,
              "listen");
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        for (int i = 0; i < (keepAlive ? 1 : kServerThreads); ++i) threads_.emplace_back([this] { Accept(); });
    }
    ~LoopbackServer() {
        stopping_ = true;
        shutdown(listener_, SHUT_RDWR);
        for (std::thread& t : threads_) t.join();
        std::unique_lock<std::mutex> lock(mutex_);
        for (int fd : open_) shutdown(fd, SHUT_RDWR);
        ended_.wait(lock, [&] { return open_.empty(); });
        lock.unlock();
        close(listener_);
    }
    int Port() const { return port_; }

private:
    void Accept() {
        while (!stopping_) {
            int connection = accept(listener_, nullptr, nullptr);
            if (connection < 0) {
                if (stopping_) return;
                continue;
            }
            if (!keepAlive_) {
                Serve(connection);
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            open_.push_back(connection);
            std::thread([this, connection] {
                Serve(connection);
                std::lock_guard<std::mutex> lock(mutex_);
                open_.erase(std::find(open_.begin(), open_.end(), connection));
                ended_.notify_all();
            }).detach();
        }
    }

    void Serve(int connection) {
        // As servers do for request-and-answer traffic (nginx's tcp_nodelay): no answer waits
        // for the client's delayed acknowledgement.
        int on = 1;
        setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (tls_) {
            SSL* ssl = SSL_new(tls_);
            SSL_set_fd(ssl, connection);
            if (SSL_accept(ssl) == 1) {
                while (Exchange([ssl](char* b, int n) { return SSL_read(ssl, b, n); },
                                [ssl](const char* b, int n) { return SSL_write(ssl, b, n); }) &&
                       keepAlive_) {
                }
                SSL_shutdown(ssl);
            }
            SSL_free(ssl);
        } else {
            while (Exchange([connection](char* b, int n) { return int(recv(connection, b, n, 0)); },
                            [connection](const char* b, int n) {
                                return int(send(connection, b, n, MSG_NOSIGNAL));
                            }) &&
                   keepAlive_) {
            }
        }
        close(connection);
    }

    // Reads one request (head and Content-Length body) and answers with a backend envelope.
    // False when the client closed (or failed) before a whole request came.
    bool Exchange(const std::function<int(char*, int)>& read, const std::function<int(const char*, int)>& write) {
        std::string request;
        char buffer[4096];
        size_t headEnd = std::string::npos;
        size_t wanted = 0;
        while (true) {
            int n = read(buffer, sizeof buffer);
            if (n <= 0) return false;
            request.append(buffer, n);
            if (headEnd == std::string::npos) {
                headEnd = request.find("\r\n\r\n");
                if (headEnd == std::string::npos) continue;
                headEnd += 4;
                std::string head = request.substr(0, headEnd);
                std::transform(head.begin(), head.end(), head.begin(), ::tolower);
                size_t at = head.find("content-length:");
                wanted = at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 15, nullptr, 10);
            }
            if (request.size() >= headEnd + wanted) break;
        }
        std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                             std::to_string(sizeof kAnswer - 1) + "\r\n" +
                             (keepAlive_ ? "" : "Connection: close\r\n") + "\r\n" + kAnswer;
        return write(answer.data(), int(answer.size())) == int(answer.size());
    }

    SSL_CTX* tls_;
    const bool keepAlive_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable ended_;
    std::vector<int> open_;
};

// ---- nginx on loopback, started with a configuration of its own ----

class Nginx {
public:
    // Starts nginx serving the answer over http and https (the given certificate and key files);
    // Running() is false when nginx is not installed or did not start.
    Nginx(const std::string& dir, const std::string& certFile, const std::string& keyFile) : dir_(dir) {
        const char* candidates[] = {"/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/local/nginx/sbin/nginx"};
        std::string binary;
        for (const char* c : candidates) {
            if (access(c, X_OK) == 0) binary = c;
        }
        if (binary.empty()) return;
        plainPort_ = FreePort();
        tlsPort_ = FreePort();
        std::string escaped;
        for (char c : std::string(kAnswer)) {
            if (c == '"' || c == '\\') escaped += '\\';
            escaped += c;
        }
        WriteText(dir + "/nginx.conf",
                  "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + dir + "/nginx.pid;\n"
                  "error_log " + dir + "/error.log crit;\nevents { worker_connections 1024; }\n"
                  "http {\n access_log off;\n client_body_temp_path " + dir + "/body;\n"
                  " proxy_temp_path " + dir + "/proxy;\n fastcgi_temp_path " + dir + "/fcgi;\n"
                  " uwsgi_temp_path " + dir + "/uwsgi;\n scgi_temp_path " + dir + "/scgi;\n"
                  " keepalive_requests 1000000;\n"
                  " server {\n  listen 127.0.0.1:" + std::to_string(plainPort_) + ";\n"
                  "  listen 127.0.0.1:" + std::to_string(tlsPort_) + " ssl;\n"
                  "  ssl_certificate " + certFile + ";\n  ssl_certificate_key " + keyFile + ";\n"
                  "  location / { default_type application/json; return 200 \"" + escaped + "\"; }\n"
                  " }\n}\n");
        pid_ = fork();
        if (pid_ == 0) {
            execl(binary.c_str(), binary.c_str(), "-p", dir.c_str(), "-c", (dir + "/nginx.conf").c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        // Ready once both ports accept.
        for (int i = 0; i < 200 && pid_ > 0; ++i) {
            if (Accepts(plainPort_) && Accepts(tlsPort_)) {
                running_ = true;
                return;
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            usleep(20000);
        }
    }
    ~Nginx() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }
    bool Running() const { return running_; }
    int PlainPort() const { return plainPort_; }
    int TlsPort() const { return tlsPort_; }

private:
    static int FreePort() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        close(fd);
        return ntohs(address.sin_port);
    }
    static bool Accepts(int port) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return ok;
    }

    std::string dir_;
    pid_t pid_ = -1;
    bool running_ = false;
    int plainPort_ = 0;
    int tlsPort_ = 0;
};

// ---- the clients ----

using PostFn = std::function<void(const std::string& url)>;

void SionPost(const std::string& url) {
    sion::Header header;
    header.Add("content-type", "application/x-www-form-urlencoded");
    sion::Request request;
    request.SetUrl(url).SetBody(kBody).SetHeader(header).SetMethod(sion::Method::Post);
    sion::Response response = request.Send(url);
    if (response.StatusCode() != "200" || response.BodyText() != kAnswer) {
        throw std::runtime_error("sion: unexpected answer " + response.StatusCode());
    }
}

size_t CollectBody(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// A fresh handle per request, as a client that keeps nothing between calls would use it.
PostFn CurlPost(std::string caBundle) {
    return [caBundle](const std::string& url) {
        std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
        curl_slist* headers = curl_slist_append(nullptr, "content-type: application/x-www-form-urlencoded");
        std::string answer;
        curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, kBody.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, long(kBody.size()));
        curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl.get(), CURLOPT_CAINFO, caBundle.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(curl.get(), CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &CollectBody);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &answer);
        CURLcode result = curl_easy_perform(curl.get());
        long status = 0;
        curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
        curl_slist_free_all(headers);
        if (result != CURLE_OK || status != 200 || answer != kAnswer) {
            throw std::runtime_error(std::string("curl: ") + curl_easy_strerror(result));
        }
    };
}

// One handle per thread, kept for the thread's life: libcurl keeps the connection (and the TLS
// session) open between requests to the same server.
PostFn CurlReusePost(std::string caBundle) {
    return [caBundle](const std::string& url) {
        struct Handle {
            CURL* curl = curl_easy_init();
            curl_slist* headers = curl_slist_append(nullptr, "content-type: application/x-www-form-urlencoded");
            ~Handle() {
                curl_slist_free_all(headers);
                curl_easy_cleanup(curl);
            }
        };
        thread_local Handle handle;
        CURL* curl = handle.curl;
        std::string answer;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kBody.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(kBody.size()));
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, handle.headers);
        curl_easy_setopt(curl, CURLOPT_CAINFO, caBundle.c_str());
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CollectBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
        CURLcode result = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (result != CURLE_OK || status != 200 || answer != kAnswer) {
            throw std::runtime_error(std::string("curl (reused): ") + curl_easy_strerror(result));
        }
    };
}

// ---- measurement ----

struct Result {
    double meanMs = 0, p50Ms = 0, p99Ms = 0, perSecond = 0;
};

Result Measure(const PostFn& post, const std::string& url, int sequential, int concurrent) {
    for (int i = 0; i < 10; ++i) post(url);

    std::vector<double> samples;
    samples.reserve(sequential);
    for (int i = 0; i < sequential; ++i) {
        auto start = Clock::now();
        post(url);
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    Result result;
    for (double s : samples) result.meanMs += s;
    result.meanMs /= samples.size();
    result.p50Ms = samples[samples.size() / 2];
    result.p99Ms = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];

    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> workers;
    auto start = Clock::now();
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&] {
            try {
                while (next.fetch_add(1) < concurrent) post(url);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "%s\n", e.what());
                failed = true;
            }
        });
    }
    for (std::thread& t : workers) t.join();
    if (failed) throw std::runtime_error("a concurrent request failed");
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.perSecond = concurrent / seconds;
    return result;
}

void Print(const char* client, const Result& r) {
    std::fflush(stdout);
    std::printf("  %-22s latency mean %7.3f ms  p50 %7.3f ms  p99 %7.3f ms   %d workers %8.0f req/s\n",
                client, r.meanMs, r.p50Ms, r.p99Ms, kWorkers, r.perSecond);
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    // A server writing to a connection its client has just closed must not end the run.
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        char dirTemplate[] = "/tmp/vond-bench-XXXXXX";
        Check(mkdtemp(dirTemplate) != nullptr, "temp dir");
        const std::string dir = dirTemplate;

        KeyPtr caKey = NewKey();
        KeyPtr serverKey = NewKey();
        CertPtr ca = MakeCert(caKey.get(), "vond bench CA", nullptr, nullptr, true, 1);
        CertPtr leaf = MakeCert(serverKey.get(), "127.0.0.1", ca.get(), caKey.get(), false, 2);
        const std::string caFile = dir + "/ca.pem";
        WriteText(caFile, Pem(ca.get()));
        // Read by the SDK client when it builds its TLS context on the first https request.
        setenv("VOND_SDK_CA_FILE", caFile.c_str(), 1);

        const std::string keyFile = dir + "/key.pem";
        {
            BIO* bio = BIO_new_file(keyFile.c_str(), "w");
            Check(bio != nullptr && PEM_write_bio_PrivateKey(bio, serverKey.get(), nullptr, nullptr, 0, nullptr,
                                                             nullptr) == 1,
                  "key file");
            BIO_free(bio);
        }
        const std::string certFile = dir + "/cert.pem";
        WriteText(certFile, Pem(leaf.get()));

        std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> serverTls(SSL_CTX_new(TLS_server_method()),
                                                                    &SSL_CTX_free);
        Check(SSL_CTX_use_certificate(serverTls.get(), leaf.get()) == 1 &&
                  SSL_CTX_use_PrivateKey(serverTls.get(), serverKey.get()) == 1,
              "server certificate");
        // Session tickets are offered, as common servers do: a client that keeps its session
        // may resume it on its next connection; one that keeps nothing pays a full handshake.

        curl_global_init(CURL_GLOBAL_DEFAULT);
        LoopbackServer plainClose(nullptr, false);
        LoopbackServer secureClose(serverTls.get(), false);
        LoopbackServer plainKeep(nullptr, true);
        LoopbackServer secureKeep(serverTls.get(), true);
        Nginx nginx(dir, certFile, keyFile);

        const std::string path = "/sdkapi/v9/pay/create_order.do";
        auto origin = [](const char* scheme, int port) {
            return std::string(scheme) + "://127.0.0.1:" + std::to_string(port);
        };
        struct Target {
            std::string name;
            bool tls;
            bool everyConnectionNew;
            std::string url;
        };
        std::vector<Target> targets = {
            {"bench server, closes every connection, http", false, true, origin("http", plainClose.Port()) + path},
            {"bench server, closes every connection, https", true, true, origin("https", secureClose.Port()) + path},
            {"bench server, keeps connections, http", false, false, origin("http", plainKeep.Port()) + path},
            {"bench server, keeps connections, https", true, false, origin("https", secureKeep.Port()) + path},
        };
        if (nginx.Running()) {
            targets.push_back({"nginx, http", false, false, origin("http", nginx.PlainPort()) + path});
            targets.push_back({"nginx, https", true, false, origin("https", nginx.TlsPort()) + path});
        } else {
            std::printf("nginx not installed or did not start: its rows are left out\n\n");
        }

        bool behind = false;
        for (const Target& target : targets) {
            // A fresh TLS handshake costs about 50 times a kept-connection exchange: fewer requests.
            const bool slow = target.tls && target.everyConnectionNew;
            const int sequential = slow ? (quick ? 50 : 300) : (quick ? 200 : 1000);
            const int concurrent = slow ? (quick ? 150 : 1500) : (quick ? 600 : 4000);
            std::printf("%s (%d sequential requests, %d with %d workers)\n", target.name.c_str(), sequential,
                        concurrent, kWorkers);
            Result sion = Measure(&SionPost, target.url, sequential, concurrent);
            Print("sion", sion);
            // libcurl is given the test CA alone: OpenSSL 3.0 takes about 50 ms to read the
            // system's bundle, which a fresh handle would pay on every request.
            Result fresh = Measure(CurlPost(caFile), target.url, sequential, concurrent);
            Print("libcurl (fresh handle)", fresh);
            Result reused = Measure(CurlReusePost(caFile), target.url, sequential, concurrent);
            Print("libcurl (reused handle)", reused);
            // The median: on a busy two-core machine a few stalls move the mean more than
            // either client does.
            std::printf("  sion/fresh: p50 %.2f (below 1 is faster), throughput %.2f (above 1 is faster)\n",
                        sion.p50Ms / fresh.p50Ms, sion.perSecond / fresh.perSecond);
            std::printf("  sion/reused: p50 %.2f, throughput %.2f\n\n", sion.p50Ms / reused.p50Ms,
                        sion.perSecond / reused.perSecond);
            if (target.everyConnectionNew) {
                behind = behind || sion.p50Ms > fresh.p50Ms || sion.perSecond < fresh.perSecond;
            } else if (target.tls) {
                behind = behind || sion.p50Ms > 2 * reused.p50Ms || sion.perSecond < 0.5 * reused.perSecond;
            }
        }
        curl_global_cleanup();
        std::printf(
            "targets (every connection new: sion at least as fast as libcurl with a fresh handle; kept "
            "connections over https: sion p50 at most 2x and throughput at least 0.5x libcurl reusing its "
            "handle): %s\n",
            behind ? "MISSED" : "met");
        for (const char* name : {"/ca.pem", "/key.pem", "/cert.pem", "/nginx.conf", "/error.log"})
            std::remove((dir + name).c_str());
        for (const char* name : {"/body", "/proxy", "/fcgi", "/uwsgi", "/scgi"}) rmdir((dir + name).c_str());
        rmdir(dir.c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        return 2;
    }
}
