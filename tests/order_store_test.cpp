// The store of paid orders whose entitlements are not yet redeemed: what reaches the disk,
// and that nothing a paid order depends on is dropped, whatever the file held before.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Platform.h"
#include "src/CVondCore.h"
#include "src/CVondPay.h"
#include "support/TestEnv.h"

using nlohmann::json;
using VondSdk::CVondCore;
using VondSdk::OrderInfo;
using VondSdk::StoredOrder;
using VondSdk::UnconsumedOrder;

namespace {

std::shared_ptr<OrderInfo> SampleOrder(const std::string& entitlementId, const std::string& orderId = "o-1") {
    auto order = std::make_shared<OrderInfo>();
    order->userId = "42";
    order->serverId = "s1";
    order->gameUserId = "g1";
    order->productId = "p1";
    order->channelProductId = "offer1";
    order->orderId = orderId;
    order->productName = "Gems";
    order->defaultCurrency = "USD";
    order->defaultAmountMicro = 9990000;
    order->virtualCoinAmount = 100;
    order->virtualCurrency = "gem";
    order->extInfo = "ext";
    order->epicTransId = "t-1";
    order->epicEntitlementId = entitlementId;
    return order;
}

class OrderStore : public ::testing::Test {
protected:
    void SetUp() override {
        vondtest::SetEnv("VOND_SDK_DATA_DIR", data_.Path());
        CVondCore::Instance().InitGlobalParams("app-1", "key-1");
        CVondCore::Instance().SetSession("token", "42");
    }
    static std::string Sep() { return std::string(1, VondSdk::platform::PathSeparator()); }
    std::string Folder(const std::string& userId = "42") {
        return data_.Path() + Sep() + "app-1" + Sep() + userId;
    }
    std::string StoreText(const std::string& userId = "42") {
        std::string text;
        vondtest::ReadFile(Folder(userId) + Sep() + "UnconsumedOrder", text);
        return text;
    }
    std::vector<std::string> KeptAside() {
        std::vector<std::string> names;
        for (auto& entry : std::filesystem::directory_iterator(Folder())) {
            std::string name = entry.path().filename().string();
            if (name.rfind("UnconsumedOrder.unreadable-", 0) == 0) names.push_back(entry.path().string());
        }
        return names;
    }

    vondtest::TempDir data_;
    UnconsumedOrder& store_ = UnconsumedOrder::getInstance();
};

}  // namespace

TEST_F(OrderStore, AddReplaceAndRemoveWriteCompactSortedDocuments) {
    EXPECT_EQ(store_.getConfigPath(), Folder() + Sep() + "UnconsumedOrder");
    EXPECT_TRUE(vondtest::FileExists(Folder()));

    ASSERT_TRUE(store_.AddOrder(SampleOrder("E1")));
    EXPECT_EQ(StoreText(),
              R"({"E1":{"channelProductId":"offer1","defaultAmountMicro":9990000,"defaultCurrency":"USD",)"
              R"("epicEntitlementId":"E1","epicTransId":"t-1","extInfo":"ext","gameUserId":"g1","orderId":"o-1",)"
              R"("productId":"p1","productName":"Gems","serverId":"s1","userId":"42","virtualCoinAmount":100,)"
              R"("virtualCurrency":"gem"}})");

    auto replacement = SampleOrder("E1", "o-2");
    ASSERT_TRUE(store_.AddOrder(replacement));
    ASSERT_TRUE(store_.AddOrder(SampleOrder("E2")));
    json document = json::parse(StoreText());
    EXPECT_EQ(document.size(), 2u);
    EXPECT_EQ(document["E1"]["orderId"], "o-2");

    auto found = store_.FindOrder("E1");
    ASSERT_TRUE(found);
    EXPECT_EQ(VondSdk::OrderToJson(*found), VondSdk::OrderToJson(*replacement));
    EXPECT_FALSE(store_.FindOrder("E3"));

    // No entitlement, nothing to key the order by: it is not stored.
    EXPECT_FALSE(store_.AddOrder(SampleOrder("")));
    EXPECT_FALSE(store_.AddOrder(nullptr));

    store_.RemoveOrder("E1");
    store_.RemoveOrder("E2");
    EXPECT_EQ(StoreText(), "{}");
    store_.RemoveOrder("E9");
    EXPECT_EQ(StoreText(), "{}");
    // Nothing was ever unreadable, so nothing was kept aside, and no temporary file is left;
    // the lock file that serialises processes stays (removing one a process may hold would
    // let a second holder in).
    std::vector<std::string> files;
    for (auto& entry : std::filesystem::directory_iterator(Folder())) files.push_back(entry.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"UnconsumedOrder", "UnconsumedOrder.lock"}));
}

