// CVondEventOutbox: the SDK's own event writer. The game's thread hands over a built event and
// returns; one writer thread numbers the events in the order they were handed over (numbers
// claimed under AppConf's cross-process lock, so two game processes never share one), appends
// them to this process's own journal in the app's data folder in groups (one flush per group,
// at most one group every 100 ms while events arrive), and only then sends them, one at a time
// and in number order, until the tracking endpoint acknowledges each.
//
// Each process writes "EventOutbox.<uuid>", holding "EventOutbox.<uuid>.lock" while it runs.
// At start the writer takes over the journals whose lock it can take (their process ended or
// was killed; the single "EventOutbox" of earlier builds too): their unsent events move into its
// own journal and are sent first, then those journals go. A journal whose lock is held, or
// that cannot be read, is left as it is. Records that could not be written (full disk) are kept
// and written again at the next group and at Shutdown; the events are sent meanwhile. One
// instance, created on first use and never destroyed, so a completion or the writer arriving
// late at process exit never finds it gone.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Platform.h"

namespace VondSdk {

class CVondEventOutbox {
public:
    static CVondEventOutbox& Instance();

    // The outbox's bound: past either, the oldest events are dropped (and the count logged).
    static constexpr size_t kMaxEvents = 10000;
    static constexpr size_t kMaxBytes = 8u << 20;

    // Starts the writer for the current app's data folder (the core's app id must be set).
    // Called by start-up on the thread that starts the SDK, after the request pool started;
    // later calls do nothing, except after Shutdown (a new play session in the same process),
    // where a new writer starts from the journal. False when the OS refused the thread (events
    // are then dropped with a log line) or the last writer did not finish in time.
    bool Start();
    // Takes one event's body, complete but for its "eventOrder". Never touches the disk,
    // never waits for the writer: the lock it takes guards a list append. Any thread.
    void Submit(nlohmann::json body);
    // Numbers and writes to disk every event submitted so far, records what was acknowledged,
    // and stops the writer; sending stops too, what is unsent stays for the next start.
    // Waits at most bound; true when the writer finished in time. Any thread but the writer.
    bool Shutdown(std::chrono::milliseconds bound);

    // Events handed over or found in the journal and not yet acknowledged nor dropped. Any
    // thread; for benchmarks and tests.
    int64_t Outstanding() const { return outstanding_.load(); }

private:
    using Clock = std::chrono::steady_clock;

    struct Pending {
        uint64_t number = 0;
        std::string text;
    };
    struct Settlement {
        uint64_t number = 0;
        bool delivered = false;
    };

    CVondEventOutbox() = default;

    // The writer thread's body and its steps; everything below mutex_'s block is the
    // writer's alone.
    // A journal of an ended process, held locked from its reading until it is removed.
    struct Adopted {
        std::string path;
        std::string lockPath;
        platform::FileLock lock;
    };

    void Run();
    void Load();
    void Adopt(const std::string& name);
    void WriteGroup(std::vector<nlohmann::json> bodies);
    void Settle(const Settlement& settlement);
    void EnforceBound();
    void SendNext();
    bool Compact();
    bool WriteJournal(bool flush);
    void RemoveAdopted();
    void FinishJournal();
    void AppendRecord(const std::string& record);
    size_t LiveBytes() const;
    Clock::duration RetryDelay();

    std::mutex mutex_;  // guards the members up to done_
    std::condition_variable wake_;
    std::condition_variable finished_;
    std::vector<nlohmann::json> incoming_;
    std::vector<Settlement> settlements_;
    bool started_ = false;
    bool stopping_ = false;
    bool done_ = false;
    bool joining_ = false;
    std::atomic<int64_t> outstanding_{0};
    // Read under mutex_ to choose the writer's next wake-up; changed only by the writer.
    bool sendable_ = false;
    Clock::time_point nextGroupAt_{};
    Clock::time_point retryAt_{};

    std::thread writer_;  // never destroyed (the object is not), so never terminates the process
    std::string appFolder_;
    std::string journalPath_;
    std::string lockPath_;
    platform::FileLock lock_;
    platform::AppendFile journal_;
    // Records not yet on disk, in order; written before anything newer.
    std::string unwritten_;
    // The file lacks what is in memory: the next write replaces it whole.
    bool rewrite_ = true;
    bool unflushed_ = false;
    bool journalFailing_ = false;
    size_t journalBytes_ = 0;
    Clock::time_point compactRetryAt_{};
    std::vector<std::unique_ptr<Adopted>> adopted_;
    std::deque<Pending> pending_;
    size_t pendingBytes_ = 0;
    bool inFlight_ = false;
    uint64_t inFlightNumber_ = 0;
    uint64_t highestNumber_ = 0;
    int failures_ = 0;
    Clock::duration retryBase_ = std::chrono::seconds(1);
};

}  // namespace VondSdk
