// The C interface: results reach the C callback with its user pointer, on the thread the
// chosen mode promises, in arrival order, and nothing is lost or delivered twice.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "src/CVondCallbackRelay.h"
#include "support/LoopbackServer.h"
#include "support/TestEnv.h"
#include "vondsdk_c.h"

using VondSdk::CVondCallbackRelay;
using vondtest::LoopbackServer;

namespace {

struct CRecord {
    int code = 0;
    std::string message;
    std::string data;
    void* user = nullptr;
    std::thread::id thread;
};

std::mutex g_mutex;
std::vector<CRecord> g_records;

void Record(int code, const char* message, const char* data, void* user) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_records.push_back(CRecord{code, message, data, user, std::this_thread::get_id()});
}

std::vector<CRecord> Records() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_records;
}

std::string HttpAnswer(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

bool IsStartUpOutcome(const CRecord& record) {
    return record.message == "Epic Init Failure!" || record.message == "Epic Init Success!";
}

// The backend answers every request with HTTP 500; the SDK reads its origin at its first
// request, which may come before start-up (a product query), so it is set first of all.
class CInterface : public ::testing::Test {
protected:
    void SetUp() override {
        vondtest::SetEnv("VOND_SDK_DATA_DIR", data_.Path());
        vondtest::TrustTestCa();
        server_.Reply(HttpAnswer(500, "{}"));
        vondtest::SetEnv("VOND_SDK_ORIGIN", server_.Url(""));
    }
    LoopbackServer server_{vondtest::ServerCert::Trusted};
    vondtest::TempDir data_;
    vondtest::TempDir cwd_;
    vondtest::ScopedCurrentDir inside_{cwd_.Path()};
    int login_ = 0, pay_ = 0, init_ = 0;
};

}  // namespace

TEST_F(CInterface, DefaultModeAnswersWhereTheResultArisesWithTheUserPointer) {
    vond_login(&Record, &login_);
    vond_call_pay("gem_pack_1", nullptr, &Record, &pay_);
    // A refusal comes before the function returns, on the caller's thread.
    auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].code, -401);
    EXPECT_EQ(records[0].message, "Sdk Not Init.");
    EXPECT_EQ(records[0].data, "");
    EXPECT_EQ(records[0].user, &login_);
    EXPECT_EQ(records[0].thread, std::this_thread::get_id());
    EXPECT_EQ(records[1].user, &pay_);

    // NULL callbacks and strings are accepted everywhere, also where the C++ interface
    // wants a real callback; invalid UTF-8 is not passed on as it is.
    vond_query_products(nullptr, nullptr);
    vond_call_pay(nullptr, nullptr, nullptr, nullptr);
    vond_set_nick_name("\xff\xfe broken \xe5\x8b");
    vond_set_server_id(nullptr);
    vond_post_event(nullptr, "{", 1.0);
    vond_update_sdk_event();
    EXPECT_EQ(Records().size(), 2u);

    // A backend failure arrives on a worker, the start-up outcome on the caller's thread.
    vond_init("app-1", "key-1", &Record, &init_);
    records = Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[2].code, -502);
    EXPECT_EQ(records[2].message, "Http Code:500, Msg:");
    EXPECT_NE(records[2].thread, std::this_thread::get_id());
    EXPECT_TRUE(IsStartUpOutcome(records[3])) << records[3].message;
    EXPECT_EQ(records[3].thread, std::this_thread::get_id());
    EXPECT_EQ(records[2].user, &init_);
    EXPECT_EQ(records[3].user, &init_);
    vond_exit();
}

