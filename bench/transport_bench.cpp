// Transport benchmark: sion::Request against libcurl with a fresh easy handle per request,
// one POST per connection, on loopback, over http and over https with certificate and
// host verification. Both clients talk to the same in-process server in the same run.
//
// Usage: vond_transport_bench [--quick]. Prints the figures, the ratios and whether the SDK
// client met its target; exits non-zero only when a request failed.
#include <curl/curl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
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

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---- the loopback server: a few threads blocking in accept, one exchange per connection ----

class LoopbackServer {
public:
    LoopbackServer(SSL_CTX* tls) : tls_(tls) {
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
        for (int i = 0; i < kServerThreads; ++i) threads_.emplace_back([this] { Serve(); });
    }
    ~LoopbackServer() {
        stopping_ = true;
        shutdown(listener_, SHUT_RDWR);
        for (std::thread& t : threads_) t.join();
        close(listener_);
    }
    int Port() const { return port_; }

private:
    void Serve() {
        while (!stopping_) {
            int connection = accept(listener_, nullptr, nullptr);
            if (connection < 0) {
                if (stopping_) return;
                continue;
            }
            if (tls_) {
                SSL* ssl = SSL_new(tls_);
                SSL_set_fd(ssl, connection);
                if (SSL_accept(ssl) == 1) {
                    Exchange([ssl](char* b, int n) { return SSL_read(ssl, b, n); },
                             [ssl](const char* b, int n) { return SSL_write(ssl, b, n); });
                    SSL_shutdown(ssl);
                }
                SSL_free(ssl);
            } else {
                Exchange(
                    [connection](char* b, int n) { return int(recv(connection, b, n, 0)); },
                    [connection](const char* b, int n) { return int(send(connection, b, n, MSG_NOSIGNAL)); });
            }
            close(connection);
        }
    }

    // Reads one request (head and Content-Length body) and answers with a backend envelope.
    static void Exchange(const std::function<int(char*, int)>& read,
                         const std::function<int(const char*, int)>& write) {
        std::string request;
        char buffer[4096];
        size_t headEnd = std::string::npos;
        size_t wanted = 0;
        while (true) {
            int n = read(buffer, sizeof buffer);
            if (n <= 0) return;
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
                             std::to_string(sizeof kAnswer - 1) + "\r\nConnection: close\r\n\r\n" + kAnswer;
        write(answer.data(), int(answer.size()));
    }

    SSL_CTX* tls_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> threads_;
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
    std::printf("  %-22s latency mean %7.3f ms  p50 %7.3f ms  p99 %7.3f ms   %d workers %8.0f req/s\n",
                client, r.meanMs, r.p50Ms, r.p99Ms, kWorkers, r.perSecond);
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
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
        // curl is given the same trust as the SDK client: the system roots plus the test CA.
        const std::string bundleFile = dir + "/bundle.pem";
        WriteText(bundleFile, ReadText("/etc/ssl/certs/ca-certificates.crt") + Pem(ca.get()));
        // Read by the SDK client when it builds its TLS context on the first https request.
        setenv("VOND_SDK_CA_FILE", caFile.c_str(), 1);

        std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> serverTls(SSL_CTX_new(TLS_server_method()),
                                                                    &SSL_CTX_free);
        Check(SSL_CTX_use_certificate(serverTls.get(), leaf.get()) == 1 &&
                  SSL_CTX_use_PrivateKey(serverTls.get(), serverKey.get()) == 1,
              "server certificate");
        // Neither client may resume a session: every request pays a full handshake.
        SSL_CTX_set_options(serverTls.get(), SSL_OP_NO_TICKET);
        SSL_CTX_set_session_cache_mode(serverTls.get(), SSL_SESS_CACHE_OFF);

        curl_global_init(CURL_GLOBAL_DEFAULT);
        LoopbackServer plain(nullptr);
        LoopbackServer secure(serverTls.get());

        struct Scheme {
            const char* name;
            std::string url;
            int sequential;
            int concurrent;
        };
        const Scheme schemes[] = {
            {"http", "http://127.0.0.1:" + std::to_string(plain.Port()) + "/sdkapi/v9/pay/create_order.do",
             quick ? 200 : 3000, quick ? 600 : 12000},
            {"https", "https://127.0.0.1:" + std::to_string(secure.Port()) + "/sdkapi/v9/pay/create_order.do",
             quick ? 50 : 500, quick ? 150 : 3000},
        };
        bool behind = false;
        for (const Scheme& scheme : schemes) {
            std::printf("%s (%d sequential requests, %d with %d workers)\n", scheme.name, scheme.sequential,
                        scheme.concurrent, kWorkers);
            Result sion = Measure(&SionPost, scheme.url, scheme.sequential, scheme.concurrent);
            Print("sion", sion);
            Result curl = Measure(CurlPost(bundleFile), scheme.url, scheme.sequential, scheme.concurrent);
            Print("libcurl (fresh handle)", curl);
            Result curlCaOnly = Measure(CurlPost(caFile), scheme.url, scheme.sequential, scheme.concurrent);
            Print("libcurl (test CA only)", curlCaOnly);
            // The median: on a busy two-core machine a few stalls move the mean more than
            // either client does.
            double latencyRatio = sion.p50Ms / curl.p50Ms;
            double throughputRatio = sion.perSecond / curl.perSecond;
            std::printf(
                "  ratio sion/libcurl: median latency %.2f (below 1 is faster), throughput %.2f "
                "(above 1 is faster)\n\n",
                latencyRatio, throughputRatio);
            behind = behind || latencyRatio > 1.0 || throughputRatio < 1.0;
        }
        curl_global_cleanup();
        std::printf("target (sion at least as fast as libcurl with a fresh handle): %s\n",
                    behind ? "MISSED" : "met");
        std::remove((dir + "/ca.pem").c_str());
        std::remove((dir + "/bundle.pem").c_str());
        rmdir(dir.c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        return 2;
    }
}
