#include "src/CVondPay.h"

#include <climits>
#include <exception>
#include <utility>

#include "easylogging++.h"
#include "platform/Platform.h"
#include "src/CVondCore.h"
#include "src/CVondUser.h"
#include "src/EosBridge.h"
#include "src/OrderWriter.h"
#include "src/ResultCodes.h"
#include "utils/VondJson.h"
#include "utils/VondUtils.h"

namespace VondSdk {
namespace {

using nlohmann::json;

constexpr char kSuccess[] = "Success";
constexpr char kNotFoundProduct[] = "Not Found Product.";
constexpr char kQueryProductFailure[] = "Query Product Failure, ";
constexpr char kEndedSessionCheckout[] = "Checkout ended after its session, left to the player's next login, orderId: ";

// A member read with a default when absent; a present member of another kind raises the
// library's type error, as the answer is then not what the backend promises.
template <typename T>
T Member(const json& object, const char* key, T fallback) {
    auto it = object.find(key);
    if (it == object.end()) return fallback;
    return it->get<T>();
}

// The create-order amounts are 64-bit integers; a fraction is not an amount.
int64_t AmountMember(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) return 0;
    return IntegerIn(*it, INT64_MIN, INT64_MAX, key);
}

int32_t StatusMember(const json& object) {
    auto it = object.find("status");
    if (it == object.end()) return 0;
    return static_cast<int32_t>(IntegerIn(*it, INT32_MIN, INT32_MAX, "status"));
}

// The device the order is made on, as the tracking object describes it: its device id is the
// client id, its resolution the desktop's size.
std::string CollectionInfo(const CVondCore& core) {
    const platform::ScreenSize screen = platform::DesktopSize();
    json info = {{"deviceId", core.GetGlobalParams().clientId},
                 {"resolution", std::to_string(screen.width) + "x" + std::to_string(screen.height)}};
    return CompactJson(info);
}

}  // namespace

std::vector<ProductInfo> ParseProductList(const std::string& body) {
    const json answer = json::parse(body);
    if (!answer.is_object()) throw json::type_error::create(302, "product answer is not an object", &answer);
    std::vector<ProductInfo> products;
    auto list = answer.find("productList");
    if (list == answer.end()) return products;
    for (const json& p : list->get_ref<const json::array_t&>()) {
        if (!p.is_object()) throw json::type_error::create(302, "product is not an object", &p);
        auto channels = p.find("payChannel");
        if (channels == p.end()) continue;
        for (const json& c : channels->get_ref<const json::array_t&>()) {
            if (!c.is_object()) throw json::type_error::create(302, "channel is not an object", &c);
            auto name = c.find("name");
            if (name == c.end() || !name->is_string() || name->get_ref<const std::string&>() != kChannelEpic) {
                continue;
            }
            ProductInfo product;
            product.channelProductId = Member<std::string>(c, "channelProductId", "");
            product.productName = Member<std::string>(p, "productName", "");
            product.productId = Member<std::string>(p, "productId", "");
            product.productDesc = Member<std::string>(p, "productDesc", "");
            product.productCurrencyCode = Member<std::string>(p, "productCurrencyCode", "");
            product.gameCurrencyAmount = Member<int32_t>(p, "gameCurrencyAmount", 0);
            products.push_back(std::move(product));
        }
    }
    return products;
}

CVondPay& CVondPay::Instance() {
    static CVondPay* pay = new CVondPay();
    return *pay;
}

void CVondPay::MergeProducts(const std::vector<ProductInfo>& products) {
    std::lock_guard<std::mutex> lock(productsMutex_);
    for (const ProductInfo& product : products) {
        auto it = productIndex_.find(product.productId);
        if (it == productIndex_.end()) {
            productIndex_.emplace(product.productId, products_.size());
            products_.push_back(product);
        } else {
            products_[it->second] = product;
        }
    }
}

bool CVondPay::FindProduct(const std::string& productId, ProductInfo& product) const {
    std::lock_guard<std::mutex> lock(productsMutex_);
    auto it = productIndex_.find(productId);
    if (it == productIndex_.end()) return false;
    product = products_[it->second];
    return true;
}

