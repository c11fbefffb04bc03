#include "support/DevServer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <stdexcept>

#include "http/Sion.h"
#include "platform/Platform.h"
#include "support/TestEnv.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace vondtest {
namespace {

const char kEndpointVariable[] = "VOND_DEVSERVER_ENDPOINT";

std::string UniqueSuffix() {
    std::random_device random;
    std::mt19937_64 mix((static_cast<uint64_t>(random()) << 32) ^ random() ^
                        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(mix()));
    return text;
}

// "key=value" lines of an endpoint file or a start line's fields.
std::string Field(const std::string& text, const std::string& key) {
    std::istringstream in(text);
    std::string token;
    while (in >> token) {
        if (token.rfind(key + "=", 0) == 0) return token.substr(key.size() + 1);
    }
    return std::string();
}

// Why an admin call failed, and, when the fixture's server has ended, how it ended: a
// server that died takes every later test with it, and its own last words say why.
std::string Failure(const HttpResult& result) {
    std::string text;
    if (result.status != 0) {
        text = "HTTP " + std::to_string(result.status) + ": " + result.body;
    } else {
        text = result.error.empty() ? "the connection closed without an answer" : result.error;
    }
    const std::string file = DevServer::EndpointFile();
    const size_t slash = file.find_last_of("/\\");
    if (result.status != 0 || slash == std::string::npos) return text;
    const std::string dir = file.substr(0, slash + 1);
    std::string status;
    if (!ReadFile(dir + "server.exit", status)) return text;
    while (!status.empty() && (status.back() == '\n' || status.back() == '\r')) status.pop_back();
    text += "\n(the fixture's vond-devserver has ended with status " + status + ")";
    std::string err;
    if (ReadFile(dir + "server.err", err) && !err.empty()) {
        const size_t keep = 4000;
        if (err.size() > keep) err = "..." + err.substr(err.size() - keep);
        text += "; its standard error:\n" + err;
    }
    return text;
}

}  // namespace

std::string DevServer::EndpointFile() {
    const char* value = std::getenv(kEndpointVariable);
    return value != nullptr ? value : std::string();
}

DevServer::DevServer(const std::string& baseAppId, bool pointSdk) {
    const std::string file = EndpointFile();
    if (file.empty())
        throw std::runtime_error(
            std::string(kEndpointVariable) +
            " is not set: run the test through ctest (its \"devserver\" fixture starts the "
            "server), or point it at the endpoint file of a running vond-devserver");
    std::string content;
    if (!ReadFile(file, content))
        throw std::runtime_error("cannot read the devserver endpoint file " + file +
                                 " (did the devserver_start fixture fail?)");
    origin_ = Field(content, "origin");
    caFile_ = Field(content, "ca");
    if (origin_.empty()) throw std::runtime_error("no origin in " + file);
    RegisterApp(baseAppId, pointSdk);
}

DevServer::DevServer(std::string origin, std::string caFile, const std::string& baseAppId, bool pointSdk)
    : origin_(std::move(origin)), caFile_(std::move(caFile)) {
    RegisterApp(baseAppId, pointSdk);
}

void DevServer::RegisterApp(const std::string& baseAppId, bool pointSdk) {
    // The SDK's client reads the CA file once, at its first https request, and the admin
    // calls below are https requests of that same client.
    if (!caFile_.empty()) SetEnv("VOND_SDK_CA_FILE", caFile_);
    if (pointSdk) SetEnv("VOND_SDK_ORIGIN", origin_);
    const std::string suffix = UniqueSuffix();
    const nlohmann::json app = {{"from", baseAppId}, {"appId", "t-" + suffix}, {"appKey", "key-" + suffix}};
    HttpResult result = Send("POST", "/__admin/apps", app.dump(), "application/json");
    if (result.status != 200)
        throw std::runtime_error("devserver at " + origin_ + " did not register a test app: " +
                                 Failure(result));
    const nlohmann::json registered = nlohmann::json::parse(result.body);
    appId_ = registered.at("appId").get<std::string>();
    appKey_ = registered.at("appKey").get<std::string>();
}