TEST_F(OrderStore, UnreadableStoreIsKeptAsideBeforeTheNewOrderReplacesIt) {
    std::filesystem::create_directories(Folder());
    const std::string corrupt = R"({"E0":{"orderId":"o-0",)";
    vondtest::WriteFile(Folder() + Sep() + "UnconsumedOrder", corrupt);

    EXPECT_TRUE(store_.ReadJson()->is_null());
    EXPECT_FALSE(store_.FindOrder("E0"));
    // Removal has nothing to remove and leaves the file for someone to recover.
    store_.RemoveOrder("E0");
    EXPECT_EQ(StoreText(), corrupt);
    EXPECT_TRUE(KeptAside().empty());

    ASSERT_TRUE(store_.AddOrder(SampleOrder("E1")));
    json document = json::parse(StoreText());
    // The new order, and a mark that records of this player were lost with the torn store
    // before this instant; what is recorded after it is whole.
    EXPECT_EQ(document.size(), 2u);
    EXPECT_TRUE(document.contains("E1"));
    const VondSdk::OrderSnapshot snapshot = store_.Snapshot();
    EXPECT_TRUE(snapshot.complete);
    EXPECT_GT(snapshot.lostBeforeMs, 0);
    // A pass that found everything accounted for only counts on the marker until it is old
    // and has been seen by enough of them.
    ASSERT_TRUE(store_.ClearLostMarkers(snapshot.lostBeforeMs, 2));
    EXPECT_EQ(store_.Snapshot().lostBeforeMs, snapshot.lostBeforeMs);
    ASSERT_TRUE(store_.ClearLostMarkers(snapshot.lostBeforeMs + 1, 3));
    EXPECT_EQ(store_.Snapshot().lostBeforeMs, snapshot.lostBeforeMs);
    ASSERT_TRUE(store_.ClearLostMarkers(snapshot.lostBeforeMs + 1, 3));
    EXPECT_EQ(store_.Snapshot().lostBeforeMs, 0);
    EXPECT_EQ(json::parse(StoreText()).size(), 1u);
    auto aside = KeptAside();
    ASSERT_EQ(aside.size(), 1u);
    std::string kept;
    vondtest::ReadFile(aside[0], kept);
    EXPECT_EQ(kept, corrupt);
}

TEST_F(OrderStore, DocumentThatIsNotAnObjectCountsAsEmptyAndIsReplacedOnAddition) {
    std::filesystem::create_directories(Folder());
    vondtest::WriteFile(Folder() + Sep() + "UnconsumedOrder", R"(["E1"])");

    EXPECT_TRUE(store_.ReadJson()->is_array());
    EXPECT_FALSE(store_.FindOrder("E1"));
    store_.RemoveOrder("E1");
    EXPECT_EQ(StoreText(), R"(["E1"])");

    ASSERT_TRUE(store_.AddOrder(SampleOrder("E1")));
    EXPECT_TRUE(json::parse(StoreText()).contains("E1"));
    EXPECT_EQ(KeptAside().size(), 1u);
    EXPECT_GT(store_.Snapshot().lostBeforeMs, 0);
}

