#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>

#include "easylogging++.h"
#include "platform/Platform.h"
#include "src/CVondCore.h"
#include "src/CVondPay.h"
#include "utils/VondConfigUtils.h"

namespace VondSdk {
namespace {

using nlohmann::json;

constexpr char kPendingPrefix[] = "pending:";
constexpr char kPendingSequence[] = "pendingSequence";
constexpr char kKeptAsideInfix[] = ".unreadable-";

bool IsPendingKey(const std::string& key) {
    return key.rfind(kPendingPrefix, 0) == 0;
}

// Text that is not valid UTF-8 can only come from the game's own strings (extInfo); it is
// stored with replacement characters rather than making the write fail.
std::string Dump(const json& document) {
    return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string Str(const json& value, const char* key) {
    return value.at(key).get<std::string>();
}

// The amounts are 64-bit signed integers; a fraction or a value past that range is not one.
int64_t Int64(const json& value, const char* key) {
    const json& member = value.at(key);
    if (!member.is_number_integer() ||
        (member.is_number_unsigned() && member.get<uint64_t>() > uint64_t(INT64_MAX))) {
        throw json::type_error::create(302, std::string("type must be a 64-bit integer: ") + key, &member);
    }
    return member.get<int64_t>();
}

}  // namespace

json OrderToJson(const OrderInfo& order) {
    json value = json::object();
    value["userId"] = order.userId;
    value["serverId"] = order.serverId;
    value["gameUserId"] = order.gameUserId;
    value["productId"] = order.productId;
    value["channelProductId"] = order.channelProductId;
    value["orderId"] = order.orderId;
    value["productName"] = order.productName;
    value["defaultCurrency"] = order.defaultCurrency;
    value["defaultAmountMicro"] = order.defaultAmountMicro;
    value["virtualCoinAmount"] = order.virtualCoinAmount;
    value["virtualCurrency"] = order.virtualCurrency;
    value["extInfo"] = order.extInfo;
    value["epicTransId"] = order.epicTransId;
    value["epicEntitlementId"] = order.epicEntitlementId;
    return value;
}

std::shared_ptr<OrderInfo> OrderFromJson(const json& value) {
    auto order = std::make_shared<OrderInfo>();
    order->userId = Str(value, "userId");
    order->serverId = Str(value, "serverId");
    order->gameUserId = Str(value, "gameUserId");
    order->productId = Str(value, "productId");
    order->channelProductId = Str(value, "channelProductId");
    order->orderId = Str(value, "orderId");
    order->productName = Str(value, "productName");
    order->defaultCurrency = Str(value, "defaultCurrency");
    order->defaultAmountMicro = Int64(value, "defaultAmountMicro");
    order->virtualCoinAmount = Int64(value, "virtualCoinAmount");
    order->virtualCurrency = Str(value, "virtualCurrency");
    order->extInfo = Str(value, "extInfo");
    order->epicTransId = Str(value, "epicTransId");
    order->epicEntitlementId = Str(value, "epicEntitlementId");
    return order;
}

UnconsumedOrder& UnconsumedOrder::getInstance() {
    // Never destroyed: a completion running late at process exit still finds it.
    static UnconsumedOrder* store = new UnconsumedOrder();
    return *store;
}

bool UnconsumedOrder::CreateDirectories(const std::string& path) {
    if (platform::IsDirectory(path)) return true;
    if (platform::CreateDir(path)) return true;
    const size_t cut = path.find_last_of(platform::PathSeparator());
    if (cut == std::string::npos || cut == 0) return false;
    const std::string parent = path.substr(0, cut);
    if (parent == path || !CreateDirectories(parent)) return false;
    return platform::CreateDir(path);
}

std::string UnconsumedOrder::getConfigPath() {
    const CVondCore& core = CVondCore::Instance();
    const char separator = platform::PathSeparator();
    const std::string folder =
        GetSdkDataDir() + separator + core.GetGlobalParams().appId + separator + core.GetUserId();
    if (!CreateDirectories(folder)) LOG(ERROR) << "Cant Create Path: " << folder;
    return folder + separator + fileName_;
}

UnconsumedOrder::Loaded UnconsumedOrder::Load(const std::string& path) {
    Loaded loaded;
    std::string text;
    if (!platform::ReadWholeFile(path, text)) return loaded;
    loaded.exists = true;
    json parsed = json::parse(text, nullptr, false);
    if (!parsed.is_discarded() && parsed.is_object()) {
        loaded.document = std::move(parsed);
    } else {
        loaded.raw = std::move(text);
    }
    return loaded;
}

bool UnconsumedOrder::Store(const std::string& path, const Loaded& old, const json& document) {
    if (old.exists && !old.document.is_object() && !old.raw.empty()) {
        // A store that cannot be read may still hold paid orders someone can recover by hand;
        // it is never overwritten before a copy sits beside it.
        const auto stamp = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
        std::string aside = path + kKeptAsideInfix + std::to_string(stamp);
        std::string existing;
        for (int n = 1; platform::ReadWholeFile(aside, existing); ++n) {
            aside = path + kKeptAsideInfix + std::to_string(stamp) + "-" + std::to_string(n);
        }
        if (platform::ReplaceFileAtomically(aside, old.raw)) {
            LOG(WARNING) << "Unreadable OrderData kept aside: " << aside;
        } else {
            LOG(ERROR) << "Unreadable OrderData could not be kept aside: " << aside;
        }
    }
    const std::string text = Dump(document);
    const bool written = platform::ReplaceFileAtomically(path, text);
    if (written) {
        LOG(INFO) << "Write OrderData Json Success: " << text;
    } else {
        LOG(ERROR) << "Write OrderData Json Failed: " << path;
    }
    return written;
}

std::shared_ptr<json> UnconsumedOrder::ReadJson() {
    std::lock_guard<std::mutex> lock(mutex_);
    Loaded loaded = Load(getConfigPath());
    if (loaded.exists && loaded.document.is_null() && !loaded.raw.empty()) {
        json parsed = json::parse(loaded.raw, nullptr, false);
        if (!parsed.is_discarded()) return std::make_shared<json>(std::move(parsed));
    }
    return std::make_shared<json>(std::move(loaded.document));
}

void UnconsumedOrder::WriteCofnigJson(std::shared_ptr<json> document) {
    if (!document) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string path = getConfigPath();
    Store(path, Load(path), *document);
}

bool UnconsumedOrder::AddOrder(std::shared_ptr<OrderInfo> order) {
    if (!order || order->epicEntitlementId.empty()) return false;
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string path = getConfigPath();
        Loaded old = Load(path);
        json document = old.document.is_object() ? old.document : json::object();
        document[order->epicEntitlementId] = OrderToJson(*order);
        return Store(path, old, document);
    } catch (const std::exception& e) {
        LOG(ERROR) << "Add OrderData failed: " << e.what();
        return false;
    }
}

void UnconsumedOrder::RemoveOrder(std::string entitlementId) {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string path = getConfigPath();
        Loaded old = Load(path);
        // Nothing to remove from a store that cannot be read; it stays as it is for the next
        // addition to keep aside.
        if (!old.document.is_object()) return;
        json document = old.document;
        document.erase(entitlementId);
        Store(path, old, document);
    } catch (const std::exception& e) {
        LOG(ERROR) << "Remove OrderData failed: " << e.what();
    }
}

