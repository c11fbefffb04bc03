// Products and orders: the product list, creating an order, and the payment result, checked
// against Epic's record (the stand-in's state file) where the app names one.
#include <fstream>
#include <sstream>

#include "Backend.h"
#include "Endpoints.h"

namespace devserver {
namespace {

using nlohmann::json;

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

}  // namespace

Backend::Answer Backend::AnswerProducts(const App& app, const Form&, Answer answer) {
    answer.body = Envelope(kOk, "Success", {{"productList", app.products}});
    return answer;
}

Backend::Answer Backend::AnswerCreateOrder(const App& app, const Form& form, Answer answer) {
    int64_t userId = 0;
    if (!ParseInt64(FormText(form, "userId"), userId) || !store_.UserExists(userId))
        return Refused(answer, kUnknownUser, "unknown-user", "Unknown User: " + FormText(form, "userId"));
    const json* product = nullptr;
    for (const auto& p : app.products) {
        if (p.value("productId", json()) == FormText(form, "productId")) product = &p;
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
        return Refused(answer, kUnknownProduct, "unknown-product",
                       "Unknown Product: " + FormText(form, "productId"));
    OrderValues values;
    auto configured = app.orderValues.find(FormText(form, "productId"));
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
    order.productId = FormText(form, "productId");
    order.productName = product->value("productName", json("")).is_string()
                            ? product->value("productName", std::string())
                            : std::string();
    order.channelProductId = channelProductId;
    order.defaultCurrency = values.defaultCurrency;
    order.defaultAmountMicro = values.defaultAmountMicro;
    order.virtualCoinAmount = values.virtualCoinAmount;
    order.virtualCurrency = values.virtualCurrency;
    order.extInfo = FormText(form, "extInfo");
    order.serverId = FormText(form, "serverId");
    order.gameUserId = FormText(form, "gameUserId");
    order.nickName = FormText(form, "nickName");
    const std::string orderId = store_.CreateOrder(order);
    answer.body = Envelope(kOk, "Success",
                           {{"orderId", orderId},
                            {"productName", order.productName},
                            {"defaultCurrency", values.defaultCurrency},
                            {"defaultAmountMicro", values.defaultAmountMicro},
                            {"virtualCoinAmount", values.virtualCoinAmount},
                            {"virtualCurrency", values.virtualCurrency}});
    return answer;
}

Backend::Answer Backend::AnswerPayResult(const App& app, const Form& form, Answer answer) {
    const std::string status = FormText(form, "status");
    if (status != "1" && status != "0")
        return Refused(answer, kBadParameter, "bad-parameter", "Bad Param: status");
    const json verify = json::parse(FormText(form, "extVerifyInfo"), nullptr, false);
    if (!verify.is_object() || !verify.contains("epicAccessToken") || !verify.contains("epicEntitlementId") ||
        !verify.contains("epicSandboxId"))
        return Refused(answer, kBadParameter, "bad-parameter", "Bad Param: extVerifyInfo");
    const auto order = store_.FindOrder(app.appId, FormText(form, "orderId"));
    if (!order)
        return Refused(answer, kUnknownOrder, "unknown-order", "Unknown Order: " + FormText(form, "orderId"));
    int64_t userId = 0;
    if (!ParseInt64(FormText(form, "userId"), userId) || userId != order->userId)
        return Refused(answer, kOrderOfAnotherUser, "order-of-another-user", "Order Of Another User");
    const std::string expectedAmount = status == "1" ? std::to_string(order->defaultAmountMicro) : "0";
    if (FormText(form, "payAmountMicros") != expectedAmount)
        return Refused(answer, kBadParameter, "bad-parameter", "Bad Param: payAmountMicros");
    if (status == "1" && !(app.eosStateFile.empty() ? eosStateFile_ : app.eosStateFile).empty()) {
        const std::string refused = VerifyEntitlement(
            app.eosStateFile.empty() ? eosStateFile_ : app.eosStateFile, *order,
            verify["epicEntitlementId"].is_string() ? verify["epicEntitlementId"].get<std::string>()
                                                    : std::string());
        if (!refused.empty()) {
            answer.verdict = refused;
            answer.body = Envelope(kEntitlementNotVerified, "Entitlement Not Verified: " + refused,
                                   {{"orderId", order->orderId}, {"status", 0}});
            return answer;
        }
    }
    const Settlement settled = store_.ReportPayment(order->orderId, status, FormText(form, "trxId"),
                                                    FormText(form, "payAmountMicros"));
    answer.verdict = settled == Settlement::Paid     ? "paid"
                     : settled == Settlement::Repeat ? "repeat"
                                                     : "not-paid";
    answer.body = Envelope(kOk, "Success",
                           {{"orderId", order->orderId}, {"status", settled == Settlement::NotPaid ? 0 : 1}});
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
    if (!account || found->value("accountId", std::string()) != *account)
        return "entitlement-of-another-account";
    // The order's product names its offer; the offer names the item its entitlements carry.
    std::string itemId;
    for (const json& offer : offers) {
        if (offer.is_object() && offer.value("offerId", std::string()) == order.channelProductId) {
            itemId = offer.value("catalogItemId", std::string());
        }
    }
    if (itemId.empty() && state.value("anyOffer", false)) itemId = order.channelProductId;
    if (itemId.empty() || found->value("catalogItemId", std::string()) != itemId)
        return "entitlement-of-another-offer";
    if (!store_.ClaimEntitlement(order.appId, entitlementId, order.orderId)) return "entitlement-used";
    return std::string();
}

}  // namespace devserver