TEST_F(CInterface, UpdateThreadModeDeliversEverythingInsideTheUpdateCallInArrivalOrder) {
    EXPECT_EQ(vond_set_callback_mode(7), -1);
    ASSERT_EQ(vond_set_callback_mode(VOND_CALLBACKS_ON_UPDATE_THREAD), 0);
    vond_login(&Record, &login_);
    vond_init_ex("app-1", "key-1", nullptr, &Record, &init_);
    vond_call_pay("gem_pack_1", "{}", &Record, &pay_);
    // Not even the refusals and the start-up outcome reached the game yet.
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(CVondCallbackRelay::Instance().Queued(), 4u);

    std::thread pump([] { vond_update_sdk_event(); });
    const std::thread::id pumpId = pump.get_id();
    pump.join();
    auto records = Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].user, &login_);
    EXPECT_EQ(records[0].code, -401);
    EXPECT_EQ(records[1].user, &init_);
    EXPECT_EQ(records[1].code, -502);
    EXPECT_EQ(records[2].user, &init_);
    EXPECT_TRUE(IsStartUpOutcome(records[2])) << records[2].message;
    EXPECT_EQ(records[3].user, &pay_);
    for (const auto& record : records) EXPECT_EQ(record.thread, pumpId);

    // Switching back leaves nothing stranded: what was queued before still waits for an update.
    // (A purchase before login is refused at once, whatever start-up gave.)
    vond_call_pay("gem_pack_1", "{}", &Record, &pay_);
    ASSERT_EQ(vond_set_callback_mode(VOND_CALLBACKS_ON_SDK_THREADS), 0);
    vond_call_pay("gem_pack_1", "{}", &Record, &pay_);
    ASSERT_EQ(Records().size(), 5u);
    EXPECT_EQ(Records()[4].thread, std::this_thread::get_id());
    vond_update_sdk_event();
    EXPECT_EQ(Records().size(), 6u);
    EXPECT_EQ(CVondCallbackRelay::Instance().Queued(), 0u);
}

TEST(CallbackRelay, ResultsFromManyThreadsKeepEachThreadsOrderAndArriveOnceOnThePumpingThread) {
    ASSERT_EQ(vond_set_callback_mode(VOND_CALLBACKS_ON_UPDATE_THREAD), 0);
    CVondCallbackRelay& relay = CVondCallbackRelay::Instance();
    constexpr int kThreads = 4;
    constexpr int kPerThread = 50;
    int users[kThreads] = {};

    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kPerThread; ++i) {
                auto ticket = relay.Open(&Record, &users[t], CVondCallbackRelay::Lifetime::OneResult);
                ASSERT_NE(ticket.relay, nullptr);
                ticket.relay(i, L"\x652F\x4ED8", std::to_wstring(t));
                // A second result for the same operation is never delivered.
                ticket.relay(-1, L"again", std::wstring());
            }
        });
    }
    go = true;
    // The game's frames run while the results keep coming.
    const std::thread::id self = std::this_thread::get_id();
    ASSERT_TRUE(vondtest::WaitUntil([&] {
        vond_update_sdk_event();
        return Records().size() == static_cast<size_t>(kThreads * kPerThread);
    }));
    for (auto& worker : workers) worker.join();
    vond_update_sdk_event();

    auto records = Records();
    ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kPerThread));
    int next[kThreads] = {};
    for (const auto& record : records) {
        ASSERT_EQ(record.thread, self);
        ASSERT_NE(record.code, -1);
        EXPECT_EQ(record.message, "\xE6\x94\xAF\xE4\xBB\x98");
        const int t = std::stoi(record.data);
        EXPECT_EQ(record.user, &users[t]);
        EXPECT_EQ(record.code, next[t]++);
    }
}

namespace {
std::vector<int> g_reentrantOrder;
void ReentrantCallback(int code, const char*, const char*, void*) {
    g_reentrantOrder.push_back(code);
    // A game handling a result by pumping once more must not see later results first.
    if (code == 0) vond_update_sdk_event();
}
}  // namespace

TEST(CallbackRelay, AReentrantUpdateKeepsTheOrder) {
    ASSERT_EQ(vond_set_callback_mode(VOND_CALLBACKS_ON_UPDATE_THREAD), 0);
    CVondCallbackRelay& relay = CVondCallbackRelay::Instance();
    for (int i = 0; i < 4; ++i) {
        relay.Open(&ReentrantCallback, nullptr, CVondCallbackRelay::Lifetime::OneResult).relay(i, L"", L"");
    }
    vond_update_sdk_event();
    EXPECT_EQ(g_reentrantOrder, (std::vector<int>{0, 1, 2, 3}));
}

TEST_F(CInterface, ExitDeliversWhatIsQueuedAndDropsWhatComesLater) {
    ASSERT_EQ(vond_set_callback_mode(VOND_CALLBACKS_ON_UPDATE_THREAD), 0);
    vond_login(&Record, &login_);
    vond_call_pay("p", "", &Record, &pay_);
    ASSERT_TRUE(Records().empty());
    vond_exit();
    auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].user, &login_);
    EXPECT_EQ(records[1].user, &pay_);
    EXPECT_EQ(records[1].thread, std::this_thread::get_id());

    vond_login(&Record, &login_);
    vond_update_sdk_event();
    vond_exit();
    EXPECT_EQ(Records().size(), 2u);
    EXPECT_EQ(CVondCallbackRelay::Instance().Queued(), 0u);
}