HttpResp CVondPay::BuildProductResult() const {
    json result = json::object();
    result["code"] = kCodeOk;
    result["msg"] = kSuccess;
    {
        std::lock_guard<std::mutex> lock(productsMutex_);
        for (const ProductInfo& product : products_) {
            result["productList"].push_back({{"productId", product.productId},
                                             {"productName", product.productName},
                                             {"productDesc", product.productDesc},
                                             {"gameCurrencyAmount", product.gameCurrencyAmount}});
        }
    }
    HttpResp resp;
    resp.code = kCodeOk;
    resp.msg = ToWide(kSuccess);
    resp.data = ToWide(CompactJson(result));
    return resp;
}

void CVondPay::ResetSession() {
    {
        std::lock_guard<std::mutex> lock(checkoutsMutex_);
        checkouts_.clear();
        reporting_.clear();
    }
    std::lock_guard<std::mutex> lock(productsMutex_);
    products_.clear();
    productIndex_.clear();
}

void CVondPay::QueryProducts(ResultCallback callback) {
    if (CVondCore::Instance().IsExited()) {
        // The request pool is gone: without this the game would never hear back.
        AnswerGame(callback, kCodeNotInit, ToWide(kNotInit), std::wstring());
        return;
    }
    if (CVondCore::Instance().IsProductsLoaded()) {
        HttpResp r = BuildProductResult();
        AnswerGame(callback, r.code, r.msg, r.data);
        return;
    }
    LoadProducts(
        [this, callback] {
            HttpResp r = BuildProductResult();
            AnswerGame(callback, r.code, r.msg, r.data);
        },
        [callback](HttpResp resp) { AnswerGame(callback, resp.code, resp.msg, resp.data); });
}

void CVondPay::LoadProducts(std::function<void()> onReady, std::function<void(HttpResp)> onFail) {
    if (CVondCore::Instance().IsProductsLoaded()) {
        LOG(INFO) << "Query Products Already Init";
        onReady();
        return;
    }
    CVondApi::Instance().RequestProducts([this, onReady, onFail](HttpResp resp) {
        if (resp.code != kCodeOk) {
            if (onFail) onFail(resp);
            return;
        }
        LOG(INFO) << "开始解析商品列表\n";
        std::vector<ProductInfo> products;
        try {
            products = ParseProductList(ToUtf8(resp.data));
        } catch (const std::exception& e) {
            LOG(ERROR) << "Product list unreadable: " << e.what();
            if (onFail) onFail(HttpResp{kCodeJsonParseError, ToWide(kJsonParseError), std::wstring()});
            return;
        }
        // The whole list is published at once, so a reader never sees half of one answer.
        MergeProducts(products);
        CVondCore::Instance().SetProductsLoaded(true);
        if (onReady) onReady();
    });
}

CreateOrderParams CVondPay::MakeCreateOrderParams(const std::string& productId, const std::string& extInfo) {
    const CVondCore& core = CVondCore::Instance();
    const GameUserInfo user = core.GetGameUserInfo();
    CreateOrderParams params;
    params.productId = productId;
    params.userId = core.GetUserId();
    params.serverId = user.serverId;
    params.gameUserId = user.gameUserId;
    params.nickName = user.nickName;
    params.orderAmountMicros = "0";
    params.collectionInfo = CollectionInfo(core);
    params.currencyCode = "";
    params.extInfo = extInfo;
    return params;
}

PayResultParams CVondPay::MakePayResultParams(const std::string& status, const OrderInfo& order,
                                              const std::string& accessToken, const std::string& sandboxId) {
    const bool success = status == kStatusPaid;
    json verify = {{"epicAccessToken", accessToken},
                   {"epicEntitlementId", order.epicEntitlementId},
                   {"epicSandboxId", sandboxId}};
    PayResultParams params;
    params.channelPayType = "";
    params.orderId = order.orderId;
    params.extVerifyInfo = CompactJson(verify);
    params.payAmountMicros = success ? std::to_string(order.defaultAmountMicro) : "0";
    params.serverId = order.serverId;
    params.gameUserId = order.gameUserId;
    params.status = status;
    params.trxId = order.epicTransId;
    params.trxToken = "";
    params.userId = order.userId;
    params.channelProductId = order.channelProductId;
    return params;
}

