// Where the game's callbacks run relative to the SDK's own locks.
//
// EOS completions run inside EOS_Platform_Tick, which the SDK calls holding its EOS lock. A game
// callback run there could wait for a game thread that is calling Exit or Init (deadlock), or
// pump UpdateSDKEvent again (a tick inside a tick, which EOS does not allow). So while a
// GameCallScope is open on a thread, the game's callbacks handed to CallGame on that thread are
// held, and run when the scope is flushed or closed, after the SDK has released its locks.
#pragma once

#include <functional>
#include <vector>

namespace VondSdk {

// Runs work and stops any exception there, logged as "<failure>: <what>" (or failure alone).
// For work that must never unwind into the EOS tick or a pool worker.
void RunGuarded(const std::function<void()>& work, const char* failure);

// Runs call now, or, while a GameCallScope is open on this thread, when that scope flushes.
// An exception thrown by call is logged and stopped here.
void CallGame(std::function<void()> call);

// Opened by the SDK around work that holds a lock and may complete the game's operations (the
// EOS tick, shut-down). Scopes nest: only the outermost one holds and runs calls. Not copyable;
// flush (or destroy) it on the thread that opened it, with no SDK lock held.
class GameCallScope {
public:
    GameCallScope();
    ~GameCallScope();
    GameCallScope(const GameCallScope&) = delete;
    GameCallScope& operator=(const GameCallScope&) = delete;

    // Closes the scope and runs the held calls in the order they were made. Calls the game makes
    // from them run at once (the scope is closed by then).
    void Flush();

private:
    bool outermost_;
    std::vector<std::function<void()>> held_;
};

}  // namespace VondSdk
