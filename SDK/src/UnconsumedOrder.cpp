#include "src/UnconsumedOrder.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <functional>

#include "easylogging++.h"
#include "platform/Platform.h"
#include "src/CVondCore.h"
#include "src/CVondPay.h"
#include "utils/VondConfigUtils.h"
#include "utils/VondJson.h"

namespace VondSdk {
namespace {

using nlohmann::json;

constexpr char kPendingPrefix[] = "pending:";
constexpr char kPendingSequence[] = "pendingSequence";
constexpr char kKeptAsideInfix[] = ".unreadable-";
// Written into a store that replaced a torn one: records of this player were lost there.
constexpr char kLostMarkerPrefix[] = "lost:";
constexpr char kPendingSince[] = "pendingSince";
// Entitlement passes that saw no entitlement for a pending order: with its age, the only
// evidence that lets it go (a clock set forward alone never does).
constexpr char kPasses[] = "passes";
constexpr char kLockBusy[] = " refused, OrderData held by another process";

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The members of a torn top-level object that are still whole, e.g. every order before the
// point where an older build's in-place write was cut short. Strings are skipped as strings,
// so braces inside extInfo do not count.
json SalvageOrders(const std::string& text) {
    json salvaged = json::object();
    auto skipString = [&text](size_t i) -> size_t {  // i at the opening quote; returns past the closing one
        for (++i; i < text.size(); ++i) {
            if (text[i] == '\\') {
                ++i;
            } else if (text[i] == '"') {
                return i + 1;
            }
        }
        return std::string::npos;
    };
    auto skipSpace = [&text](size_t i) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\n' || text[i] == '\r' || text[i] == '\t')) ++i;
        return i;
    };
    size_t i = skipSpace(0);
    if (i >= text.size() || text[i] != '{') return salvaged;
    ++i;
    for (;;) {
        i = skipSpace(i);
        if (i < text.size() && text[i] == ',') i = skipSpace(i + 1);
        if (i >= text.size() || text[i] != '"') break;
        const size_t keyEnd = skipString(i);
        if (keyEnd == std::string::npos) break;
        const json key = json::parse(text.begin() + i, text.begin() + keyEnd, nullptr, false);
        i = skipSpace(keyEnd);
        if (i >= text.size() || text[i] != ':') break;
        i = skipSpace(i + 1);
        if (i >= text.size() || text[i] != '{') break;
        const size_t valueStart = i;
        int depth = 0;
        size_t valueEnd = std::string::npos;
        while (i < text.size()) {
            if (text[i] == '"') {
                i = skipString(i);
                if (i == std::string::npos) break;
                continue;
            }
            if (text[i] == '{' || text[i] == '[') ++depth;
            if ((text[i] == '}' || text[i] == ']') && --depth == 0) {
                valueEnd = i + 1;
                break;
            }
            ++i;
        }
        if (valueEnd == std::string::npos) break;
        const json value = json::parse(text.begin() + valueStart, text.begin() + valueEnd, nullptr, false);
        if (key.is_string() && !value.is_discarded()) salvaged[key.get<std::string>()] = value;
        i = valueEnd;
    }
    return salvaged;
}

bool IsPendingKey(const std::string& key) {
    return key.rfind(kPendingPrefix, 0) == 0;
}

std::string Str(const json& value, const char* key) {
    return value.at(key).get<std::string>();
}

// The amounts are 64-bit signed integers; a fraction or a value past that range is not one.
int64_t Int64(const json& value, const char* key) {
    return IntegerIn(value.at(key), INT64_MIN, INT64_MAX, key);
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

std::string OwnStore(const std::string& userId) {
    const std::string& id = userId;
    // A folder name, never a path: an id read back from a file is checked like the backend's.
    const bool number = !id.empty() && id.size() <= 20 &&
                        std::all_of(id.begin() + (id[0] == '-' ? 1 : 0), id.end(),
                                    [](char c) { return c >= '0' && c <= '9'; }) &&
                        id != "-";
    return number ? id : std::string();
}

std::string UnconsumedOrder::getConfigPath() {
    return getConfigPath(std::string());
}

std::string UnconsumedOrder::getConfigPath(const std::string& userId) {
    const CVondCore& core = CVondCore::Instance();
    const char separator = platform::PathSeparator();
    const std::string folder = GetSdkDataDir() + separator + core.GetGlobalParams().appId + separator +
                               (userId.empty() ? core.GetUserId() : userId);
    if (!CreateDirectories(folder)) LOG(ERROR) << "Cant Create Path: " << folder;
    return folder + separator + fileName_;
}

UnconsumedOrder::Loaded UnconsumedOrder::Load(const std::string& path) {
    Loaded loaded;
    std::string text;
    loaded.read = platform::ReadFileState(path, text);
    if (loaded.read == platform::ReadResult::Error) {
        LOG(ERROR) << "OrderData unreadable, left as it is: " << path;
        return loaded;
    }
    loaded.document = json::object();
    if (loaded.read == platform::ReadResult::Found) {
        json parsed = json::parse(text, nullptr, false);
        if (!parsed.is_discarded() && parsed.is_object()) {
            loaded.document = std::move(parsed);
        } else {
            loaded.torn = true;
            loaded.document = SalvageOrders(text);
            loaded.raw = std::move(text);
        }
    }
    // Changes that could not reach the disk yet are part of what this process knows.
    auto deferred = deferred_.find(path);
    if (deferred != deferred_.end()) {
        for (const auto& change : deferred->second) change(loaded.document);
    }
    return loaded;
}

bool UnconsumedOrder::Store(const std::string& path, const Loaded& old, json& document) {
    if (old.torn) {
        // A store that cannot be read may still hold paid orders someone can recover by hand;
        // it is never overwritten before a copy sits beside it, and the new document says
        // that records of this player were lost, so that nothing is consumed on guesswork.
        const auto stamp = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
        std::string aside = path + kKeptAsideInfix + std::to_string(stamp);
        std::string existing;
        for (int n = 1; platform::ReadFileState(aside, existing) != platform::ReadResult::Absent; ++n) {
            aside = path + kKeptAsideInfix + std::to_string(stamp) + "-" + std::to_string(n);
        }
        if (old.raw.find_first_not_of(" \t\r\n") == std::string::npos) {
            // An empty file held no record: nothing was lost, so no marker.
            LOG(WARNING) << "Empty OrderData replaced: " << path;
        } else if (platform::ReplaceFileAtomically(aside, old.raw)) {
            LOG(WARNING) << "Unreadable OrderData kept aside: " << aside;
            const size_t cut = aside.find_last_of(platform::PathSeparator());
            // The salvaged pending records' highest number: a record numbered above it was made
            // after the loss (even in this very write), one at or below it may share an item
            // with what was lost.
            int64_t salvaged = 0;
            for (auto& [key, value] : old.document.items()) {
                if (IsPendingKey(key) && value.is_object()) salvaged = std::max(salvaged, value.value(kPendingSequence, int64_t(0)));
            }
            document[kLostMarkerPrefix + aside.substr(cut == std::string::npos ? 0 : cut + 1)] =
                json{{"at", stamp}, {kPendingSequence, salvaged}};
        } else {
            LOG(ERROR) << "Unreadable OrderData could not be kept aside: " << aside;
            return false;
        }
    }
    const std::string text = CompactJson(document);
    const bool written = platform::ReplaceFileAtomically(path, text);
    if (written) {
        LOG(INFO) << "Write OrderData Json Success: " << text;
    } else {
        LOG(ERROR) << "Write OrderData Json Failed: " << path;
    }
    return written;
}

bool UnconsumedOrder::Mutate(const char* what, const std::function<bool(json&)>& change, bool deferOnFailure,
                             const std::string& userId) {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        return MutateAt(getConfigPath(userId), what, change, deferOnFailure);
    } catch (const std::exception& e) {
        LOG(ERROR) << what << " failed: " << e.what();
        return false;
    }
}

bool UnconsumedOrder::MutateAt(const std::string& path, const char* what, const std::function<bool(json&)>& change,
                               bool deferOnFailure) {
    auto defer = [&] {
        if (!change || !deferOnFailure) return;
        deferred_[path].push_back(change);
        deferredCount_.store(deferred_.size());
    };
    // A second game process on this folder (the game started twice, an editor beside a player
    // build) must never write back a document read before its own change.
    platform::FileLock processes;
    if (processes.LockFor(path) == platform::FileLock::Outcome::Held) {
        LOG(ERROR) << what << kLockBusy;
        defer();
        return false;
    }
    Loaded old = Load(path);
    if (old.read == platform::ReadResult::Error) {
        // Never written over: the change waits for a read that succeeds.
        defer();
        LOG(ERROR) << what << " deferred, OrderData unreadable";
        return false;
    }
    json document = old.document;
    const bool changed = change ? change(document) : false;
    auto deferred = deferred_.find(path);
    const bool anyDeferred = deferred != deferred_.end() && !deferred->second.empty();
    // A torn store is only replaced to record something; until then it stays as it is.
    if (!changed && !anyDeferred) return true;
    if (!Store(path, old, document)) {
        if (changed) defer();
        return false;
    }
    deferred_.erase(path);
    deferredCount_.store(deferred_.size());
    return true;
}

bool UnconsumedOrder::RetryDeferred() {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> paths;
        for (const auto& entry : deferred_) paths.push_back(entry.first);
        for (const std::string& path : paths) MutateAt(path, "Write deferred OrderData", nullptr, false);
        return deferred_.empty();
    } catch (const std::exception& e) {
        LOG(ERROR) << "Write deferred OrderData failed: " << e.what();
        return false;
    }
}