std::string CVondPay::PayResultData(const OrderInfo& order, int32_t backendStatus) {
    json data = {{"amount", order.defaultAmountMicro}, {"currency", order.defaultCurrency},
                 {"extInfo", order.extInfo},           {"orderId", order.orderId},
                 {"productId", order.productId},       {"quantity", 1},
                 {"status", backendStatus}};
    return CompactJson(data);
}

std::shared_ptr<OrderInfo> CVondPay::OrderFromCreateOrderAnswer(const std::string& body, const ProductInfo& product,
                                                                const std::string& extInfo) {
    const json answer = json::parse(body);
    if (!answer.is_object()) throw json::type_error::create(302, "create-order answer is not an object", &answer);
    const CVondCore& core = CVondCore::Instance();
    const GameUserInfo user = core.GetGameUserInfo();
    auto order = std::make_shared<OrderInfo>();
    order->userId = core.GetUserId();
    order->serverId = user.serverId;
    order->gameUserId = user.gameUserId;
    order->productId = product.productId;
    order->channelProductId = product.channelProductId;
    order->orderId = Member<std::string>(answer, "orderId", "");
    order->productName = Member<std::string>(answer, "productName", "");
    order->defaultCurrency = Member<std::string>(answer, "defaultCurrency", "");
    order->defaultAmountMicro = AmountMember(answer, "defaultAmountMicro");
    order->virtualCoinAmount = AmountMember(answer, "virtualCoinAmount");
    order->virtualCurrency = Member<std::string>(answer, "virtualCurrency", "");
    order->extInfo = extInfo;
    return order;
}

void CVondPay::CreateOrder(std::string productId, std::string extInfo, ResultCallback callback) {
    auto onFail = [callback](HttpResp resp) {
        AnswerGame(callback, resp.code, ToWide(kQueryProductFailure) + resp.msg, resp.data);
    };
    auto onReady = [this, productId, extInfo, callback] { ContinueOrder(productId, extInfo, callback); };
    if (CVondCore::Instance().IsProductsLoaded()) {
        onReady();
    } else {
        LoadProducts(onReady, onFail);
    }
}

void CVondPay::ContinueOrder(const std::string& productId, const std::string& extInfo, ResultCallback callback) {
    ProductInfo product;
    if (!FindProduct(productId, product)) {
        LOG(WARNING) << "Not Found Product：" << productId;
        AnswerGame(callback, kCodeNotFoundProduct, ToWide(kNotFoundProduct), std::wstring());
        return;
    }
    CVondApi::Instance().RequestCreateOrder(
        MakeCreateOrderParams(productId, extInfo),
        [this, product, extInfo, callback](HttpResp resp) { OnCreateOrder(resp, product, extInfo, callback); });
}

void CVondPay::OnCreateOrder(const HttpResp& resp, const ProductInfo& product, const std::string& extInfo,
                             ResultCallback callback) {
    if (resp.code != kCodeOk) {
        AnswerGame(callback, resp.code, resp.msg, resp.data);
        return;
    }
    std::shared_ptr<OrderInfo> order;
    try {
        order = OrderFromCreateOrderAnswer(ToUtf8(resp.data), product, extInfo);
    } catch (const std::exception& e) {
        LOG(ERROR) << "Create order answer unreadable: " << e.what();
        AnswerGame(callback, kCodeJsonParseError, ToWide(kJsonParseError), std::wstring());
        return;
    }
    StartCheckout(std::move(order), callback);
}

