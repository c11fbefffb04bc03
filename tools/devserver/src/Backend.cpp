#include "Backend.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <cstdio>
#include <stdexcept>

#include "Protocol.h"

namespace devserver {
namespace {

using nlohmann::json;

const char kTrackPath[] = "/data/h5/v1.do";
const char kConfigPath[] = "/sdkapi/v3/config/client.do";
const char kAttributionPath[] = "/sdkapi/v1/attribution.do";
const char kLoginPath[] = "/sdkapi/v20/init.do";
const char kProductsPath[] = "/sdkapi/v9/pay/products.do";
const char kCreateOrderPath[] = "/sdkapi/v9/pay/create_order.do";
const char kPayResultPath[] = "/sdkapi/v9/pay/pay_result.do";
const char kAdminPrefix[] = "/__admin/";
const char kFormType[] = "application/x-www-form-urlencoded";
// Marks answers made by the handlers, so that httplib's error hook (called for every status
// of 400 and above) leaves them as they are.
const char kAnsweredHeader[] = "X-Vond-Devserver";

// The request log keeps this many entries and this much of each body.
constexpr size_t kMaxLogEntries = 20000;
constexpr size_t kMaxLoggedBody = 64 * 1024;

std::string RandomHex(size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1)
        throw std::runtime_error("no random bytes");
    std::string hex;
    char byte[3];
    for (unsigned char b : raw) {
        std::snprintf(byte, sizeof byte, "%02x", b);
        hex += byte;
    }
    return hex;
}

bool ParseInt64(const std::string& text, int64_t& value) {
    if (text.empty()) return false;
    try {
        size_t used = 0;
        value = std::stoll(text, &used, 10);
        return used == text.size();
    } catch (const std::exception&) {
        return false;
    }
}

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

// Request values are the client's bytes: never let one make a JSON text fail to print.
std::string Dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string Envelope(int code, const std::string& msg, json extra = json::object()) {
    extra["code"] = code;
    extra["msg"] = msg;
    return Dump(extra);
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
    if (TakeFault(req.path, appId, fault)) {
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

Backend::Answer Backend::ProcessTrack(const std::string& appId, const std::string& body) {
    Answer answer;
    answer.signature = "unsigned";
    json event = json::parse(body, nullptr, false);
    if (!event.is_object()) {
        answer.verdict = "bad-event";
        answer.body = Envelope(kBadEvent, "Event body is not a JSON object");
        return answer;
    }
    auto text = [&event](const char* key) {
        auto it = event.find(key);
        return it != event.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    // A client that sends an event again (its acknowledgement was lost) is answered as the
    // first time; the repeat is only counted.
    store_.AddEvent(appId, text("deviceId"), text("eventOrder"), Dump(event));
    answer.verdict = "ok";
    answer.body = Envelope(kOk, "Success");
    return answer;
}

Backend::Answer Backend::ProcessForm(const std::string& path, const std::string& body,
                                     const httplib::Request& req) {
    Answer answer;
    answer.signature = "not-checked";
    auto refuse = [&answer](int code, const char* verdict, const std::string& msg) {
        answer.verdict = verdict;
        answer.body = Envelope(code, msg);
        return answer;
    };

    const RequestRule& rule = *FindRule(path);
    const std::string contentType = req.get_header_value("Content-Type");
    if (contentType.compare(0, sizeof kFormType - 1, kFormType) != 0)
        return refuse(kMalformedForm, "malformed-form",
                      "Content-Type must be application/x-www-form-urlencoded");
    const auto decoded = DecodeForm(body);
    if (!decoded) return refuse(kMalformedForm, "malformed-form", "Body is not a form");
    const Form& form = *decoded;
    auto value = [&form](const char* name) {
        const std::string* v = FormValue(form, name);
        return v != nullptr ? *v : std::string();
    };

    if (FormValue(form, "appId") == nullptr)
        return refuse(kMissingParameter, "missing-parameter", "Missing Param: appId");
    App app;
    if (!FindApp(value("appId"), app))
        return refuse(kUnknownApp, "unknown-app", "Unknown App: " + value("appId"));
    for (const char* name : rule.required) {
        if (FormValue(form, name) == nullptr)
            return refuse(kMissingParameter, "missing-parameter", std::string("Missing Param: ") + name);
    }
    const bool keyMatches = FormValue(form, "appKey") == nullptr || value("appKey") == app.appKey;
    if (!keyMatches || ExpectedSign(rule, form, app.appKey) != value("osign")) {
        answer.signature = "invalid";
        return refuse(kBadSignature, "bad-signature", "Sign Error");
    }
    answer.signature = "valid";

    struct Fixed {
        const char* name;
        const char* value;
    };
    for (const Fixed& fixed : {Fixed{"platform", "EPIC"}, Fixed{"bindType", "1"}, Fixed{"channel", "EPIC"},
                               Fixed{"page", "1"}, Fixed{"pageSize", "999"}}) {
        if (FormValue(form, fixed.name) != nullptr && value(fixed.name) != fixed.value)
            return refuse(kBadParameter, "bad-parameter", std::string("Bad Param: ") + fixed.name);
    }

    answer.verdict = "ok";
    if (path == kConfigPath) {
        answer.body = Envelope(kOk, "Success", app.clientConfig);
    } else if (path == kAttributionPath) {
        json recorded = json::object();
        for (const auto& [name, v] : form) recorded[name] = v;
        const bool first = store_.RecordAttribution(app.appId, value("clientId"), Dump(recorded));
        answer.verdict = first ? "ok" : "ok-repeat";
        answer.body = Envelope(kOk, "Success");
    } else if (path == kLoginPath) {
        if (value("puserId").empty()) return refuse(kBadParameter, "bad-parameter", "Bad Param: puserId");
        if (value("accessToken").empty())
            return refuse(kBadParameter, "bad-parameter", "Bad Param: accessToken");
        std::optional<int64_t> configured;
        auto mapped = epicAccounts_.find(value("puserId"));
        if (mapped != epicAccounts_.end()) configured = mapped->second;
        const std::string token = RandomHex(16);
        const int64_t userId = store_.LoginUser(value("puserId"), configured, firstUserId_, token);
        answer.body = Envelope(kOk, "Success", {{"token", token}, {"userId", userId}});
    } else if (path == kProductsPath) {
        answer.body = Envelope(kOk, "Success", {{"productList", app.products}});
    } else if (path == kCreateOrderPath) {
        int64_t userId = 0;
        if (!ParseInt64(value("userId"), userId) || !store_.UserExists(userId))
            return refuse(kUnknownUser, "unknown-user", "Unknown User: " + value("userId"));
        const json* product = nullptr;
        for (const auto& p : app.products) {
            if (p.value("productId", json()) == value("productId")) product = &p;
        }
        std::string channelProductId;
        bool onEpic = false;
        if (product != nullptr) {
            for (const auto& channel : product->value("payChannel", json::array())) {
                if (channel.is_object() && channel.value("name", json()) == "EPIC") {
                    onEpic = true;
                    channelProductId = channel.value("channelProductId", std::string());
                }
            }
        }
        if (!onEpic)
            return refuse(kUnknownProduct, "unknown-product", "Unknown Product: " + value("productId"));
        OrderValues values;
        auto configured = app.orderValues.find(value("productId"));
        if (configured != app.orderValues.end()) {
            values = configured->second;
        } else {
            values.virtualCoinAmount = product->value("gameCurrencyAmount", json(0)).is_number_integer()
                                           ? product->value("gameCurrencyAmount", int64_t{0})
                                           : 0;
        }
        OrderRecord order;
        order.appId = app.appId;
        order.userId = userId;
        order.productId = value("productId");
        order.productName = product->value("productName", json("")).is_string()
                                ? product->value("productName", std::string())
                                : std::string();
        order.channelProductId = channelProductId;
        order.defaultCurrency = values.defaultCurrency;
        order.defaultAmountMicro = values.defaultAmountMicro;
        order.virtualCoinAmount = values.virtualCoinAmount;
        order.virtualCurrency = values.virtualCurrency;
        order.extInfo = value("extInfo");
        order.serverId = value("serverId");
        order.gameUserId = value("gameUserId");
        order.nickName = value("nickName");
        const std::string orderId = store_.CreateOrder(order);
        answer.body = Envelope(kOk, "Success",
                               {{"orderId", orderId},
                                {"productName", order.productName},
                                {"defaultCurrency", values.defaultCurrency},
                                {"defaultAmountMicro", values.defaultAmountMicro},
                                {"virtualCoinAmount", values.virtualCoinAmount},
                                {"virtualCurrency", values.virtualCurrency}});
    } else if (path == kPayResultPath) {
        const std::string status = value("status");
        if (status != "1" && status != "0")
            return refuse(kBadParameter, "bad-parameter", "Bad Param: status");
        const json verify = json::parse(value("extVerifyInfo"), nullptr, false);
        if (!verify.is_object() || !verify.contains("epicAccessToken") ||
            !verify.contains("epicEntitlementId") || !verify.contains("epicSandboxId"))
            return refuse(kBadParameter, "bad-parameter", "Bad Param: extVerifyInfo");
        const auto order = store_.FindOrder(app.appId, value("orderId"));
        if (!order) return refuse(kUnknownOrder, "unknown-order", "Unknown Order: " + value("orderId"));
        int64_t userId = 0;
        if (!ParseInt64(value("userId"), userId) || userId != order->userId)
            return refuse(kOrderOfAnotherUser, "order-of-another-user", "Order Of Another User");
        const std::string expectedAmount = status == "1" ? std::to_string(order->defaultAmountMicro) : "0";
        if (value("payAmountMicros") != expectedAmount)
            return refuse(kBadParameter, "bad-parameter", "Bad Param: payAmountMicros");
        if (status == "1" && !(app.eosStateFile.empty() ? eosStateFile_ : app.eosStateFile).empty()) {
            const std::string refused = VerifyEntitlement(app.eosStateFile.empty() ? eosStateFile_ : app.eosStateFile,
                                                          *order, verify["epicEntitlementId"].is_string()
                                                                      ? verify["epicEntitlementId"].get<std::string>()
                                                                      : std::string());
            if (!refused.empty()) {
                answer.verdict = refused;
                answer.body = Envelope(kEntitlementNotVerified, "Entitlement Not Verified: " + refused,
                                       {{"orderId", order->orderId}, {"status", 0}});
                return answer;
            }
        }
        const Settlement settled =
            store_.ReportPayment(order->orderId, status, value("trxId"), value("payAmountMicros"));
        answer.verdict = settled == Settlement::Paid     ? "paid"
                         : settled == Settlement::Repeat ? "repeat"
                                                         : "not-paid";
        answer.body =
            Envelope(kOk, "Success",
                     {{"orderId", order->orderId}, {"status", settled == Settlement::NotPaid ? 0 : 1}});
    }
    return answer;
}

std::string Backend::VerifyEntitlement(const std::string& stateFile, const OrderRecord& order,
                                       const std::string& entitlementId) {
    std::ifstream in(stateFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const json state = json::parse(text.str(), nullptr, false);
    if (!in || state.is_discarded() || !state.is_object()) return "epic-unreachable";
    const json entitlements = state.value("entitlements", json::array());
    const json offers = state.value("offers", json::array());
    const json* found = nullptr;
    for (const json& e : entitlements) {
        if (e.is_object() && e.value("entitlementId", std::string()) == entitlementId) found = &e;
    }
    if (entitlementId.empty() || found == nullptr) return "entitlement-unknown";
    const auto account = store_.EpicAccountOfUser(order.userId);
    if (!account || found->value("accountId", std::string()) != *account) return "entitlement-of-another-account";
    // The order's product names its offer; the offer names the item its entitlements carry.
    std::string itemId;
    for (const json& offer : offers) {
        if (offer.is_object() && offer.value("offerId", std::string()) == order.channelProductId) {
            itemId = offer.value("catalogItemId", std::string());
        }
    }
    if (itemId.empty() && state.value("anyOffer", false)) itemId = order.channelProductId;
    if (itemId.empty() || found->value("catalogItemId", std::string()) != itemId) return "entitlement-of-another-offer";
    if (!store_.ClaimEntitlement(order.appId, entitlementId, order.orderId)) return "entitlement-used";
    return std::string();
}

bool Backend::FindApp(const std::string& appId, App& app) {
    std::lock_guard<std::mutex> lock(appsMutex_);
    auto it = apps_.find(appId);
    if (it == apps_.end()) return false;
    app = it->second;
    return true;
}

bool Backend::TakeFault(const std::string& path, const std::string& appId, Fault& fault) {
    std::lock_guard<std::mutex> lock(faultsMutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->path != path || (!it->appId.empty() && it->appId != appId)) continue;
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

void Backend::HandleAdmin(const httplib::Request& req, httplib::Response& res) {
    const std::string what = req.path.substr(sizeof kAdminPrefix - 1);
    const std::string appId = req.has_param("appId") ? req.get_param_value("appId") : std::string();
    res.set_header(kAnsweredHeader, "1");
    auto reply = [&res](int status, const json& body) {
        res.status = status;
        res.set_content(Dump(body), "application/json");
    };
    auto bad = [&reply](const std::string& error) { reply(400, json{{"error", error}}); };

    if (req.method == "GET" && what == "requests") {
        json out = json::array();
        std::lock_guard<std::mutex> lock(logMutex_);
        for (const auto& entry : log_) {
            if (appId.empty() || entry["appId"] == appId) out.push_back(entry);
        }
        return reply(200, out);
    }
    if (req.method == "GET" && what == "orders") return reply(200, store_.Orders(appId));
    if (req.method == "GET" && what == "events") return reply(200, store_.Events(appId));
    if (req.method == "GET" && what == "event-repeats")
        return reply(200, json{{"repeats", store_.EventRepeats(appId)}});
    if (req.method == "GET" && what == "faults") {
        json out = json::array();
        std::lock_guard<std::mutex> lock(faultsMutex_);
        for (const Fault& f : faults_) {
            if (appId.empty() || f.appId == appId)
                out.push_back(
                    {{"path", f.path}, {"appId", f.appId}, {"kind", f.kind}, {"remaining", f.remaining}});
        }
        return reply(200, out);
    }
    if (req.method == "GET" && what == "apps") {
        json out = json::array();
        std::lock_guard<std::mutex> lock(appsMutex_);
        for (const auto& [id, app] : apps_) out.push_back({{"appId", id}, {"appKey", app.appKey}});
        return reply(200, out);
    }
    if (req.method == "POST" && what == "faults") {
        const json body = json::parse(req.body, nullptr, false);
        if (!body.is_object()) return bad("body must be a JSON object");
        Fault fault;
        try {
            fault.path = body.at("path").get<std::string>();
            fault.appId = body.value("appId", std::string());
            fault.kind = body.at("kind").get<std::string>();
            fault.remaining = body.value("count", 1);
            fault.status = body.value("status", 500);
            fault.body = body.value("body", std::string());
            fault.contentType = body.value("contentType", std::string());
            fault.envelopeCode = body.value("code", 0);
            fault.envelopeMsg = body.value("msg", std::string());
            fault.envelopeExtra = body.value("extra", json::object());
            fault.delayMs = body.value("delayMs", 0);
        } catch (const json::exception& error) {
            return bad(error.what());
        }
        static const char* const kinds[] = {"status", "body", "envelope", "chunked", "drop", "delay"};
        bool known = false;
        for (const char* kind : kinds) known = known || fault.kind == kind;
        if (!known) return bad("unknown fault kind: " + fault.kind);
        if (fault.remaining < 1 || fault.delayMs < 0 || !fault.envelopeExtra.is_object())
            return bad("count must be at least 1, delayMs not negative, extra an object");
        {
            std::lock_guard<std::mutex> lock(faultsMutex_);
            faults_.push_back(fault);
        }
        return reply(200, json{{"ok", true}});
    }
    if (req.method == "POST" && what == "reset") {
        {
            std::lock_guard<std::mutex> lock(faultsMutex_);
            faults_.erase(std::remove_if(faults_.begin(), faults_.end(),
                                         [&](const Fault& f) { return appId.empty() || f.appId == appId; }),
                          faults_.end());
        }
        {
            std::lock_guard<std::mutex> lock(logMutex_);
            log_.erase(std::remove_if(log_.begin(), log_.end(),
                                      [&](const json& e) { return appId.empty() || e["appId"] == appId; }),
                       log_.end());
        }
        store_.Reset(appId);
        return reply(200, json{{"ok", true}});
    }
    if (req.method == "POST" && what == "apps") {
        const json body = json::parse(req.body, nullptr, false);
        if (!body.is_object()) return bad("body must be a JSON object");
        try {
            App base;
            const std::string from = body.value("from", std::string());
            {
                std::lock_guard<std::mutex> lock(appsMutex_);
                auto it = from.empty() ? apps_.begin() : apps_.find(from);
                if (it == apps_.end()) return bad("no app to start from: " + from);
                base = it->second;
            }
            App app = ParseApp(body, &base, json(), {});
            json stored = {
                {"appKey", app.appKey}, {"clientConfig", app.clientConfig}, {"products", app.products}};
            json values = json::object();
            for (const auto& [id, v] : app.orderValues) {
                values[id] = {{"defaultCurrency", v.defaultCurrency},
                              {"defaultAmountMicro", v.defaultAmountMicro},
                              {"virtualCoinAmount", v.virtualCoinAmount},
                              {"virtualCurrency", v.virtualCurrency}};
            }
            stored["orderValues"] = values;
            if (!app.eosStateFile.empty()) stored["eosStateFile"] = app.eosStateFile;
            store_.SaveApp(app.appId, Dump(stored));
            {
                std::lock_guard<std::mutex> lock(appsMutex_);
                apps_[app.appId] = app;
            }
            stored["appId"] = app.appId;
            return reply(200, stored);
        } catch (const std::exception& error) {
            return bad(error.what());
        }
    }
    res.status = req.method == "GET" || req.method == "POST" ? 404 : 405;
    res.set_content("no such admin endpoint: " + req.method + " " + req.path + "\n", "text/plain");
}

}  // namespace devserver