std::shared_ptr<json> UnconsumedOrder::ReadJson() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    if (platform::ReadFileState(getConfigPath(), text) != platform::ReadResult::Found) {
        return std::make_shared<json>();
    }
    json parsed = json::parse(text, nullptr, false);
    return std::make_shared<json>(parsed.is_discarded() ? json() : std::move(parsed));
}

void UnconsumedOrder::WriteCofnigJson(std::shared_ptr<json> document) {
    if (!document) return;
    json replacement = *document;
    Mutate("Write OrderData", [replacement](json& current) {
        current = replacement;
        return true;
    });
}

bool UnconsumedOrder::AddOrder(std::shared_ptr<OrderInfo> order) {
    if (!order || order->epicEntitlementId.empty()) return false;
    const std::string key = order->epicEntitlementId;
    const json entry = OrderToJson(*order);
    return Mutate("Add OrderData", [key, entry](json& document) {
        document[key] = entry;
        return true;
    });
}

bool UnconsumedOrder::RemoveOrder(std::string entitlementId, const std::string& userId) {
    return Mutate(
        "Remove OrderData", [entitlementId](json& document) { return document.erase(entitlementId) > 0; }, true,
        userId);
}

std::shared_ptr<OrderInfo> UnconsumedOrder::FindOrder(std::string entitlementId, StoredOrder* state) {
    if (state != nullptr) *state = StoredOrder::Absent;
    Loaded loaded;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        loaded = Load(getConfigPath());
    }
    if (!loaded.document.is_object()) {
        if (state != nullptr) *state = StoredOrder::Unreadable;
        return nullptr;
    }
    auto it = loaded.document.find(entitlementId);
    if (it == loaded.document.end()) {
        // What was lost with a torn store may be this very order.
        if (state != nullptr && loaded.torn) *state = StoredOrder::Unreadable;
        return nullptr;
    }
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
    json entry = OrderToJson(order);
    entry[kPendingSince] = NowMs();
    const std::string key = kPendingPrefix + order.orderId;
    // Refused rather than deferred: the caller then opens no checkout, and a record that
    // reached the disk later would name an order nobody paid for.
    return Mutate("Add pending OrderData", [key, entry](json& document) {
        int64_t sequence = 0;
        for (auto& [name, value] : document.items()) {
            if (IsPendingKey(name) && value.is_object() && value.contains(kPendingSequence) &&
                value[kPendingSequence].is_number_integer()) {
                sequence = std::max(sequence, value[kPendingSequence].get<int64_t>());
            }
        }
        json stored = entry;
        stored[kPendingSequence] = sequence + 1;
        document[key] = std::move(stored);
        return true;
    }, false, OwnStore(order.userId));
}

