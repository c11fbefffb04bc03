// The request pool: six detached workers take queued exchanges in order.
#include "http/SionAsync.h"

#include <chrono>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/Platform.h"

namespace sion {

namespace {

constexpr const char* kStartTwiceMessage = "一个线程池实例只能start一次";
constexpr const char* kUnknownCompletionFailure = "completion threw a non-standard exception";
// At process exit the workers may be gone without having left the table; never wait longer.
constexpr std::chrono::seconds kDestroyWait(2);

}  // namespace

struct Async::State {
    struct AsyncTask {
        Request request;
        Completion completion;
        int32_t id = 0;
        int32_t mode = 0;
    };

    int32_t threadCount = kWorkers;
    std::deque<AsyncTask> queue;
    std::deque<AsyncTask> background;
    // Background exchanges being run (workers of a stopped round included, until they leave).
    int backgroundRunning = 0;
    std::mutex mutex;
    // Signals both a change of the queue and a worker leaving.
    std::condition_variable cond;
    // Keyed by a number never reused, so that workers of a stopped round still leaving and
    // the next round's workers never share a key.
    std::map<int, std::thread> threads;
    int nextKey = 0;
    bool started = false;
    std::atomic<bool> stop{false};
    // Raised by Reset: a worker of an earlier round leaves and drops what it was running.
    std::atomic<int> round{0};
    Async::ThreadFactory spawn;
};

namespace {

// Which pool and worker the current thread is, so that Stop called from a completion does not
// wait for the very worker that runs it.
thread_local const Async::State* currentPool = nullptr;
thread_local int currentWorker = -1;

void RunCompletion(const Completion& completion, AsyncResponse response) {
    try {
        completion(std::move(response));
    } catch (const std::exception& failure) {
        std::cerr << failure.what() << '\n';
    } catch (...) {
        std::cerr << kUnknownCompletionFailure << '\n';
    }
}

void WorkerLoop(const std::shared_ptr<Async::State>& state, int index, int round) {
    currentPool = state.get();
    currentWorker = index;
    auto leaving = [&] { return state->stop.load() || state->round.load() != round; };
    // Under the lock: a background task may start only while it leaves two workers for the rest.
    auto backgroundReady = [&] {
        return !state->background.empty() && state->backgroundRunning < kBackgroundWorkers;
    };
    while (!leaving()) {
        Async::State::AsyncTask task;
        bool background = false;
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            state->cond.wait(lock, [&] { return !state->queue.empty() || backgroundReady() || leaving(); });
            if (leaving()) break;
            if (!state->queue.empty()) {
                task = std::move(state->queue.front());
                state->queue.pop_front();
            } else {
                task = std::move(state->background.front());
                state->background.pop_front();
                ++state->backgroundRunning;
                background = true;
            }
        }
        state->cond.notify_one();
        // Every way out of this task gives its background place back, and wakes a worker that
        // may now take the next one.
        struct BackgroundPlace {
            Async::State& state;
            bool held;
            ~BackgroundPlace() {
                if (!held) return;
                {
                    std::lock_guard<std::mutex> lock(state.mutex);
                    --state.backgroundRunning;
                }
                state.cond.notify_all();
            }
        } place{*state, background};
        if (leaving()) continue;

        AsyncResponse outcome;
        outcome.id = task.id;
        try {
            outcome.resp = task.request.Send(task.request.url, &state->stop);
        } catch (const std::exception& failure) {
            outcome.resp = Response();
            outcome.err = failure.what();
        }
        if (leaving()) continue;
        RunCompletion(task.completion, std::move(outcome));
    }
    // The connection this worker kept for its next exchange goes with it.
    ForgetKeptConnection();
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->threads.erase(index);
    }
    state->cond.notify_all();
    currentPool = nullptr;
    currentWorker = -1;
}

