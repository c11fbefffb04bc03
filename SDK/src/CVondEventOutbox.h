// CVondEventOutbox: the SDK's own event writer. The game's thread hands over a built event and
// returns; one writer thread numbers the events in the order they were handed over (numbers
// claimed under AppConf's cross-process lock, so two game processes never share one), appends
// them to this process's own journal in the app's data folder in groups (one flush per group,
// at most one group every 100 ms while events arrive), and only then sends them until the
// tracking endpoint acknowledges each: oldest first, several at once (each one POST of its own
// body, settled by its own answer), events of this run taking turns with those taken over.
// Acknowledged means HTTP 200 with an envelope whose code is 200. An answer that refuses the
// event itself (HTTP 400, 413, 422, or envelope code 4010) drops it at its third such answer;
// any other failure sends it again after a back-off of its own. When every request of a window
// failed, the endpoint looks down: one event at a time probes it, at that event's back-off,
// until an answer comes, so a game coming back online never floods a backend that is down.
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
    // The largest event body taken: a larger one is dropped by the writer with a log line (its
    // number stays used), as a tracking endpoint refuses it anyway.
    static constexpr size_t kMaxEventBytes = 64u << 10;
    // Events waiting for their answer at once: the default and the allowed range. The request
    // pool runs at most sion::kBackgroundWorkers of them at the same time, whatever the setting.
    static constexpr int kDefaultInFlight = 4;
    static constexpr int kMostInFlight = 6;
    // An event that the endpoint refuses for good is dropped at this many refusals.
    static constexpr int kMostRefusals = 3;

    // Sets how many events may wait for their answer at once, 1..kMostInFlight; false (and
    // unchanged) outside. Any thread, any time; takes effect from the next send.
    bool SetMaxInFlight(int count);
    int MaxInFlight() const { return maxInFlight_.load(); }

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
    // Events handed to the request pool and not yet answered. Any thread; for benchmarks.
    int InFlight() const { return inFlightCount_.load(); }

private:
    using Clock = std::chrono::steady_clock;

    struct Pending {
        uint64_t number = 0;
        std::string text;
        bool live = false;  // handed over in this run, not taken over from a journal
        bool inFlight = false;
        int failures = 0;   // answers that were not an acknowledgement: its own back-off
        int refusals = 0;   // answers that refused it for good
        Clock::time_point retryAt{};
    };
    enum class Answer { Acknowledged, Failed, Refused };
    struct Settlement {
        uint64_t session = 0;
        uint64_t number = 0;
        Answer answer = Answer::Failed;
        int32_t code = 0;
        int32_t httpStatus = 0;
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
    Pending* NextToSend(Clock::time_point now, bool probing);
    void Post(Pending& event);
    void Erase(std::deque<Pending>::iterator event);
    bool Compact();
    bool WriteJournal(bool flush);
    void RemoveAdopted();
    void FinishJournal();
    void AppendRecord(const std::string& record);
    size_t LiveBytes() const;
    Clock::duration RetryDelay(int failures) const;

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
    std::atomic<int> maxInFlight_{kDefaultInFlight};
    std::atomic<int> inFlightCount_{0};  // changed only by the writer
    // Read under mutex_ to choose the writer's next wake-up; changed only by the writer.
    Clock::time_point nextGroupAt_{};
    Clock::time_point nextSendAt_ = Clock::time_point::max();

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
    // In number order.
    std::deque<Pending> pending_;
    size_t pendingBytes_ = 0;
    size_t livePending_ = 0;
    uint64_t highestNumber_ = 0;
    // Answers in a row that were neither an acknowledgement nor a refusal.
    int failuresInARow_ = 0;
    bool lastSentLive_ = false;
    // Raised by each Start: an answer of an earlier session settles nothing of this one.
    uint64_t session_ = 0;
    Clock::duration retryBase_ = std::chrono::seconds(1);
};

}  // namespace VondSdk