void CVondPay::StartCheckout(std::shared_ptr<OrderInfo> order, ResultCallback callback) {
    {
        // Known as running before its pending record exists, so that the entitlement pass never
        // ties this checkout's entitlement to the record while the checkout itself still runs.
        std::lock_guard<std::mutex> lock(checkoutsMutex_);
        checkouts_[order->orderId] = order->channelProductId;
    }
    orderwriter::Submit([this, order, callback] {
        // Written before the checkout opens: should the process end while the player pays,
        // the next login still finds which order the new entitlement belongs to.
        // A purchase that cannot be recorded is refused before any money moves.
        if (!UnconsumedOrder::getInstance().AddPendingOrder(*order)) {
            EndCheckout(order->orderId);
            LOG(ERROR) << kOrderNotRecorded << " orderId: " << order->orderId;
            AnswerGame(callback, kCodeOrderNotRecorded, ToWide(kOrderNotRecorded), std::wstring());
            return;
        }
        // EOS is not thread-safe: the checkout is started by the thread that ticks it.
        const uint64_t session = CVondCore::Instance().Session();
        eosbridge::RunOnTickThread([this, order, callback, session] {
            eosbridge::Checkout(order->channelProductId,
                                [this, order, callback, session](std::shared_ptr<PayInfo> info) {
                                    OnCheckout(order, std::move(info), callback, session);
                                });
        });
    });
}

bool CVondPay::IsCheckingOut(const std::string& orderId) const {
    std::lock_guard<std::mutex> lock(checkoutsMutex_);
    return checkouts_.count(orderId) > 0;
}

std::map<std::string, std::string> CVondPay::RunningCheckouts() const {
    std::lock_guard<std::mutex> lock(checkoutsMutex_);
    return checkouts_;
}

void CVondPay::EndCheckout(const std::string& orderId) {
    std::lock_guard<std::mutex> lock(checkoutsMutex_);
    checkouts_.erase(orderId);
}

bool CVondPay::BeginReport(const std::string& entitlementId) {
    std::lock_guard<std::mutex> lock(checkoutsMutex_);
    return reporting_.insert(entitlementId).second;
}

void CVondPay::EndReport(const std::string& entitlementId) {
    std::lock_guard<std::mutex> lock(checkoutsMutex_);
    reporting_.erase(entitlementId);
}

bool CVondPay::IsReporting(const std::string& entitlementId) const {
    std::lock_guard<std::mutex> lock(checkoutsMutex_);
    return reporting_.count(entitlementId) > 0;
}

void CVondPay::KeepOutcomeOfEndedSession(std::shared_ptr<OrderInfo> order, bool definiteFailure) {
    LOG(INFO) << kEndedSessionCheckout << order->orderId;
    const bool paid = !order->epicEntitlementId.empty();
    if (!paid && !definiteFailure) return;  // the money may have moved: the pending record stays
    orderwriter::Submit([order] {
        if (!UnconsumedOrder::getInstance().ClosePendingOrder(order)) {
            LOG(ERROR) << "Settled order not written yet, retried later, orderId: " << order->orderId;
        }
        // Should that player be logged in again already, a pass finds it soon.
        CVondUser::ScheduleRechecks();
    });
}