namespace {

// The emulator runs on the build host and reads the stand-in's state file there: a Windows
// test under Wine names the file as the host sees it.
std::string PathOnHost(const std::string& path) {
#ifdef _WIN32
    using UnixName = char*(__cdecl*)(const wchar_t*);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto unixName = kernel != nullptr
                        ? reinterpret_cast<UnixName>(reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")))
                        : nullptr;
    if (unixName == nullptr) return path;
    char* name = unixName(VondSdk::platform::Utf8ToWide(path).c_str());
    if (name == nullptr) return path;
    std::string host(name);
    HeapFree(GetProcessHeap(), 0, name);
    return host;
#else
    return path;
#endif
}

}  // namespace

void DevServer::UseEosState(const std::string& stateFile) const {
    const nlohmann::json app = {
        {"from", appId_}, {"appId", appId_}, {"appKey", appKey_}, {"eosStateFile", PathOnHost(stateFile)}};
    HttpResult result = Send("POST", "/__admin/apps", app.dump(), "application/json");
    if (result.status != 200) throw std::runtime_error("devserver refused the EOS state file: " + Failure(result));
}

HttpResult DevServer::Send(const std::string& method, const std::string& path, const std::string& body,
                           const std::string& contentType) const {
    HttpResult result;
    try {
        sion::Request request;
        sion::Header header;
        if (!contentType.empty()) header.Add("Content-Type", contentType);
        request.SetUrl(origin_ + path)
            .SetMethod(method == "GET" ? sion::Method::Get : sion::Method::Post)
            .SetHeader(header)
            .SetBody(body);
        sion::Response response = request.Send();
        result.status = std::atoi(response.StatusCode().c_str());
        result.body.assign(response.body.begin(), response.body.end());
    } catch (const std::exception& error) {
        result.status = 0;
        result.error = error.what();
    }
    return result;
}

nlohmann::json DevServer::AdminGet(const std::string& what) const {
    HttpResult result = Send("GET", "/__admin/" + what + "?appId=" + appId_);
    if (result.status != 200)
        throw std::runtime_error("devserver /__admin/" + what +
                                 " failed: " + Failure(result));
    return nlohmann::json::parse(result.body);
}

nlohmann::json DevServer::Requests() const {
    return AdminGet("requests");
}
nlohmann::json DevServer::Orders() const {
    return AdminGet("orders");
}
nlohmann::json DevServer::Events() const {
    return AdminGet("events");
}

int64_t DevServer::EventRepeats() const {
    const nlohmann::json answer = AdminGet("event-repeats");
    return answer.is_object() ? answer.value("repeats", int64_t(-1)) : -1;
}

void DevServer::AddFault(nlohmann::json fault) const {
    fault["appId"] = appId_;
    HttpResult result = Send("POST", "/__admin/faults", fault.dump(), "application/json");
    if (result.status != 200)
        throw std::runtime_error("devserver refused the fault: " + Failure(result));
}

void DevServer::Reset() const {
    HttpResult result = Send("POST", "/__admin/reset?appId=" + appId_);
    if (result.status != 200)
        throw std::runtime_error("devserver reset failed: " + Failure(result));
}

// ---- a server of the test's own ----------------------------------------------------------

#ifdef VOND_DEVSERVER_BINARY
bool DevServerProcess::Supported() {
    return true;
}
#else
bool DevServerProcess::Supported() {
    return false;
}
#endif

DevServerProcess::DevServerProcess(const std::string& stateDir) : dir_(stateDir) {
#ifdef VOND_DEVSERVER_BINARY
    // The shell's parent is this test process: --watch-pid ends the server with it, so a
    // test killed by its time-out leaves no server behind.
    const std::string command = "mkdir -p '" + dir_ + "'; rm -f '" + dir_ + "/out'; setsid '" +
                                VOND_DEVSERVER_BINARY + "' --port 0 --state-dir '" + dir_ +
                                "/state' --config '" + VOND_DEVSERVER_CONFIG +
                                "' --watch-pid $PPID </dev/null >'" + dir_ + "/out' 2>'" + dir_ +
                                "/err' & echo $! >'" + dir_ + "/pid'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot start " VOND_DEVSERVER_BINARY);
    std::string line;
    const bool up = WaitUntil([&] {
        std::string out;
        if (!ReadFile(dir_ + "/out", out) || out.find('\n') == std::string::npos) return false;
        line = out.substr(0, out.find('\n'));
        return true;
    });
    ReadFile(dir_ + "/pid", pid_);
    while (!pid_.empty() && (pid_.back() == '\n' || pid_.back() == ' ')) pid_.pop_back();
    origin_ = Field(line, "origin");
    caFile_ = Field(line, "ca");
    if (!up || origin_.empty()) {
        std::string err;
        ReadFile(dir_ + "/err", err);
        Kill();
        throw std::runtime_error("vond-devserver did not start: " + err);
    }
#else
    throw std::runtime_error("this build cannot start the devserver binary");
#endif
}

DevServerProcess::~DevServerProcess() {
    if (pid_.empty()) return;
    std::system(("kill -TERM " + pid_ + " 2>/dev/null").c_str());
    if (!WaitUntil([&] { return std::system(("kill -0 " + pid_ + " 2>/dev/null").c_str()) != 0; },
                   std::chrono::seconds(10)))
        Kill();
}

void DevServerProcess::Kill() {
    if (pid_.empty()) return;
    std::system(("kill -KILL " + pid_ + " 2>/dev/null").c_str());
    WaitUntil([&] { return std::system(("kill -0 " + pid_ + " 2>/dev/null").c_str()) != 0; });
    pid_.clear();
}

}  // namespace vondtest
