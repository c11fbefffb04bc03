// A test's handle on the backend emulator (tools/devserver), for end-to-end tests.
//
// The server itself is started once per ctest run by the CTest fixture "devserver" (on the
// build host, also for the Windows legs whose tests run under Wine) and stopped by its
// cleanup, also when tests fail or time out. Tests find it through the endpoint file named
// by VOND_DEVSERVER_ENDPOINT ("origin=..." and "ca=..." lines).
//
// Tests run in parallel in processes of their own and share that one server, so each
// DevServer registers an app of its own (a fresh app id and app key, copied from a
// configured app) and every read and fault below is scoped to that app id: a test sees only
// its own requests, orders, events and faults.
//
//   vondtest::DevServer server;                 // points the SDK at the server
//   CVondCore::Instance().InitGlobalParams(server.AppId(), server.AppKey());
//   ... drive the SDK ...
//   server.Requests();                          // what the server received from this test
//   server.AddFault({{"path", "/sdkapi/v9/pay/products.do"}, {"kind", "envelope"},
//                    {"code", 1001}, {"msg", "No products"}});
//
// Threads: the members may be called from any thread; each admin call is one blocking
// HTTPS exchange on the calling thread (never from a callback that the SDK must finish).
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace vondtest {

// One exchange with the server, as the test saw it. status is 0 when the exchange failed;
// error then holds the client's text.
struct HttpResult {
    int status = 0;
    std::string body;
    std::string error;
};

class DevServer {
public:
    // Registers a fresh app copied from baseAppId (an app of tools/devserver/sample-config.json)
    // and, when pointSdk is true, sets VOND_SDK_ORIGIN and VOND_SDK_CA_FILE for this process
    // (the SDK reads them once, so construct before the SDK's first request). Throws
    // std::runtime_error with the reason when no server is reachable.
    explicit DevServer(const std::string& baseAppId = "1001", bool pointSdk = true);
    // Connects to a server given by origin and CA file instead of the fixture's.
    DevServer(std::string origin, std::string caFile, const std::string& baseAppId, bool pointSdk);
    DevServer(const DevServer&) = delete;
    DevServer& operator=(const DevServer&) = delete;

    const std::string& Origin() const { return origin_; }
    const std::string& CaFile() const { return caFile_; }
    const std::string& AppId() const { return appId_; }
    const std::string& AppKey() const { return appKey_; }

    // GET /__admin/requests, /orders, /events for this app, oldest first (JSON arrays).
    nlohmann::json Requests() const;
    nlohmann::json Orders() const;
    nlohmann::json Events() const;
    // GET /__admin/event-repeats: events this app sent again under a number already recorded.
    int64_t EventRepeats() const;
    // POST /__admin/faults with this app's id added; see tools/devserver/README.md for the
    // members. Throws std::runtime_error when the server refuses it.
    void AddFault(nlohmann::json fault) const;
    // Makes the server check this app's paid reports against the EOS stand-in's state file,
    // as --eos-state does for every app. Throws std::runtime_error when refused.
    void UseEosState(const std::string& stateFile) const;
    // Forgets this app's requests, faults, orders, events and attribution.
    void Reset() const;

    // A raw exchange with the server: method "GET" or "POST", path with query, body sent
    // with contentType (none when empty). Never throws.
    HttpResult Send(const std::string& method, const std::string& path,
                    const std::string& body = std::string(),
                    const std::string& contentType = std::string()) const;

    // The endpoint file's path from VOND_DEVSERVER_ENDPOINT, or empty.
    static std::string EndpointFile();

private:
    nlohmann::json AdminGet(const std::string& what) const;
    void RegisterApp(const std::string& baseAppId, bool pointSdk);

    std::string origin_;
    std::string caFile_;
    std::string appId_;
    std::string appKey_;
};

// A server process of a test's own, for what the shared one cannot show (restarts, a kill,
// a second server on the same state). Only where the test can start the Linux binary: the
// Linux legs. Stopped by the destructor; it also ends by itself when the test process does.
class DevServerProcess {
public:
    // True when this build can start the server binary (VOND_DEVSERVER_BINARY is known).
    static bool Supported();
    // Starts the binary on a free port with stateDir and the sample configuration, and waits
    // for its start line. Throws std::runtime_error when it does not come up.
    explicit DevServerProcess(const std::string& stateDir);
    ~DevServerProcess();
    DevServerProcess(const DevServerProcess&) = delete;
    DevServerProcess& operator=(const DevServerProcess&) = delete;

    const std::string& Origin() const { return origin_; }
    const std::string& CaFile() const { return caFile_; }
    // Ends the server at once (SIGKILL), as a crash would; returns after it is gone.
    void Kill();

private:
    std::string dir_;
    std::string pid_;
    std::string origin_;
    std::string caFile_;
};

}  // namespace vondtest
