// The store of unconsumed orders, read from whatever the file holds: a torn write, a hand
// edit, another version's document. Reading never throws or crashes, an unreadable entry is
// reported as such, and a new order added over any content is found afterwards with every
// readable entry of an object document kept as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "platform/Platform.h"
#include "src/CVondCore.h"
#include "src/CVondPay.h"

namespace {

using nlohmann::json;
using VondSdk::OrderInfo;
using VondSdk::StoredOrder;
using VondSdk::UnconsumedOrder;

// A data folder of the process's own, in memory where there is one.
const std::string& Folder() {
    static const std::string folder = [] {
        const std::string base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path().string();
        const std::string dir = base + "/vond-fuzz-order-store-" + std::to_string(::getpid());
        std::filesystem::create_directories(dir);
        // Removed when the run ends (the fuzzer ends with exit()), so that runs leave no
        // folders behind in /dev/shm.
        static std::string removeAtExit;
        removeAtExit = dir;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(removeAtExit, ignored);
        });
        ::setenv("VOND_SDK_DATA_DIR", dir.c_str(), 1);
        VondSdk::CVondCore::Instance().InitGlobalParams("fuzz-app", "fuzz-key");
        VondSdk::CVondCore::Instance().SetSession("token", "7");
        return dir + "/fuzz-app/7";
    }();
    return folder;
}

std::shared_ptr<OrderInfo> NewOrder() {
    auto order = std::make_shared<OrderInfo>();
    order->orderId = "fuzz-order";
    order->productId = "p1";
    order->defaultAmountMicro = 990000;
    order->epicEntitlementId = "fuzz-entitlement";
    return order;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& folder = Folder();
    std::filesystem::remove_all(folder);
    UnconsumedOrder& store = UnconsumedOrder::getInstance();
    const std::string path = store.getConfigPath();
    const std::string content(reinterpret_cast<const char*>(data), size);
    if (!VondSdk::platform::ReplaceFileAtomically(path, content)) std::abort();

    const json before = json::parse(content, nullptr, false);
    (void)store.ReadJson();
    if (before.is_object()) {
        for (auto& [key, value] : before.items()) {
            StoredOrder state = StoredOrder::Absent;
            auto found = store.FindOrder(key, &state);
            if ((state == StoredOrder::Found) != static_cast<bool>(found)) std::abort();
            if (state == StoredOrder::Absent) std::abort();
            if (found) {
                const json readBack = VondSdk::OrderToJson(*found);
                for (auto& [member, read] : readBack.items()) {
                    if (value.at(member) != read) std::abort();
                }
            }
        }
    }
    (void)store.PendingOrders();

    auto order = NewOrder();
    if (!store.AddOrder(order)) std::abort();
    StoredOrder state = StoredOrder::Absent;
    auto found = store.FindOrder(order->epicEntitlementId, &state);
    if (state != StoredOrder::Found || !found || VondSdk::OrderToJson(*found) != VondSdk::OrderToJson(*order)) {
        std::abort();
    }
    if (before.is_object()) {
        json after = *store.ReadJson();
        for (auto& [key, value] : before.items()) {
            if (key != order->epicEntitlementId && after[key] != value) std::abort();
        }
    }
    store.RemoveOrder(order->epicEntitlementId);
    if (store.FindOrder(order->epicEntitlementId)) std::abort();
    return 0;
}
