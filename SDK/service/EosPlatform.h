// FPlatform: the one EOS platform of the process, and the thread every EOS call is made on.
//
// The EOS SDK is not thread-safe. Every EOS call is made on the thread that calls
// UpdateSDKEvent (the "ticking thread"): work that another thread (the login thread, a pool
// worker, the entitlement-pass thread) wants done with EOS is handed to RunOnTickThread and
// runs, in the order it was handed in, inside the next Update right before EOS_Platform_Tick.
// Start-up (EpicSdkService::init) and shut-down are the only EOS calls made elsewhere; they
// hold EosMutex, as Update does, so they never overlap a tick.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "VondProxy.h"
#include "eos_sdk.h"

namespace VondSdk {

class FPlatform {
public:
    // Creates the platform from info (start-up thread, under EosMutex). False when an id is
    // missing, the credentials are half set, or EOS refuses; the first Update reports it.
    static bool Create(const EosGameInfo& info);

    // The game's per-frame pump (UpdateSDKEvent): runs the queued EOS work, then ticks the
    // platform, which delivers every EOS completion on this thread; the game's callbacks of
    // those completions run after the EOS lock is released. Called again from one of those
    // callbacks (a game that pumps inside a callback), it returns without ticking; while EOS
    // starts or stops on another thread it returns at once, without waiting. Never throws.
    static void Update();

    // The platform handle, or null before creation and after shut-down. Any thread may read
    // it; only the ticking thread (or start-up/shut-down under EosMutex) may pass it to EOS.
    static EOS_HPlatform GetPlatformHandle();
    static bool IsCreated();
    // The platform's ecom interface, or null when there is no platform. An EOS call: ticking
    // thread only.
    static EOS_HEcom GetEcomInterface();

    // Runs work on the ticking thread. Inside Update (an EOS completion, or queued work) it
    // runs at once, before this returns; from any other thread it is queued for the next
    // Update. Queued work always runs exactly once: work still queued at shut-down runs then,
    // on the thread that shuts down, and work handed in after shut-down runs at once, on the
    // calling thread; both with a null platform handle, so work must check GetPlatformHandle
    // and end its operation as a failure. Exceptions thrown by work are logged and dropped.
    // Thread-safe.
    static void RunOnTickThread(std::function<void()> work);

    // Runs work on the ticking thread like RunOnTickThread and waits for its result; inside
    // Update it runs at once. Gives fallback when the game does not tick within bound (the
    // work still runs later; it must capture only what it owns). For a thread that may block,
    // such as the login thread or a pool worker.
    template <typename Result>
    static Result CallOnTickThread(std::function<Result()> work, Result fallback,
                                   std::chrono::milliseconds bound = std::chrono::seconds(10));

    // True while this thread is inside Update.
    static bool OnTickThread();

    // Releases the platform (shut-down, under EosMutex); Update ticks nothing afterwards.
    static void Release();

    // Held by Update and by the EOS calls of start-up and shut-down.
    static std::recursive_mutex& EosMutex();

    // Number of queued work items not yet run (tests, diagnostics).
    static size_t PendingWork();
};

template <typename Result>
Result FPlatform::CallOnTickThread(std::function<Result()> work, Result fallback, std::chrono::milliseconds bound) {
    if (OnTickThread()) return work();
    struct Shared {
        std::mutex mutex;
        std::condition_variable cond;
        bool done = false;
        Result result;
    };
    auto shared = std::make_shared<Shared>();
    shared->result = fallback;
    RunOnTickThread([shared, work] {
        Result value = work();
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->result = std::move(value);
        shared->done = true;
        shared->cond.notify_all();
    });
    std::unique_lock<std::mutex> lock(shared->mutex);
    if (!shared->cond.wait_for(lock, bound, [&] { return shared->done; })) return fallback;
    return shared->result;
}

}  // namespace VondSdk
