// The backend's request path, shared by every endpoint: the routes, the faults a test asked
// for, the form checks of a signed request (its app, its parameters, its signature), the
// request log, and the hand-over to the endpoint (ConfigEndpoints, AccountEndpoints,
// OrderEndpoints, TrackEndpoints, AdminEndpoints).
#include "Backend.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "Endpoints.h"

namespace devserver {
namespace {

using nlohmann::json;

const char kFormType[] = "application/x-www-form-urlencoded";

// The request log keeps this many entries and this much of each body.
constexpr size_t kMaxLogEntries = 20000;
constexpr size_t kMaxLoggedBody = 64 * 1024;

// The text of a body that may be binary garbage, for the JSON log.
std::string Printable(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes)
        out += (c < 0x20 && c != '\n' && c != '\r' && c != '\t') || c >= 0x7f ? '?' : static_cast<char>(c);
    return out;
}

bool IsValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        if (c >= 0x80) {
            if ((c >> 5) == 0x6) {
                extra = 1;
            } else if ((c >> 4) == 0xe) {
                extra = 2;
            } else if ((c >> 3) == 0x1e) {
                extra = 3;
            } else {
                return false;
            }
        }
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) >> 6) != 0x2) return false;
        }
        i += extra + 1;
    }
    return true;
}

std::string LoggedText(const std::string& bytes) {
    std::string cut = bytes.substr(0, kMaxLoggedBody);
    return IsValidUtf8(cut) ? cut : Printable(cut);
}

}  // namespace

Backend::Backend(Config config, Store& store)
    : store_(store),
      epicAccounts_(config.epicAccounts),
      firstUserId_(config.firstUserId),
      eosStateFile_(config.eosStateFile),
      apps_(std::move(config.apps)) {
    for (const auto& [appId, text] : store_.LoadApps()) {
        try {
            json value = json::parse(text);
            App app;
            app.appId = appId;
            app.appKey = value.at("appKey").get<std::string>();
            app.clientConfig = value.at("clientConfig");
            app.products = value.at("products");
            app.orderValues = ParseOrderValues(value.at("orderValues"));
            app.eosStateFile = value.value("eosStateFile", std::string());
            apps_[appId] = app;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "vond-devserver: ignoring stored app %s: %s\n", appId.c_str(), error.what());
        }
    }
}

void Backend::Stop() {
    std::lock_guard<std::mutex> lock(stopMutex_);
    stopping_ = true;
    stopCondition_.notify_all();
}

void Backend::Delay(int ms) {
    std::unique_lock<std::mutex> lock(stopMutex_);
    stopCondition_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void Backend::Install(httplib::Server& server) {
    server.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
        if (req.path.rfind(kAdminPrefix, 0) == 0) {
            HandleAdmin(req, res);
        } else {
            HandlePost(req, res);
        }
    });
    server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
        if (req.path.rfind(kAdminPrefix, 0) == 0) {
            HandleAdmin(req, res);
        } else {
            HandleWrongMethod(req, res);
        }
    });
    auto wrongMethod = [this](const httplib::Request& req, httplib::Response& res) {
        HandleWrongMethod(req, res);
    };
    server.Put(".*", httplib::Server::Handler(wrongMethod));
    server.Patch(".*", httplib::Server::Handler(wrongMethod));
    server.Delete(".*", httplib::Server::Handler(wrongMethod));
    server.Options(
        ".*", [this](const httplib::Request& req, httplib::Response& res) { HandleWrongMethod(req, res); });
    server.set_error_handler(
        [this](const httplib::Request& req, httplib::Response& res) { HandleError(req, res); });
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
            std::string what = "unknown error";
            try {
                if (error) std::rethrow_exception(error);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            std::fprintf(stderr, "vond-devserver: internal error: %s\n", what.c_str());
            res.status = 500;
            res.set_header(kAnsweredHeader, "1");
            res.set_content("vond-devserver internal error: " + what + "\n", "text/plain");
        });
}

void Backend::HandleWrongMethod(const httplib::Request& req, httplib::Response& res) {
    res.status = 405;
    res.set_header(kAnsweredHeader, "1");
    res.set_header("Allow", req.path.rfind(kAdminPrefix, 0) == 0 ? "GET, POST" : "POST");
    res.set_content("method " + req.method + " not allowed for " + req.path + "\n", "text/plain");
    Answer answer;
    answer.status = 405;
    answer.body = res.body;
    answer.verdict = "wrong-method";
    answer.signature = "not-checked";
    Log(req, "", answer);
}

