// The publisher's backend as the SDK sees it: the seven endpoints, the admin endpoints under
// /__admin/, the request log and the faults a test can ask for.
#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Config.h"
#include "Protocol.h"
#include "Store.h"

namespace devserver {

// The envelope codes of the server's own refusals (answered with HTTP 200).
enum ErrorCode : int {
    kOk = 200,
    kBadSignature = 4001,
    kUnknownApp = 4002,
    kMissingParameter = 4003,
    kBadParameter = 4004,
    kMalformedForm = 4005,
    kUnknownProduct = 4006,
    kUnknownOrder = 4007,
    kOrderOfAnotherUser = 4008,
    kUnknownUser = 4009,
    kBadEvent = 4010,
    kEntitlementNotVerified = 4011,
};

// One misbehaviour for the next `remaining` requests to `path` (of `appId`, when set; whose
// body holds `match`, when set).
struct Fault {
    std::string path;
    std::string appId;
    std::string match;
    std::string kind;  // "status", "body", "envelope", "chunked", "drop", "delay"
    int remaining = 1;
    int status = 500;
    std::string body;
    std::string contentType;
    int envelopeCode = 0;
    std::string envelopeMsg;
    nlohmann::json envelopeExtra = nlohmann::json::object();
    int delayMs = 0;
};

class Backend {
public:
    // store must outlive the object. Apps registered earlier through /__admin/apps are
    // loaded from it.
    Backend(Config config, Store& store);

    // Registers every route and handler on server; call once before listening.
    void Install(httplib::Server& server);
    // Cuts delays short so that the server can stop at once. Any thread.
    void Stop();

private:
    struct Answer {
        int status = 200;
        std::string body;
        std::string contentType = "application/json;charset=UTF-8";
        bool chunked = false;
        bool drop = false;
        std::string verdict;    // a word naming the outcome
        std::string signature;  // "valid", "invalid", "not-checked", "unsigned"
        std::string fault;      // the fault kind applied, if any
    };

    void HandlePost(const httplib::Request& req, httplib::Response& res);
    // The admin endpoints (AdminEndpoints.cpp).
    void HandleAdmin(const httplib::Request& req, httplib::Response& res);
    void HandleWrongMethod(const httplib::Request& req, httplib::Response& res);
    void HandleError(const httplib::Request& req, httplib::Response& res);

    Answer Process(const std::string& path, const std::string& appId, const std::string& body,
                   const httplib::Request& req);
    // A signed form request: checks its app, its parameters and its signature, then hands it
    // to its endpoint with the answer saying "ok" and "valid".
    Answer ProcessForm(const std::string& path, const std::string& body, const httplib::Request& req);
    // answer refused with an envelope of code and msg.
    static Answer Refused(Answer answer, int code, const char* verdict, const std::string& msg);

    // The endpoints, grouped as the protocol groups them, each group in a file of its own.
    // Configuration and attribution (ConfigEndpoints.cpp).
    Answer AnswerConfig(const App& app, const Form& form, Answer answer);
    Answer AnswerAttribution(const App& app, const Form& form, Answer answer);
    // The account (AccountEndpoints.cpp).
    Answer AnswerLogin(const App& app, const Form& form, Answer answer);
    // Products and orders (OrderEndpoints.cpp).
    Answer AnswerProducts(const App& app, const Form& form, Answer answer);
    Answer AnswerCreateOrder(const App& app, const Form& form, Answer answer);
    Answer AnswerPayResult(const App& app, const Form& form, Answer answer);
    // Tracking events (TrackEndpoints.cpp).
    Answer ProcessTrack(const std::string& appId, const std::string& body);

    bool TakeFault(const std::string& path, const std::string& appId, const std::string& body, Fault& fault);
    void Log(const httplib::Request& req, const std::string& appId, const Answer& answer);
    bool FindApp(const std::string& appId, App& app);
    // Empty when Epic's record (the stand-in's state file) shows that entitlementId paid for
    // order; otherwise the reason it does not.
    std::string VerifyEntitlement(const std::string& stateFile, const OrderRecord& order,
                                  const std::string& entitlementId);
    void Delay(int ms);
    static void DropConnection(const httplib::Request& req);

    Store& store_;
    const std::map<std::string, int64_t> epicAccounts_;
    const int64_t firstUserId_;
    const std::string eosStateFile_;
    const nlohmann::json defaultProducts_;

    std::mutex appsMutex_;  // guards apps_
    std::map<std::string, App> apps_;

    std::mutex faultsMutex_;  // guards faults_
    std::vector<Fault> faults_;

    std::mutex logMutex_;  // guards log_ and nextSeq_
    std::deque<nlohmann::json> log_;
    int64_t nextSeq_ = 1;

    std::mutex stopMutex_;  // guards stopping_ for stopCondition_
    std::condition_variable stopCondition_;
    bool stopping_ = false;
};

}  // namespace devserver
