// The server's configuration file: apps, their product catalogues, what an order of each
// product costs, and which Epic accounts map to which backend user ids.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace devserver {

// What create-order answers for one product.
struct OrderValues {
    std::string defaultCurrency = "USD";
    int64_t defaultAmountMicro = 0;
    int64_t virtualCoinAmount = 0;
    std::string virtualCurrency;
};

struct App {
    std::string appId;
    std::string appKey;
    // The client-configuration answer's payload members: isTestDevice and the epic... ones.
    nlohmann::json clientConfig = nlohmann::json::object();
    // The "productList" array exactly as the products request answers it.
    nlohmann::json products = nlohmann::json::array();
    std::map<std::string, OrderValues> orderValues;  // by product id
    // This app's own EOS stand-in state file (a test's), in place of --eos-state.
    std::string eosStateFile;
};

struct Config {
    std::map<std::string, App> apps;              // by app id
    std::map<std::string, int64_t> epicAccounts;  // Epic account id -> backend user id
    int64_t firstUserId = 1000001;                // first id given to an unmapped account
    // The EOS stand-in's state file: when set, a paid pay-result is checked against Epic's
    // record of the entitlement, as a real backend checks extVerifyInfo.
    std::string eosStateFile;
};

// Reads one app object; members it lacks are taken from base (an app registered by a test
// starts from a configured one). Throws std::runtime_error naming what is wrong.
App ParseApp(const nlohmann::json& value, const App* base, const nlohmann::json& defaultProducts,
             const std::map<std::string, OrderValues>& defaultOrderValues);
std::map<std::string, OrderValues> ParseOrderValues(const nlohmann::json& value);

// Throws std::runtime_error naming the file or the member that is wrong.
Config LoadConfig(const std::string& path);

// The members of the client-configuration answer that a config may set.
extern const char* const kClientConfigMembers[];

}  // namespace devserver
