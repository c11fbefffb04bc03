// The request pool against loopback servers: six at a time, failures delivered, stop rules.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "http/SionAsync.h"
#include "support/LoopbackServer.h"

namespace {

using vondtest::LoopbackServer;
constexpr std::chrono::seconds kBound(30);

// Collects completions and lets a test wait for a number of them.
class Outcomes {
public:
    sion::Completion Record() {
        return [this](sion::AsyncResponse response) {
            std::lock_guard<std::mutex> lock(mutex_);
            responses_.push_back(std::move(response));
            changed_.notify_all();
        };
    }
    bool WaitFor(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] { return responses_.size() >= count; });
    }
    std::vector<sion::AsyncResponse> All() {
        std::lock_guard<std::mutex> lock(mutex_);
        return responses_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<sion::AsyncResponse> responses_;
};

sion::RequestBuilder PostTo(const std::string& url) {
    return [url] {
        sion::Request request;
        request.SetUrl(url).SetMethod(sion::Method::Post).SetBody("k=v");
        return request;
    };
}

TEST(SionAsync, SixExchangesRunAtOnceAndTheSeventhWaits) {
    LoopbackServer server;
    server.HoldReplies(true);
    server.Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    Outcomes outcomes;
    sion::Async pool;
    for (int i = 0; i < 7; ++i) pool.Enqueue(PostTo(server.Url("/n" + std::to_string(i))), outcomes.Record());
    pool.Start();

    ASSERT_TRUE(server.WaitHeld(6));
    server.Release(1);
    ASSERT_TRUE(server.WaitRequests(7));
    server.Release(6);
    ASSERT_TRUE(outcomes.WaitFor(7));

    EXPECT_EQ(6u, server.MaxHeld());
    EXPECT_EQ(6u, server.RequestsAtFirstRelease());
    for (const auto& outcome : outcomes.All()) {
        EXPECT_EQ("", outcome.err);
        EXPECT_EQ(0, outcome.id);
        EXPECT_EQ("ok", outcome.resp.BodyText());
    }
    pool.Stop();
}

// Analytics on a slow link hold at most four workers, and a purchase queued behind a backlog of
// them is taken first: the game's own requests never wait for events.
TEST(SionAsync, BackgroundExchangesLeaveTwoWorkersAndForegroundGoesFirst) {
    LoopbackServer server;
    server.HoldReplies(true);
    server.Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    Outcomes outcomes;
    sion::Async pool;
    for (int i = 0; i < 8; ++i) {
        pool.Enqueue(PostTo(server.Url("/event" + std::to_string(i))), outcomes.Record(), sion::Lane::Background);
    }
    pool.Start();
    ASSERT_TRUE(server.WaitHeld(sion::kBackgroundWorkers));
    pool.Enqueue(PostTo(server.Url("/purchase0")), outcomes.Record());
    pool.Enqueue(PostTo(server.Url("/purchase1")), outcomes.Record());
    // Without the bound, six events would hold every worker and the purchases would wait.
    ASSERT_TRUE(server.WaitHeld(sion::kWorkers));
    const std::vector<std::string> requests = server.Requests();
    ASSERT_GE(requests.size(), size_t(sion::kWorkers));
    int purchases = 0;
    for (size_t i = 0; i < size_t(sion::kWorkers); ++i) purchases += requests[i].find("/purchase") != std::string::npos;
    EXPECT_EQ(purchases, 2) << "a purchase waited behind events";
    server.Release(10);
    ASSERT_TRUE(outcomes.WaitFor(10));
    EXPECT_EQ(size_t(sion::kWorkers), server.MaxHeld());
    pool.Stop();
}

TEST(SionAsync, WorkersSurviveFailuresAndASecondStart) {
    LoopbackServer server;
    sion::Async pool;
    pool.Start();
    try {
        pool.Start();
        ADD_FAILURE() << "a second Start was accepted";
    } catch (const std::logic_error& error) {
        EXPECT_EQ(std::string("一个线程池实例只能start一次"), error.what());
    }

    vondtest::RefusingPort refusingPort;
    Outcomes refused;
    pool.Enqueue(PostTo(refusingPort.Origin() + "/"), refused.Record());
    ASSERT_TRUE(refused.WaitFor(1));
    EXPECT_EQ(0u, refused.All()[0].err.find("连接失败:\nHost:127.0.0.1\nIp:127.0.0.1\n错误码："));
    EXPECT_EQ("", refused.All()[0].resp.StatusCode());

    Outcomes thrown;
    for (int i = 0; i < 12; ++i) {
        auto record = thrown.Record();
        pool.Enqueue(PostTo(server.Url()), [record](sion::AsyncResponse response) {
            record(std::move(response));
            throw std::runtime_error("completion failure");
        });
    }
    ASSERT_TRUE(thrown.WaitFor(12));

    // All six workers are still there: six exchanges can be held at once.
    server.HoldReplies(true);
    Outcomes later;
    for (int i = 0; i < 6; ++i) pool.Enqueue(PostTo(server.Url()), later.Record());
    ASSERT_TRUE(server.WaitHeld(6));
    server.Release(6);
    ASSERT_TRUE(later.WaitFor(6));
    pool.Stop();
}