bool UnconsumedOrder::ClosePendingOrder(const std::shared_ptr<OrderInfo>& order) {
    if (!order) return false;
    const std::string pendingKey = kPendingPrefix + order->orderId;
    const std::string entitlementId = order->epicEntitlementId;
    const json entry = OrderToJson(*order);
    return Mutate("Settle OrderData", [pendingKey, entitlementId, entry](json& document) {
        const bool hadPending = document.erase(pendingKey) > 0;
        if (entitlementId.empty()) return hadPending;
        document[entitlementId] = entry;
        return true;
    }, true, OwnStore(order->userId));
}

std::vector<std::shared_ptr<OrderInfo>> UnconsumedOrder::PendingOrders() {
    std::vector<std::shared_ptr<OrderInfo>> orders;
    for (auto& record : Snapshot().pending) orders.push_back(std::move(record.order));
    return orders;
}

OrderSnapshot UnconsumedOrder::Snapshot() {
    OrderSnapshot snapshot;
    Loaded loaded;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        loaded = Load(getConfigPath());
    }
    if (!loaded.document.is_object()) {
        snapshot.complete = false;
        snapshot.readable = false;
        return snapshot;
    }
    if (loaded.torn) snapshot.complete = false;
    // The latest marker: records before it may share an item with what was lost. Its pending
    // number says which records came after it; a marker of an older build has only its time.
    int64_t lostThroughSequence = -1;
    std::vector<std::pair<int64_t, PendingRecord>> pending;
    for (auto& [key, value] : loaded.document.items()) {
        if (key.rfind(kLostMarkerPrefix, 0) == 0) {
            int64_t at = 1;
            int64_t sequence = -1;
            if (value.is_object()) {
                if (value.contains("at") && value["at"].is_number_integer()) at = std::max<int64_t>(1, value["at"].get<int64_t>());
                if (value.contains(kPendingSequence) && value[kPendingSequence].is_number_integer()) {
                    sequence = value[kPendingSequence].get<int64_t>();
                }
            }
            if (at >= snapshot.lostBeforeMs) {
                snapshot.lostBeforeMs = at;
                lostThroughSequence = sequence;
            }
            continue;
        }
        try {
            if (IsPendingKey(key)) {
                PendingRecord record;
                record.order = OrderFromJson(value);
                record.sinceMs = value.value(kPendingSince, int64_t(0));
                record.passes = value.value(kPasses, int64_t(0));
                pending.emplace_back(value.value(kPendingSequence, int64_t(0)), std::move(record));
            } else {
                snapshot.stored[key] = OrderFromJson(value);
            }
        } catch (const std::exception& e) {
            LOG(ERROR) << "Stored order unreadable: " << key << ", " << e.what();
            snapshot.complete = false;
            if (!IsPendingKey(key)) snapshot.unreadable.insert(key);
        }
    }
    std::stable_sort(pending.begin(), pending.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& entry : pending) {
        PendingRecord& record = entry.second;
        if (snapshot.lostBeforeMs > 0) {
            record.afterLoss = lostThroughSequence >= 0 ? entry.first > lostThroughSequence
                                                        : record.sinceMs > snapshot.lostBeforeMs;
        }
        snapshot.pending.push_back(std::move(record));
    }
    return snapshot;
}