void Backend::HandleError(const httplib::Request& req, httplib::Response& res) {
    // httplib's own refusals: an unparsable request (400), a body over the bound (413), ...
    if (res.has_header(kAnsweredHeader)) return;
    res.set_content("vond-devserver refused the request: HTTP " + std::to_string(res.status) + "\n",
                    "text/plain");
    Answer answer;
    answer.status = res.status;
    answer.body = res.body;
    answer.verdict = "refused";
    answer.signature = "not-checked";
    Log(req, "", answer);
}

void Backend::HandlePost(const httplib::Request& req, httplib::Response& res) {
    // The app a request belongs to, so that faults and the log can be scoped to one test.
    std::string appId;
    if (req.path == kTrackPath) {
        json body = json::parse(req.body, nullptr, false);
        if (body.is_object() && body.value("appId", json()).is_string())
            appId = body["appId"].get<std::string>();
    } else if (auto form = DecodeForm(req.body)) {
        if (const std::string* value = FormValue(*form, "appId")) appId = *value;
    }

    Fault fault;
    Answer answer;
    if (TakeFault(req.path, appId, req.body, fault)) {
        if (fault.kind == "status") {
            answer.status = fault.status;
            answer.body = fault.body;
            answer.contentType = fault.contentType.empty() ? "text/plain" : fault.contentType;
        } else if (fault.kind == "body") {
            answer.body = fault.body;
            answer.contentType = fault.contentType.empty() ? "text/plain" : fault.contentType;
        } else if (fault.kind == "envelope") {
            answer.body = Envelope(fault.envelopeCode, fault.envelopeMsg, fault.envelopeExtra);
        } else if (fault.kind == "drop") {
            answer.drop = true;
        } else {
            answer = Process(req.path, appId, req.body, req);
            answer.chunked = fault.kind == "chunked";
        }
        answer.fault = fault.kind;
        if (answer.verdict.empty()) answer.verdict = "fault";
        if (answer.signature.empty()) answer.signature = "not-checked";
    } else {
        answer = Process(req.path, appId, req.body, req);
    }
    Log(req, appId, answer);
    // The request is handled and logged before a delay: a slow answer from a backend that
    // has done the work, and a log a test can read while the client still waits.
    if (fault.delayMs > 0) Delay(fault.delayMs);

    if (answer.drop) {
        DropConnection(req);
        return;
    }
    res.status = answer.status;
    res.set_header(kAnsweredHeader, "1");
    if (answer.chunked) {
        const std::string body = answer.body;
        // Small chunks, so that a reader has to walk several of them.
        res.set_chunked_content_provider(answer.contentType, [body](size_t, httplib::DataSink& sink) {
            for (size_t at = 0; at < body.size(); at += 7) {
                const std::string piece = body.substr(at, 7);
                if (!sink.write(piece.data(), piece.size())) return false;
            }
            sink.done();
            return true;
        });
    } else {
        res.set_content(answer.body, answer.contentType);
    }
}

Backend::Answer Backend::Process(const std::string& path, const std::string& appId, const std::string& body,
                                 const httplib::Request& req) {
    if (path == kTrackPath) return ProcessTrack(appId, body);
    if (FindRule(path) != nullptr) return ProcessForm(path, body, req);
    Answer answer;
    answer.status = 404;
    answer.body = "no such endpoint: " + path + "\n";
    answer.contentType = "text/plain";
    answer.verdict = "unknown-path";
    answer.signature = "not-checked";
    return answer;
}

