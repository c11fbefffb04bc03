// sion::Async: the fixed pool of six workers that runs every backend exchange.
// One pool per process (Pool()); started by Init, stopped by Exit (and reset by an Exit that
// keeps EOS for another session).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Sion.h"

namespace sion {

struct AsyncResponse {
    Response resp;
    int32_t id = 0;
    std::string err;  // empty on success, else the failure's text
};

using RequestBuilder = std::function<Request()>;
using Completion = std::function<void(AsyncResponse)>;

// Background exchanges (analytics) run on at most kBackgroundWorkers of the kWorkers workers at
// once, and a queued foreground exchange is always taken before a queued background one: a
// purchase or a login never waits behind a backlog of events on a slow link.
enum class Lane { Foreground, Background };
constexpr int kWorkers = 6;
constexpr int kBackgroundWorkers = kWorkers - 2;

class Async {
public:
    Async();
    // Stops the pool like Stop, but waits for the workers only a bounded time: at process exit
    // the OS may already have ended them.
    ~Async();
    Async(const Async&) = delete;
    Async& operator=(const Async&) = delete;

    // Creates the six workers; a second call throws std::logic_error. Any thread.
    // When the OS refuses a worker, the ones already made leave again, the pool is as before
    // the call (not started, so a later Start may try again) and the std::system_error is
    // passed on.
    void Start();
    // Runs builder on the caller's thread (under the pool's lock) and queues the request in its
    // lane; completion later runs on a worker thread. Once the pool is stopped nothing is
    // queued: builder and completion are dropped at once.
    void Enqueue(const RequestBuilder& builder, Completion completion, Lane lane = Lane::Foreground);
    // Stops the pool: queued tasks are dropped, in-flight exchanges are cut short and their
    // results dropped; a completion already running finishes first. Returns when all
    // workers have left (from a completion, all but the calling worker).
    void Stop();
    // The same, but waits for the workers at most bound: a worker still inside a completion
    // then leaves on its own once it returns. False when some worker was still there.
    bool Stop(std::chrono::milliseconds bound);

    // After Stop: the pool is as before its first Start again (requests are queued until the
    // next Start, which makes six new workers); the stopped round's results stay dropped. For
    // a second play session in one process. Does nothing while the pool is not stopped.
    void Reset();

    bool Started() const;
    // True from Stop or destruction until a Reset; a stopped pool drops what it is given.
    bool Stopped() const;

    // Makes each worker thread; tests replace it to make the OS refuse one. Set before Start.
    using ThreadFactory = std::function<std::thread(std::function<void()> body)>;
    void SetThreadFactory(ThreadFactory factory);

    struct State;  // shared with the workers, so that it outlives a pool they outlive

private:
    std::shared_ptr<State> state_;
};

// The process-wide pool.
Async& Pool();

}  // namespace sion