// Sets stop and waits until no worker but the caller is left; bounded when asked. True when
// they have all left.
bool StopAndWait(Async::State& state, const std::chrono::milliseconds* bound) {
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.stop.store(true);
    }
    state.cond.notify_all();
    const bool onOwnWorker = currentPool == &state;
    std::unique_lock<std::mutex> lock(state.mutex);
    auto left = [&] {
        return state.threads.empty() ||
               (onOwnWorker && state.threads.size() == 1 && state.threads.count(currentWorker) == 1);
    };
    if (bound != nullptr) return state.cond.wait_for(lock, *bound, left);
    state.cond.wait(lock, left);
    return true;
}

}  // namespace

Async::Async() : state_(std::make_shared<State>()) {}

Async::~Async() {
    // When the process is ending with the library loaded, the OS has already ended the workers,
    // and waking a waiter that the OS ended never returns in the thread library: touch nothing
    // the workers shared. The state they hold is left to the OS.
    if (VondSdk::platform::ProcessIsEnding()) return;
    const std::chrono::milliseconds bound = kDestroyWait;
    StopAndWait(*state_, &bound);
}

void Async::Start() {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (state_->started) throw std::logic_error(kStartTwiceMessage);
    // Only this round's workers are let go below: a worker of the last round may still be in
    // the table (the one whose completion stopped the pool), already let go, and letting a
    // thread go twice throws, which left this round's workers joinable in the table.
    std::vector<int> made;
    made.reserve(static_cast<size_t>(state_->threadCount));
    try {
        const int round = state_->round.load();
        while (static_cast<int>(made.size()) < state_->threadCount) {
            std::shared_ptr<State> state = state_;
            const int index = state_->nextKey++;
            std::function<void()> body = [state, index, round] { WorkerLoop(state, index, round); };
            std::thread worker =
                state_->spawn ? state_->spawn(std::move(body)) : std::thread(std::move(body));
            state_->threads[index] = std::move(worker);
            made.push_back(index);
        }
    } catch (const std::system_error&) {
        // The workers made so far must not stay joinable in the table (the next Start or the
        // pool's end would terminate the process): they are let go and asked to leave, and
        // the pool returns to "not started" once they have.
        for (auto& entry : state_->threads) {
            if (entry.second.joinable()) entry.second.detach();
        }
        if (!state_->stop.load()) {
            state_->stop.store(true);
            state_->cond.notify_all();
            // Only this round's: a worker of the last one may be the very thread calling.
            state_->cond.wait(lock, [&] {
                for (int index : made) {
                    if (state_->threads.count(index) != 0) return false;
                }
                return true;
            });
            state_->stop.store(false);
        }
        throw;
    }
    state_->started = true;
    for (int index : made) state_->threads[index].detach();
}

void Async::SetThreadFactory(ThreadFactory factory) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->spawn = std::move(factory);
}

void Async::Enqueue(const RequestBuilder& builder, Completion completion, Lane lane) {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        // A stopped pool never serves again; keeping the task would only pile up memory.
        if (state_->stop.load()) return;
        State::AsyncTask task;
        task.request = builder();
        task.completion = std::move(completion);
        (lane == Lane::Background ? state_->background : state_->queue).push_back(std::move(task));
    }
    state_->cond.notify_one();
}

void Async::Stop() {
    StopAndWait(*state_, nullptr);
}

bool Async::Stop(std::chrono::milliseconds bound) {
    return StopAndWait(*state_, &bound);
}

void Async::Reset() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (!state_->stop.load()) return;
        // A worker still here is the one whose completion called Stop: the new round tells it
        // to leave once that completion returns.
        state_->round.fetch_add(1);
        state_->queue.clear();
        state_->background.clear();
        state_->started = false;
        state_->stop.store(false);
    }
    state_->cond.notify_all();
}

bool Async::Started() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->started;
}

bool Async::Stopped() const {
    return state_->stop.load();
}

Async& Pool() {
    static Async pool;
    return pool;
}

}  // namespace sion