Backend::Answer Backend::ProcessForm(const std::string& path, const std::string& body,
                                     const httplib::Request& req) {
    Answer answer;
    answer.signature = "not-checked";
    const RequestRule& rule = *FindRule(path);
    const std::string contentType = req.get_header_value("Content-Type");
    if (contentType.compare(0, sizeof kFormType - 1, kFormType) != 0)
        return Refused(answer, kMalformedForm, "malformed-form",
                      "Content-Type must be application/x-www-form-urlencoded");
    const auto decoded = DecodeForm(body);
    if (!decoded) return Refused(answer, kMalformedForm, "malformed-form", "Body is not a form");
    const Form& form = *decoded;

    if (FormValue(form, "appId") == nullptr)
        return Refused(answer, kMissingParameter, "missing-parameter", "Missing Param: appId");
    App app;
    if (!FindApp(FormText(form, "appId"), app))
        return Refused(answer, kUnknownApp, "unknown-app", "Unknown App: " + FormText(form, "appId"));
    for (const char* name : rule.required) {
        if (FormValue(form, name) == nullptr)
            return Refused(answer, kMissingParameter, "missing-parameter", std::string("Missing Param: ") + name);
    }
    const bool keyMatches = FormValue(form, "appKey") == nullptr || FormText(form, "appKey") == app.appKey;
    if (!keyMatches || ExpectedSign(rule, form, app.appKey) != FormText(form, "osign")) {
        answer.signature = "invalid";
        return Refused(answer, kBadSignature, "bad-signature", "Sign Error");
    }
    answer.signature = "valid";

    struct Fixed {
        const char* name;
        const char* value;
    };
    for (const Fixed& fixed : {Fixed{"platform", "EPIC"}, Fixed{"bindType", "1"}, Fixed{"channel", "EPIC"},
                               Fixed{"page", "1"}, Fixed{"pageSize", "999"}}) {
        if (FormValue(form, fixed.name) != nullptr && FormText(form, fixed.name) != fixed.value)
            return Refused(answer, kBadParameter, "bad-parameter", std::string("Bad Param: ") + fixed.name);
    }

    answer.verdict = "ok";
    using Endpoint = Answer (Backend::*)(const App& app, const Form& form, Answer answer);
    static const std::pair<const char*, Endpoint> kEndpoints[] = {
        {kConfigPath, &Backend::AnswerConfig},         {kAttributionPath, &Backend::AnswerAttribution},
        {kLoginPath, &Backend::AnswerLogin},           {kProductsPath, &Backend::AnswerProducts},
        {kCreateOrderPath, &Backend::AnswerCreateOrder}, {kPayResultPath, &Backend::AnswerPayResult},
    };
    for (const auto& [endpointPath, endpoint] : kEndpoints) {
        if (path == endpointPath) return (this->*endpoint)(app, form, answer);
    }
    return answer;
}

Backend::Answer Backend::Refused(Answer answer, int code, const char* verdict, const std::string& msg) {
    answer.verdict = verdict;
    answer.body = Envelope(code, msg);
    return answer;
}

bool Backend::FindApp(const std::string& appId, App& app) {
    std::lock_guard<std::mutex> lock(appsMutex_);
    auto it = apps_.find(appId);
    if (it == apps_.end()) return false;
    app = it->second;
    return true;
}

bool Backend::TakeFault(const std::string& path, const std::string& appId, const std::string& body, Fault& fault) {
    std::lock_guard<std::mutex> lock(faultsMutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->path != path || (!it->appId.empty() && it->appId != appId)) continue;
        if (!it->match.empty() && body.find(it->match) == std::string::npos) continue;
        fault = *it;
        if (--it->remaining <= 0) faults_.erase(it);
        return true;
    }
    return false;
}

void Backend::Log(const httplib::Request& req, const std::string& appId, const Answer& answer) {
    json headers = json::object();
    for (const auto& [name, value] : req.headers) {
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT")
            continue;
        headers[LoggedText(name)] = LoggedText(value);
    }
    json form = nullptr;
    if (auto decoded = DecodeForm(req.body)) {
        form = json::array();
        for (const auto& [name, value] : *decoded) form.push_back({LoggedText(name), LoggedText(value)});
    }
    json entry = {{"method", req.method},
                  {"path", LoggedText(req.path)},
                  {"appId", appId},
                  {"headers", headers},
                  {"body", LoggedText(req.body)},
                  {"bodyBytes", req.body.size()},
                  {"form", form},
                  {"signature", answer.signature},
                  {"verdict", answer.verdict},
                  {"fault", answer.fault},
                  {"answer", answer.drop ? json(nullptr)
                                         : json{{"status", answer.status},
                                                {"body", LoggedText(answer.body)},
                                                {"chunked", answer.chunked}}}};
    std::lock_guard<std::mutex> lock(logMutex_);
    entry["seq"] = nextSeq_++;
    log_.push_back(std::move(entry));
    if (log_.size() > kMaxLogEntries) log_.pop_front();
}

void Backend::DropConnection(const httplib::Request& req) {
    // Closing the socket under httplib makes its answer fail to write, so the client sees
    // the connection end without any response bytes.
    int fd = -1;
    if (req.ssl != nullptr) {
        fd = SSL_get_fd(req.ssl);
    } else {
        for (int candidate = 3; candidate < 4096 && fd < 0; ++candidate) {
            sockaddr_in peer{}, local{};
            socklen_t peerLength = sizeof peer, localLength = sizeof local;
            if (getpeername(candidate, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;
            if (getsockname(candidate, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) continue;
            if (peer.sin_family == AF_INET && ntohs(peer.sin_port) == req.remote_port &&
                ntohs(local.sin_port) == req.local_port)
                fd = candidate;
        }
    }
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

}  // namespace devserver