TEST(SionAsync, StopCutsExchangesAndDropsQueuedWork) {
    LoopbackServer server;
    server.HoldReplies(true);
    Outcomes outcomes;
    sion::Async pool;
    pool.Start();
    for (int i = 0; i < 9; ++i) pool.Enqueue(PostTo(server.Url()), outcomes.Record());
    ASSERT_TRUE(server.WaitHeld(6));

    // The exchanges are held far longer than this bound (the I/O bound is 30 s): only a Stop
    // that cuts them short can return in time.
    auto stopped = std::async(std::launch::async, [&] { pool.Stop(); });
    ASSERT_EQ(std::future_status::ready, stopped.wait_for(std::chrono::seconds(10)));
    EXPECT_TRUE(pool.Stopped());
    EXPECT_TRUE(outcomes.All().empty());

    pool.Enqueue(PostTo(server.Url()), outcomes.Record());
    server.Release(16);
    EXPECT_EQ(6u, server.Requests().size());
    EXPECT_TRUE(outcomes.All().empty());
}

// Exit stops the pool while every worker waits on the system's certificate verifier, which
// here takes 20 s (CryptoAPI fetching over a dead network can take longer): the workers give
// up on it and Stop returns within a second (the bound below leaves room for a loaded machine).
TEST(SionAsync, StopDoesNotWaitForAHangingSystemVerifier) {
    vondtest::TrustTestCa();
    struct Entered {
        std::mutex mutex;
        std::condition_variable changed;
        int count = 0;
    };
    auto entered = std::make_shared<Entered>();
    sion::SetSystemVerifier([entered](const std::vector<std::string>&, const std::string&) {
        {
            std::lock_guard<std::mutex> lock(entered->mutex);
            ++entered->count;
        }
        entered->changed.notify_all();
        std::this_thread::sleep_for(std::chrono::seconds(20));
        return true;
    });
    LoopbackServer stranger(vondtest::ServerCert::UntrustedCa);
    Outcomes outcomes;
    sion::Async pool;
    pool.Start();
    for (int i = 0; i < 6; ++i) pool.Enqueue(PostTo(stranger.Url()), outcomes.Record());
    {
        std::unique_lock<std::mutex> lock(entered->mutex);
        ASSERT_TRUE(entered->changed.wait_for(lock, kBound, [&] { return entered->count == 6; }));
    }
    const auto start = std::chrono::steady_clock::now();
    pool.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(outcomes.All().empty());
    EXPECT_TRUE(stranger.Requests().empty());
    sion::SetSystemVerifier(nullptr);
}

// A game that ends its session from a callback and starts the next one at once: the stopping
// worker is still in the table when the new round starts. (Starting it used to throw and leave
// the new workers joinable; the process ended when they left.)
TEST(SionAsync, StopFromACompletionDoesNotWaitForItselfAndTheNextRoundStartsBesideIt) {
    LoopbackServer server;
    server.Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    sion::Async pool;
    pool.Start();
    std::promise<bool> restarted;
    pool.Enqueue(PostTo(server.Url()), [&](sion::AsyncResponse) {
        pool.Stop();
        const bool stopped = pool.Stopped();
        pool.Reset();
        bool started = false;
        try {
            pool.Start();
            started = pool.Started();
        } catch (const std::exception&) {
        }
        restarted.set_value(stopped && started);
    });
    auto outcome = restarted.get_future();
    ASSERT_EQ(std::future_status::ready, outcome.wait_for(kBound));
    EXPECT_TRUE(outcome.get());

    Outcomes outcomes;
    pool.Enqueue(PostTo(server.Url("/next")), outcomes.Record());
    ASSERT_TRUE(outcomes.WaitFor(1));
    EXPECT_EQ(outcomes.All()[0].resp.BodyText(), "ok");
    pool.Stop();
}

}  // namespace

namespace {

// Makes threads until the failAt-th, which the "OS" refuses.
sion::Async::ThreadFactory RefuseWorker(int failAt, std::atomic<int>& made) {
    return [failAt, &made](std::function<void()> body) {
        if (made.fetch_add(1) + 1 == failAt)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    };
}

}  // namespace

TEST(SionAsync, RefusedWorkerLeavesNoThreadBehindAndTheNextStartWorks) {
    LoopbackServer server;
    server.Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    Outcomes outcomes;
    sion::Async pool;
    std::atomic<int> made{0};
    pool.SetThreadFactory(RefuseWorker(4, made));
    // Before the fix the three joinable workers in the table ended the process here or below.
    EXPECT_THROW(pool.Start(), std::system_error);
    EXPECT_FALSE(pool.Started());
    EXPECT_FALSE(pool.Stopped());

    pool.SetThreadFactory(nullptr);
    pool.Enqueue(PostTo(server.Url("/after")), outcomes.Record());
    pool.Start();
    ASSERT_TRUE(outcomes.WaitFor(1));
    EXPECT_EQ(outcomes.All()[0].resp.BodyText(), "ok");
    pool.Stop();
}

TEST(SionAsync, WorkQueuedAfterStopIsDroppedAtOnce) {
    sion::Async pool;
    pool.Start();
    pool.Stop();
    auto token = std::make_shared<int>(0);
    bool built = false;
    for (int i = 0; i < 1000; ++i) {
        pool.Enqueue(
            [&built] {
                built = true;
                return sion::Request();
            },
            [token](sion::AsyncResponse) {});
    }
    // Nothing keeps the completions: they were released inside Enqueue.
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_FALSE(built);
}
