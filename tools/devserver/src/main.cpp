// vond-devserver: the publisher's backend played on loopback for the SDK, its tests and
// developers' desks. See tools/devserver/README.md.
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "Backend.h"
#include "Certificates.h"
#include "Config.h"
#include "Store.h"

namespace {

const char kUsage[] =
    "usage: vond-devserver [--port N] [--state-dir DIR] [--config FILE] [--insecure-http]\n"
    "                      [--watch-pid PID] [--max-body BYTES] [--eos-state FILE]\n";

struct Options {
    int port = 18443;
    std::string stateDir = "devserver-state";
    std::string configFile;
    bool insecureHttp = false;
    long watchPid = 0;
    size_t maxBody = 1024 * 1024;
    std::string eosStateFile;
};

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&](std::string& value) {
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };
        std::string value;
        try {
            if (arg == "--port" && next(value)) {
                options.port = std::stoi(value);
                if (options.port < 0 || options.port > 65535) return false;
            } else if (arg == "--state-dir" && next(value)) {
                options.stateDir = value;
            } else if (arg == "--config" && next(value)) {
                options.configFile = value;
            } else if (arg == "--insecure-http") {
                options.insecureHttp = true;
            } else if (arg == "--watch-pid" && next(value)) {
                options.watchPid = std::stol(value);
            } else if (arg == "--eos-state" && next(value)) {
                options.eosStateFile = value;
            } else if (arg == "--max-body" && next(value)) {
                options.maxBody = std::stoul(value);
            } else {
                return false;
            }
        } catch (const std::exception&) {
            return false;
        }
    }
    return true;
}

bool MakeDirs(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

std::string Absolute(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string out = resolved;
    std::free(resolved);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // Signals are taken by one thread with sigwait; every other thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that goes away mid-answer must not end the server.
    signal(SIGPIPE, SIG_IGN);

    try {
        if (!MakeDirs(options.stateDir)) throw std::runtime_error("cannot create " + options.stateDir);
        const std::string stateDir = Absolute(options.stateDir);
        devserver::Config config;
        if (!options.configFile.empty()) config = devserver::LoadConfig(options.configFile);
        config.eosStateFile = options.eosStateFile.empty() ? std::string() : Absolute(options.eosStateFile);
        const devserver::TlsFiles tls = devserver::EnsureTlsFiles(stateDir);
        devserver::Store store(stateDir + "/devserver.sqlite3");
        devserver::Backend backend(std::move(config), store);

        std::unique_ptr<httplib::Server> server;
        if (options.insecureHttp) {
            server = std::make_unique<httplib::Server>();
        } else {
            auto secure = std::make_unique<httplib::SSLServer>(tls.certFile.c_str(), tls.keyFile.c_str());
            if (!secure->is_valid()) throw std::runtime_error("TLS set-up failed with " + tls.certFile);
            server = std::move(secure);
        }
        // Delayed answers and kept-alive connections hold a worker each; keep enough for
        // parallel tests whose SDKs keep a connection per worker.
        server->new_task_queue = [] { return new httplib::ThreadPool(128); };
        server->set_payload_max_length(options.maxBody);
        server->set_read_timeout(10, 0);
        server->set_write_timeout(10, 0);
        server->set_keep_alive_max_count(100);
        // Longer than the SDK keeps an idle connection (30 s), as a real backend's is: the client
        // always gives a connection up first, so no request is ever written into a connection
        // the server is closing at that moment. A stop does not wait for idle connections.
        server->set_keep_alive_timeout(35);
        // An answer goes out as a header write and a body write: with Nagle's algorithm the body
        // waits for the client's delayed acknowledgement of the header (up to 40 ms), which a
        // real backend (nginx's tcp_nodelay) never adds to every request on a kept connection.
        server->set_tcp_nodelay(true);
        backend.Install(*server);

        const int port = options.port == 0
                             ? server->bind_to_any_port("127.0.0.1")
                             : (server->bind_to_port("127.0.0.1", options.port) ? options.port : -1);
        if (port <= 0) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(options.port));

        std::thread([&server, &backend, &stopSignals] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            backend.Stop();
            server->stop();
            // The server's workers would wait out their idle kept-alive connections.
            std::fflush(stdout);
            std::_Exit(0);
        }).detach();
        if (options.watchPid > 0) {
            const pid_t watched = static_cast<pid_t>(options.watchPid);
            std::thread([watched] {
                while (::kill(watched, 0) == 0 || errno != ESRCH)
                    std::this_thread::sleep_for(std::chrono::milliseconds(500));
                ::kill(::getpid(), SIGTERM);
            }).detach();
        }

        std::printf("vond-devserver listening origin=%s://127.0.0.1:%d ca=%s\n",
                    options.insecureHttp ? "http" : "https", port, tls.caFile.c_str());
        std::fflush(stdout);
        server->listen_after_bind();
        std::fflush(stdout);
        // The detached threads still refer to the server: leave without unwinding it.
        std::_Exit(0);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vond-devserver: %s\n", error.what());
        return 1;
    }
}
