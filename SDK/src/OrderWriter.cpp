#include "src/OrderWriter.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "easylogging++.h"

namespace VondSdk {
namespace orderwriter {
namespace {

struct Writer {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable done;
    std::deque<std::function<void()>> tasks;  // guarded by mutex
    uint64_t queued = 0;                      // tasks ever queued; guarded by mutex
    uint64_t finished = 0;                    // tasks ever finished; guarded by mutex
    bool started = false;                     // guarded by mutex
};

Writer& W() {
    // Never destroyed: the thread may still run while the process ends.
    static Writer* writer = new Writer();
    return *writer;
}

void Run(std::function<void()>& task) {
    try {
        task();
    } catch (const std::exception& e) {
        LOG(ERROR) << "Order write failed: " << e.what();
    } catch (...) {
        LOG(ERROR) << "Order write failed";
    }
}

void Loop() {
    Writer& w = W();
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(w.mutex);
            w.wake.wait(lock, [&] { return !w.tasks.empty(); });
            task = std::move(w.tasks.front());
            w.tasks.pop_front();
        }
        Run(task);
        {
            std::lock_guard<std::mutex> lock(w.mutex);
            ++w.finished;
        }
        w.done.notify_all();
    }
}

}  // namespace

void Submit(std::function<void()> task) {
    if (!task) return;
    Writer& w = W();
    bool queued = false;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (!w.started) {
            try {
                std::thread(&Loop).detach();
                w.started = true;
            } catch (const std::system_error& e) {
                LOG(ERROR) << "Order writer thread failed: " << e.what();
            }
        }
        if (w.started) {
            w.tasks.push_back(std::move(task));
            ++w.queued;
            queued = true;
        }
    }
    if (!queued) {
        Run(task);
        return;
    }
    w.wake.notify_one();
}

bool Flush(std::chrono::milliseconds timeout) {
    Writer& w = W();
    std::unique_lock<std::mutex> lock(w.mutex);
    const uint64_t target = w.queued;
    return w.done.wait_for(lock, timeout, [&] { return w.finished >= target; });
}

}  // namespace orderwriter
}  // namespace VondSdk
