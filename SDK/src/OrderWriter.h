// OrderWriter: the one thread that writes the order store for the purchase flow, so that the
// thread calling UpdateSDKEvent never waits for a flushed write.
#pragma once

#include <chrono>
#include <functional>

namespace VondSdk {
namespace orderwriter {

// Queues task (ownership taken) to run after every task queued before it, on the writer
// thread, which is started at the first call and lives as long as the process. Any thread.
// Should the thread not start, the task runs at once on the caller's thread: a write that
// protects money is never dropped. Exceptions of task are logged and dropped.
void Submit(std::function<void()> task);

// Waits until every task queued before the call has run; false when timeout passed first.
// For tests and the benchmark; never called on the game's threads.
bool Flush(std::chrono::milliseconds timeout);

}  // namespace orderwriter
}  // namespace VondSdk
