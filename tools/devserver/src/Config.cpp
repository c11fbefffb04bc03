#include "Config.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace devserver {

const char* const kClientConfigMembers[] = {"isTestDevice",
                                            "epicGameName",
                                            "epicProductId",
                                            "epicClientCredentialsId",
                                            "epicClientCredentialsSecret",
                                            "epicSandboxId",
                                            "epicDeploymentId",
                                            nullptr};

namespace {

void CheckProducts(const nlohmann::json& products) {
    if (!products.is_array()) throw std::runtime_error("\"products\" must be an array");
    for (const auto& product : products) {
        if (!product.is_object() || !product.value("productId", nlohmann::json()).is_string())
            throw std::runtime_error("every product needs a string \"productId\"");
        const auto channels = product.value("payChannel", nlohmann::json::array());
        if (!channels.is_array()) throw std::runtime_error("\"payChannel\" must be an array");
    }
}

}  // namespace

std::map<std::string, OrderValues> ParseOrderValues(const nlohmann::json& value) {
    std::map<std::string, OrderValues> out;
    if (value.is_null()) return out;
    if (!value.is_object()) throw std::runtime_error("\"orderValues\" must be an object");
    for (const auto& [productId, v] : value.items()) {
        if (!v.is_object()) throw std::runtime_error("\"orderValues\"." + productId + " must be an object");
        OrderValues values;
        values.defaultCurrency = v.value("defaultCurrency", values.defaultCurrency);
        values.defaultAmountMicro = v.value("defaultAmountMicro", values.defaultAmountMicro);
        values.virtualCoinAmount = v.value("virtualCoinAmount", values.virtualCoinAmount);
        values.virtualCurrency = v.value("virtualCurrency", values.virtualCurrency);
        out[productId] = values;
    }
    return out;
}

App ParseApp(const nlohmann::json& value, const App* base, const nlohmann::json& defaultProducts,
             const std::map<std::string, OrderValues>& defaultOrderValues) {
    if (!value.is_object()) throw std::runtime_error("an app must be an object");
    App app = base != nullptr ? *base : App{};
    if (base == nullptr) {
        app.products = defaultProducts;
        app.orderValues = defaultOrderValues;
    }
    app.appId = value.value("appId", std::string());
    if (app.appId.empty()) throw std::runtime_error("an app needs a non-empty string \"appId\"");
    app.appKey = value.value("appKey", app.appKey);
    if (app.appKey.empty()) throw std::runtime_error("app " + app.appId + " needs an \"appKey\"");
    for (int i = 0; kClientConfigMembers[i] != nullptr; ++i) {
        if (value.contains(kClientConfigMembers[i]))
            app.clientConfig[kClientConfigMembers[i]] = value[kClientConfigMembers[i]];
    }
    if (value.contains("products")) app.products = value["products"];
    CheckProducts(app.products);
    if (value.contains("orderValues")) app.orderValues = ParseOrderValues(value["orderValues"]);
    app.eosStateFile = value.value("eosStateFile", app.eosStateFile);
    return app;
}

Config LoadConfig(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read config file " + path);
    std::stringstream text;
    text << in.rdbuf();
    nlohmann::json root = nlohmann::json::parse(text.str(), nullptr, false, true);
    if (!root.is_object()) throw std::runtime_error(path + " is not a JSON object");

    Config config;
    try {
        const nlohmann::json products = root.value("products", nlohmann::json::array());
        CheckProducts(products);
        const auto orderValues = ParseOrderValues(root.value("orderValues", nlohmann::json()));
        for (const auto& value : root.value("apps", nlohmann::json::array())) {
            App app = ParseApp(value, nullptr, products, orderValues);
            config.apps[app.appId] = app;
        }
        const nlohmann::json accounts = root.value("epicAccounts", nlohmann::json::object());
        if (!accounts.is_object()) throw std::runtime_error("\"epicAccounts\" must be an object");
        for (const auto& [account, userId] : accounts.items()) {
            if (!userId.is_number_integer())
                throw std::runtime_error("\"epicAccounts\"." + account + " must be an integer");
            config.epicAccounts[account] = userId.get<int64_t>();
        }
        config.firstUserId = root.value("firstUserId", config.firstUserId);
    } catch (const nlohmann::json::exception& error) {
        throw std::runtime_error(path + ": " + error.what());
    }
    return config;
}

}  // namespace devserver