TEST_F(CInterface, OperationsBeyondTheLimitAreAnsweredAtOnceAndSlotsComeBack) {
    CVondCallbackRelay& relay = CVondCallbackRelay::Instance();
    std::vector<CVondCallbackRelay::Ticket> held;
    for (size_t i = 0; i < CVondCallbackRelay::kSlots; ++i) {
        held.push_back(relay.Open(&Record, nullptr, CVondCallbackRelay::Lifetime::UntilClosed));
        ASSERT_NE(held.back().relay, nullptr);
    }
    vond_login(&Record, &login_);
    ASSERT_EQ(Records().size(), 1u);
    EXPECT_EQ(Records()[0].code, VOND_CODE_TOO_MANY_PENDING);
    EXPECT_EQ(Records()[0].message, "Too Many Pending Operations.");
    EXPECT_EQ(Records()[0].user, &login_);

    // A closed slot takes nothing more, and is free for the next operation.
    relay.Close(held[3]);
    held[3].relay(5, L"late", L"");
    EXPECT_EQ(Records().size(), 1u);
    vond_login(&Record, &login_);
    ASSERT_EQ(Records().size(), 2u);
    EXPECT_EQ(Records()[1].code, -401);
    for (const auto& ticket : held) relay.Close(ticket);
}

// Start-up that does not hold the game: the asynchronous start-up returns before the backend
// has answered anything, and the deadline ends a blocking one against a backend that never
// answers. Each case starts the SDK again in the same process (the one before failed: no EOS ids).
TEST_F(CInterface, StartUpNeverHoldsTheGameLongerThanItsDeadline) {
    struct Case {
        const char* name;
        bool async;
        int mode;
        int deadlineMs;
    };
    const Case cases[] = {
        {"async, results on SDK threads", true, VOND_CALLBACKS_ON_SDK_THREADS, 0},
        {"async, results on the update thread", true, VOND_CALLBACKS_ON_UPDATE_THREAD, 0},
        {"blocking, against a silent backend with a 2 s deadline", false, VOND_CALLBACKS_ON_SDK_THREADS, 2000},
    };
    // The backend holds every answer until the test lets it go.
    server_.HoldReplies(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_records.clear();
        }
        ASSERT_EQ(vond_set_callback_mode(c.mode), 0);
        vond_set_startup_timeout_ms(c.deadlineMs);
        const auto started = std::chrono::steady_clock::now();
        if (c.async) {
            vond_init_async_ex("app-1", "key-1", nullptr, &Record, &init_);
            // Back before the backend was let go; meanwhile the SDK answers as before start-up.
            EXPECT_TRUE(Records().empty());
            vond_call_pay("p", "", &Record, &pay_);
            if (c.mode == VOND_CALLBACKS_ON_SDK_THREADS) {
                ASSERT_EQ(Records().size(), 1u);
                EXPECT_EQ(Records()[0].code, -401);
                EXPECT_EQ(Records()[0].user, &pay_);
            }
            server_.Release(1000);
        } else {
            server_.NeverAnswer();
            vond_init("app-1", "key-1", &Record, &init_);
            // Well within the transport's own bound (10 s to connect and 30 s per read).
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        }
        std::vector<CRecord> heard;
        ASSERT_TRUE(vondtest::WaitUntil([&] {
            if (c.mode == VOND_CALLBACKS_ON_UPDATE_THREAD) vond_update_sdk_event();
            heard.clear();
            for (const CRecord& record : Records()) {
                if (record.user == &init_) heard.push_back(record);
            }
            return heard.size() >= 2;
        }));
        ASSERT_EQ(heard.size(), 2u);
        EXPECT_EQ(heard[0].code, -502);
        if (c.deadlineMs > 0) EXPECT_NE(heard[0].message.find("start-up deadline"), std::string::npos);
        EXPECT_TRUE(IsStartUpOutcome(heard[1])) << heard[1].message;
        if (c.mode == VOND_CALLBACKS_ON_UPDATE_THREAD) {
            for (const CRecord& record : Records()) EXPECT_EQ(record.thread, std::this_thread::get_id());
        } else if (c.async) {
            EXPECT_NE(heard[1].thread, std::this_thread::get_id());
        } else {
            EXPECT_EQ(heard[1].thread, std::this_thread::get_id());
        }
    }
    vond_exit();
}