bool UnconsumedOrder::DropPendingOlderThan(int64_t cutoffMs, int64_t minPasses) {
    return Mutate("Drop old pending OrderData", [cutoffMs, minPasses](json& document) {
        std::vector<std::string> old;
        for (auto& [key, value] : document.items()) {
            if (!IsPendingKey(key) || !value.is_object()) continue;
            auto since = value.find(kPendingSince);
            auto passes = value.find(kPasses);
            const bool aged = since != value.end() && since->is_number_integer() && since->get<int64_t>() < cutoffMs;
            const bool looked = passes != value.end() && passes->is_number_integer() && passes->get<int64_t>() >= minPasses;
            if (aged && looked) old.push_back(key);
        }
        for (const std::string& key : old) {
            LOG(WARNING) << "Pending order dropped after 30 days without an entitlement: "
                         << key.substr(sizeof kPendingPrefix - 1);
            document.erase(key);
        }
        return !old.empty();
    });
}

bool UnconsumedOrder::CountPassWithout(const std::vector<std::string>& orderIds) {
    if (orderIds.empty()) return true;
    return Mutate("Count pending OrderData passes", [orderIds](json& document) {
        bool changed = false;
        for (const std::string& orderId : orderIds) {
            auto it = document.find(kPendingPrefix + orderId);
            if (it == document.end() || !it->is_object()) continue;
            const int64_t passes = it->value(kPasses, int64_t(0));
            (*it)[kPasses] = passes + 1;
            changed = true;
        }
        return changed;
    });
}

bool UnconsumedOrder::ClearLostMarkers(int64_t cutoffMs, int64_t minPasses) {
    return Mutate("Clear OrderData lost markers", [cutoffMs, minPasses](json& document) {
        std::vector<std::string> markers;
        bool changed = false;
        for (auto& [key, value] : document.items()) {
            if (key.rfind(kLostMarkerPrefix, 0) != 0 || !value.is_object()) continue;
            const int64_t passes = value.value(kPasses, int64_t(0)) + 1;
            value[kPasses] = passes;
            changed = true;
            auto at = value.find("at");
            const bool aged = at != value.end() && at->is_number_integer() && at->get<int64_t>() < cutoffMs;
            if (aged && passes >= minPasses) markers.push_back(key);
        }
        for (const std::string& key : markers) {
            LOG(INFO) << "Every entitlement accounted for, lost-records marker removed: " << key;
            document.erase(key);
        }
        return changed;
    });
}

}  // namespace VondSdk
