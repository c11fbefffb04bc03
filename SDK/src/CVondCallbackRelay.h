// CVondCallbackRelay: carries the results of the C interface from the SDK's plain
// function-pointer callbacks to the game's C callbacks with their user pointer, and holds them
// for the thread that pumps the SDK when the game asks for that.
//
// The SDK's callbacks carry no context, so each operation in flight gets a slot of its own,
// reached through a distinct function (one per slot). One instance, created when the library
// loads and never destroyed: a worker that answers late at process exit still finds it.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

#include "VondProxy.h"
#include "vondsdk_c.h"

namespace VondSdk {

class CVondCallbackRelay {
public:
    static constexpr std::size_t kSlots = VOND_MAX_PENDING;

    // OneResult: the slot is freed by the operation's result (every operation but Init ends
    // in one). UntilClosed: the slot takes every result until Close (Init, which may report
    // twice, all before it returns).
    enum class Lifetime { OneResult, UntilClosed };

    struct Ticket {
        ResultCallback relay = nullptr;  // null when every slot is taken
        std::size_t slot = 0;
    };

    static CVondCallbackRelay& Instance();

    // A slot for one operation whose results go to callback (may be null) with user.
    // Thread-safe; never throws.
    Ticket Open(VondResultCallback callback, void* user, Lifetime lifetime);
    // Frees an UntilClosed slot; results arriving later are dropped.
    void Close(const Ticket& ticket);

    // VOND_CALLBACKS_ON_SDK_THREADS or VOND_CALLBACKS_ON_UPDATE_THREAD; false for others.
    bool SetMode(int mode);
    // A result of an operation that never reached the SDK, delivered by the mode's rules.
    void Report(VondResultCallback callback, void* user, int code, const std::string& message);
    // One SDK log line for the game's log callback, delivered by the mode's rules (at once on
    // the calling thread, or queued for the update thread). In the update-thread mode at most
    // kMaxQueuedLogLines wait at once; more are dropped. Never throws.
    void Log(VondLogCallback callback, void* user, int level, const std::string& line);
    static constexpr std::size_t kMaxQueuedLogLines = 4096;
    // Delivers, on the calling thread, the results queued when it began, oldest first; a
    // callback may call Drain again. Game callbacks run with no lock held.
    void Drain();
    // After Exit: later arrivals are dropped in the update-thread mode, then everything
    // still queued is delivered on the calling thread.
    void Shutdown();
    // After Shutdown, when EOS is kept for another session: every operation still waiting is
    // answered code with message now, on the calling thread, and its result, should one come,
    // is dropped; so nothing of the ended session reaches the next one.
    void RefuseOpen(int code, const std::string& message);
    // A new session after Shutdown: results are delivered again.
    void Reopen();
    std::size_t Queued() const;

    // The slot functions' entry: one result of the operation in slot.
    void Arrive(std::size_t slot, int code, const std::wstring& message, const std::wstring& data) noexcept;

private:
    struct Slot {
        bool open = false;
        Lifetime lifetime = Lifetime::OneResult;
        VondResultCallback callback = nullptr;
        void* user = nullptr;
    };
    struct Result {
        VondResultCallback callback = nullptr;
        VondLogCallback logCallback = nullptr;  // set for a log line (code is its level)
        void* user = nullptr;
        int code = 0;
        std::string message;
        std::string data;
    };

    CVondCallbackRelay() = default;
    // Queues or delivers one result; called without the lock.
    void Dispatch(Result result);
    // Calls the game's callback for one result; no lock held.
    static void Deliver(const Result& result);
    bool PopFront(Result& result);

    mutable std::mutex mutex_;  // guards everything below
    std::array<Slot, kSlots> slots_{};
    // The next slot to try: slots are handed out in rotation, so a freed slot is reused as
    // late as possible.
    std::size_t cursor_ = 0;
    int mode_ = VOND_CALLBACKS_ON_SDK_THREADS;
    bool shutDown_ = false;
    std::deque<Result> queue_;
    std::size_t queuedLogLines_ = 0;
};

}  // namespace VondSdk
