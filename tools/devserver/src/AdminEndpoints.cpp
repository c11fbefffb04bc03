// The admin endpoints under /__admin/: the request log, orders, events, faults and apps a test
// reads or sets up, and a reset (see the devserver's README).
#include <algorithm>

#include "Backend.h"
#include "Endpoints.h"

namespace devserver {

using nlohmann::json;

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
                    {{"path", f.path},
                     {"appId", f.appId},
                     {"match", f.match},
                     {"kind", f.kind},
                     {"remaining", f.remaining}});
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
            fault.match = body.value("match", std::string());
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