void CVondPay::OnCheckout(std::shared_ptr<OrderInfo> order, std::shared_ptr<PayInfo> info, ResultCallback callback,
                          uint64_t session) {
    try {
        if (info) {
            order->epicTransId = info->transactionId;
            if (!info->uncertain && !info->entitlementId.empty()) order->epicEntitlementId = info->entitlementId;
        }
        if (CVondCore::Instance().Session() != session) {
            // EOS kept between sessions and the checkout outlived Exit: the next session's pool,
            // tokens and player must not report it, nor the game hear of it in another session.
            EndCheckout(order->orderId);
            KeepOutcomeOfEndedSession(order, !info);
            return;
        }
        if (!order->epicEntitlementId.empty()) BeginReport(order->epicEntitlementId);
        const bool paid = !order->epicEntitlementId.empty();
        if (info && !paid) {
            // The money may have moved: the pending record stays, the game hears status 0, and
            // the entitlement, once it shows, is reported with this order.
            EndCheckout(order->orderId);
            LOG(INFO) << "Checkout outcome unknown, order kept pending, orderId: " << order->orderId;
            CVondUser::ScheduleRechecks();
            PayResult("0", order, callback);
            return;
        }
        orderwriter::Submit([this, order, paid, callback] {
            // The order reaches the disk before the backend hears of the payment; a definite
            // failure only drops the pending record.
            // When the disk refuses, the close waits in memory, is retried while the game runs
            // and at Exit; the pending record already on disk lets the next start tie the
            // entitlement to this order should none of those writes land.
            if (!UnconsumedOrder::getInstance().ClosePendingOrder(order)) {
                LOG(ERROR) << "Settled order not written yet, retried later, orderId: " << order->orderId;
            }
            EndCheckout(order->orderId);
            eosbridge::RunOnTickThread([this, order, paid, callback] { PayResult(paid ? kStatusPaid : "0", order, callback); });
        });
    } catch (const std::exception& e) {
        LOG(ERROR) << "Checkout completion failed: " << e.what();
        AnswerGame(callback, kCodeJsonParseError, ToWide(kJsonParseError), ToWide(PayResultData(*order, 0)));
    }
}

void CVondPay::PayResult(std::string status, std::shared_ptr<OrderInfo> order, ResultCallback callback) {
    if (!order) return;
    const bool success = status == kStatusPaid;
    PayResultParams params =
        MakePayResultParams(status, *order, eosbridge::AccessToken(), eosbridge::SandboxId());
    CVondApi::Instance().RequestPayResult(std::move(params), [this, order, success, callback](HttpResp resp) {
        OnPayResult(resp, order, success, callback);
    });
}

void CVondPay::OnPayResult(const HttpResp& resp, std::shared_ptr<OrderInfo> order, bool success,
                           ResultCallback callback) {
    int code = resp.code;
    std::wstring message = resp.msg;
    int32_t backendStatus = 0;
    if (!resp.data.empty()) {
        try {
            const json answer = json::parse(ToUtf8(resp.data));
            if (!answer.is_object()) throw json::type_error::create(302, "pay-result answer is not an object", &answer);
            backendStatus = StatusMember(answer);
        } catch (const std::exception& e) {
            LOG(ERROR) << "Pay result answer unreadable: " << e.what();
            code = kCodeJsonParseError;
            message = ToWide(kJsonParseError);
            backendStatus = 0;
        }
    }
    // An empty data text is a failed exchange: the game hears the transport's code with
    // status 0, and the paid order stays stored for the next login.
    const std::string data = PayResultData(*order, backendStatus);
    if (callback != nullptr) {
        AnswerGame(callback, code, message, ToWide(data));
        LOG(INFO) << "Notify Pay Result Callback , Data:" << data;
    }
    // Only the backend's confirmation of this very order consumes its entitlement.
    if (success && code == kCodeOk && backendStatus == 1 && !order->epicEntitlementId.empty()) {
        Redeem(order->epicEntitlementId, order->userId);
    } else if (!order->epicEntitlementId.empty()) {
        EndReport(order->epicEntitlementId);
    }
}

void CVondPay::Redeem(const std::string& entitlementId, const std::string& userId) {
    const std::string store = OwnStore(userId);
    eosbridge::RunOnTickThread([this, entitlementId, store] {
        eosbridge::RedeemEntitlement(entitlementId, [this, entitlementId, store](bool redeemed) {
            if (!redeemed) {
                LOG(WARNING) << "Redeem Entitlement Failed, epicEntitlementId: " << entitlementId;
                EndReport(entitlementId);
                return;
            }
            LOG(INFO) << "Redeem Entitlement Successful, epicEntitlementId: " << entitlementId;
            orderwriter::Submit([this, entitlementId, store] {
                UnconsumedOrder::getInstance().RemoveOrder(entitlementId, store);
                EndReport(entitlementId);
            });
        });
    });
}

}  // namespace VondSdk