std::shared_ptr<OrderInfo> UnconsumedOrder::FindOrder(std::string entitlementId, StoredOrder* state) {
    if (state != nullptr) *state = StoredOrder::Absent;
    json document;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        document = Load(getConfigPath()).document;
    }
    if (!document.is_object()) return nullptr;
    auto it = document.find(entitlementId);
    if (it == document.end()) return nullptr;
    try {
        auto order = OrderFromJson(*it);
        if (state != nullptr) *state = StoredOrder::Found;
        return order;
    } catch (const std::exception& e) {
        LOG(ERROR) << "Stored order skipped, epicEntitlementId: " << entitlementId << ", " << e.what();
        if (state != nullptr) *state = StoredOrder::Unreadable;
        return nullptr;
    }
}

bool UnconsumedOrder::AddPendingOrder(const OrderInfo& order) {
    if (order.orderId.empty()) return false;
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string path = getConfigPath();
        Loaded old = Load(path);
        json document = old.document.is_object() ? old.document : json::object();
        int64_t sequence = 0;
        for (auto& [key, value] : document.items()) {
            if (IsPendingKey(key) && value.is_object() && value.contains(kPendingSequence) &&
                value[kPendingSequence].is_number_integer()) {
                sequence = std::max(sequence, value[kPendingSequence].get<int64_t>());
            }
        }
        json entry = OrderToJson(order);
        entry[kPendingSequence] = sequence + 1;
        document[kPendingPrefix + order.orderId] = std::move(entry);
        return Store(path, old, document);
    } catch (const std::exception& e) {
        LOG(ERROR) << "Add pending OrderData failed: " << e.what();
        return false;
    }
}

bool UnconsumedOrder::SettlePendingOrder(const std::shared_ptr<OrderInfo>& order) {
    if (!order) return false;
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string path = getConfigPath();
        Loaded old = Load(path);
        json document = old.document.is_object() ? old.document : json::object();
        const bool hadPending = document.erase(kPendingPrefix + order->orderId) > 0;
        const bool paid = !order->epicEntitlementId.empty();
        if (paid) document[order->epicEntitlementId] = OrderToJson(*order);
        if (!paid && !hadPending) return true;
        return Store(path, old, document);
    } catch (const std::exception& e) {
        LOG(ERROR) << "Settle OrderData failed: " << e.what();
        return false;
    }
}

std::vector<std::shared_ptr<OrderInfo>> UnconsumedOrder::PendingOrders() {
    json document;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        document = Load(getConfigPath()).document;
    }
    std::vector<std::pair<int64_t, std::shared_ptr<OrderInfo>>> found;
    if (document.is_object()) {
        for (auto& [key, value] : document.items()) {
            if (!IsPendingKey(key)) continue;
            try {
                int64_t sequence = value.value(kPendingSequence, int64_t(0));
                found.emplace_back(sequence, OrderFromJson(value));
            } catch (const std::exception& e) {
                LOG(ERROR) << "Pending order skipped: " << key << ", " << e.what();
            }
        }
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::shared_ptr<OrderInfo>> orders;
    for (auto& entry : found) orders.push_back(std::move(entry.second));
    return orders;
}

}  // namespace VondSdk