TEST_F(OrderStore, EntryWithMissingOrMistypedMemberIsSkippedNotThrown) {
    ASSERT_TRUE(store_.AddOrder(SampleOrder("E1")));
    json document = json::parse(StoreText());
    document["E2"] = document["E1"];
    document["E2"].erase("orderId");
    document["E3"] = document["E1"];
    document["E3"]["defaultAmountMicro"] = "9990000";
    document["E4"] = document["E1"];
    document["E4"]["virtualCoinAmount"] = 1.5;
    document["E5"] = "not an order";
    vondtest::WriteFile(Folder() + Sep() + "UnconsumedOrder", document.dump());

    for (const char* id : {"E2", "E3", "E4", "E5"}) {
        StoredOrder state = StoredOrder::Found;
        EXPECT_FALSE(store_.FindOrder(id, &state)) << id;
        EXPECT_EQ(state, StoredOrder::Unreadable) << id;
    }
    StoredOrder state = StoredOrder::Found;
    EXPECT_FALSE(store_.FindOrder("E9", &state));
    EXPECT_EQ(state, StoredOrder::Absent);
    EXPECT_TRUE(store_.FindOrder("E1", &state));
    EXPECT_EQ(state, StoredOrder::Found);
    EXPECT_THROW(VondSdk::OrderFromJson(document["E2"]), json::exception);

    // The other entries survive a removal untouched.
    store_.RemoveOrder("E1");
    json after = json::parse(StoreText());
    EXPECT_EQ(after.size(), 4u);
    EXPECT_EQ(after["E3"], document["E3"]);
}

TEST_F(OrderStore, StoresOfTwoUsersAreSeparate) {
    ASSERT_TRUE(store_.AddOrder(SampleOrder("E1")));
    CVondCore::Instance().SetSession("token", "4294967297");
    EXPECT_EQ(store_.getConfigPath(), Folder("4294967297") + Sep() + "UnconsumedOrder");
    EXPECT_FALSE(store_.FindOrder("E1"));
    ASSERT_TRUE(store_.AddOrder(SampleOrder("E2")));
    EXPECT_FALSE(json::parse(StoreText("4294967297")).contains("E1"));

    CVondCore::Instance().SetSession("token", "42");
    EXPECT_TRUE(store_.FindOrder("E1"));
    EXPECT_FALSE(store_.FindOrder("E2"));
}

TEST_F(OrderStore, PendingOrderBecomesTheStoredOrderInOneWrite) {
    auto order = SampleOrder("", "o-7");
    order->epicTransId.clear();
    ASSERT_TRUE(store_.AddPendingOrder(*order));
    ASSERT_TRUE(store_.AddPendingOrder(*SampleOrder("", "o-8")));
    auto pending = store_.PendingOrders();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0]->orderId, "o-7");
    EXPECT_EQ(pending[1]->orderId, "o-8");
    // A pending order is not an entitlement's order.
    EXPECT_FALSE(store_.FindOrder(""));

    order->epicEntitlementId = "E7";
    order->epicTransId = "t-7";
    ASSERT_TRUE(store_.ClosePendingOrder(order));
    json document = json::parse(StoreText());
    EXPECT_FALSE(document.contains("pending:o-7"));
    EXPECT_EQ(document["E7"]["orderId"], "o-7");
    ASSERT_EQ(store_.PendingOrders().size(), 1u);

    // A checkout that did not pay only drops the pending entry.
    ASSERT_TRUE(store_.ClosePendingOrder(SampleOrder("", "o-8")));
    EXPECT_TRUE(store_.PendingOrders().empty());
    EXPECT_EQ(json::parse(StoreText()).size(), 1u);
}

// What a login pass may rely on, whatever state the file was left in: an intact store, one
// torn by an older build's in-place write (whole entries before the cut are salvaged), an
// empty one, and one that cannot be read at all (a folder in its place). A store that
// cannot be read is never written over; the change waits in memory for a readable one.
TEST_F(OrderStore, EveryStateOfTheFileIsReadAsFoundAbsentOrUnreadable) {
    const json e1 = VondSdk::OrderToJson(*SampleOrder("E1", "o-1"));
    const std::string whole = json{{"E1", e1}}.dump();
    struct Case {
        const char* name;
        std::string text;  // the file's bytes; "<dir>" for a folder in its place
        bool complete;
        bool e1Found;
        bool addWrites;
        bool marked;  // the replacing store says records were lost before it
    };
    const Case cases[] = {
        {"intact", whole, true, true, true, false},
        {"torn after an entry", whole.substr(0, whole.size() - 1) + R"(,"E2":{"orderId":"o-)", false, true, true, true},
        {"torn inside the first entry", whole.substr(0, 40), false, false, true, true},
        {"empty", "", false, false, true, false},
        {"folder in its place", "<dir>", false, false, false, false},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(Folder());
        std::filesystem::create_directories(Folder());
        const std::string path = Folder() + Sep() + "UnconsumedOrder";
        if (c.text == "<dir>") {
            std::filesystem::create_directories(path);
            vondtest::WriteFile(path + Sep() + "inside", "kept");
        } else {
            vondtest::WriteFile(path, c.text);
        }
        auto snapshot = store_.Snapshot();
        EXPECT_EQ(snapshot.complete, c.complete) << c.name;
        EXPECT_EQ(snapshot.stored.count("E1") == 1, c.e1Found) << c.name;
        StoredOrder state = StoredOrder::Absent;
        store_.FindOrder("E9", &state);
        EXPECT_EQ(state, c.complete ? StoredOrder::Absent : StoredOrder::Unreadable) << c.name;

        EXPECT_EQ(store_.AddOrder(SampleOrder("E3", "o-3")), c.addWrites) << c.name;
        if (c.addWrites) {
            json after = json::parse(StoreText());
            EXPECT_TRUE(after.contains("E3")) << c.name;
            EXPECT_EQ(after.contains("E1"), c.e1Found) << c.name;
            // Replaced, the store is whole from here on; a marker remembers what was lost.
            EXPECT_TRUE(store_.Snapshot().complete) << c.name;
            EXPECT_EQ(store_.Snapshot().lostBeforeMs > 0, c.marked) << c.name;
        } else {
            EXPECT_TRUE(std::filesystem::is_directory(path)) << c.name;
            std::string kept;
            vondtest::ReadFile(path + Sep() + "inside", kept);
            EXPECT_EQ(kept, "kept") << c.name;
            // Readable again: the deferred order reaches the disk with the next write.
            std::filesystem::remove_all(path);
            ASSERT_TRUE(store_.AddOrder(SampleOrder("E4", "o-4"))) << c.name;
            json after = json::parse(StoreText());
            EXPECT_TRUE(after.contains("E3") && after.contains("E4")) << c.name;
        }
    }
}

TEST_F(OrderStore, PendingOrdersOlderThanThirtyDaysAreDroppedOnlyAfterPassesFoundNothing) {
    ASSERT_TRUE(store_.AddPendingOrder(*SampleOrder("", "o-old")));
    ASSERT_TRUE(store_.AddPendingOrder(*SampleOrder("", "o-new")));
    json document = json::parse(StoreText());
    document["pending:o-old"]["pendingSince"] = 1000;
    vondtest::WriteFile(Folder() + Sep() + "UnconsumedOrder", document.dump());
    const int64_t thirtyDaysAgo = document["pending:o-new"]["pendingSince"].get<int64_t>() - 30LL * 86400000;
    // Old by the clock alone (a clock set forward makes every record old): kept.
    EXPECT_TRUE(store_.DropPendingOlderThan(thirtyDaysAgo, 2));
    EXPECT_EQ(store_.PendingOrders().size(), 2u);
    ASSERT_TRUE(store_.CountPassWithout({"o-old", "o-new"}));
    EXPECT_EQ(store_.PendingOrders().size(), 2u);
    ASSERT_TRUE(store_.CountPassWithout({"o-old", "o-new", "o-unknown"}));
    ASSERT_TRUE(store_.DropPendingOlderThan(thirtyDaysAgo, 2));
    auto pending = store_.PendingOrders();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0]->orderId, "o-new");
}

TEST_F(OrderStore, MissingFolderChainIsCreatedLevelByLevel) {
    const std::string deep = data_.Path() + Sep() + "a" + Sep() + "b" + Sep() + "c";
    EXPECT_TRUE(UnconsumedOrder::CreateDirectories(deep));
    EXPECT_TRUE(vondtest::FileExists(deep));
    EXPECT_TRUE(UnconsumedOrder::CreateDirectories(deep));
    vondtest::WriteFile(data_.Path() + Sep() + "file", "x");
    EXPECT_FALSE(UnconsumedOrder::CreateDirectories(data_.Path() + Sep() + "file" + Sep() + "sub"));
}
