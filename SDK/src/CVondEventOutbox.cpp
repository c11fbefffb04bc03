#include "src/CVondEventOutbox.h"

#include <algorithm>
#include <exception>
#include <random>
#include <system_error>

#include "easylogging++.h"
#include "http/CVondApi.h"
#include "src/CVondTrack.h"
#include "src/EventJournal.h"
#include "src/ResultCodes.h"
#include "utils/VondConfigUtils.h"
#include "utils/VondJson.h"
#include "utils/VondDevOverrides.h"
#include "utils/VondUtils.h"

namespace VondSdk {
namespace {

constexpr char kJournalName[] = "EventOutbox";
constexpr char kUnreadableSuffix[] = ".unreadable";
constexpr char kEventOrderKey[] = "eventOrder";
constexpr char kDroppedAtBound[] = "Event Outbox Full, Dropped Oldest Events:";
constexpr char kRetryLine[] = "Post Event Not Acknowledged, Retry In Ms:";
constexpr char kJournalError[] = "Event Outbox Not Writable, Events Kept In Memory Only:";
constexpr char kNotStarted[] = "Event Writer Not Running, Dropped Event";
constexpr char kTooLarge[] = "Post Event Too Large, Dropped, Bytes:";
constexpr char kRecovered[] = "Event Outbox Recovered Unsent Events:";
constexpr char kStillStopping[] = "Event writer of the last session still running, events of this one dropped";
// How long a new session waits for the last session's writer to finish its last group.
constexpr std::chrono::seconds kRestartWait(5);

// At most one group written to disk per interval while events keep arriving.
constexpr std::chrono::milliseconds kGroupInterval(100);
constexpr std::chrono::minutes kMaxRetryDelay(5);
// A journal grown past this, mostly of settled events, is rewritten with only what is pending.
constexpr size_t kCompactAbove = 1u << 20;
// A record's bytes besides the event's body: length, checksum, kind, number.
constexpr size_t kRecordOverhead = 17;


// Tests make the first retry short; a release build always waits a second.
std::chrono::milliseconds RetryBaseFromOverride() {
    std::string text;
    if (!ReadDevOverride(kTrackRetryOverride, text)) return std::chrono::seconds(1);
    try {
        const long ms = std::stol(text);
        if (ms > 0) return std::chrono::milliseconds(ms);
    } catch (const std::exception&) {
    }
    return std::chrono::seconds(1);
}

// Registered once the pool exists, so that it is destroyed before the pool: a game that ends
// without Exit gets its events on disk, and the writer no longer hands work to a pool being
// destroyed. When the OS has already ended the writer (Windows), nothing is touched.
struct StopAtProcessEnd {
    ~StopAtProcessEnd() {
        if (platform::ProcessIsEnding()) return;
        try {
            CVondEventOutbox::Instance().Shutdown(std::chrono::milliseconds(500));
        } catch (...) {
        }
    }
};

}  // namespace

CVondEventOutbox& CVondEventOutbox::Instance() {
    static CVondEventOutbox* outbox = new CVondEventOutbox();
    return *outbox;
}

bool CVondEventOutbox::Start() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (started_ && !stopping_) return !done_;
    if (started_) {
        // A new session after Exit: the last writer must be gone before another reads the
        // journal, or two would append to it. What it left unsent is in the journal, and the
        // new writer's load finds it there.
        if (!finished_.wait_for(lock, kRestartWait, [this] { return done_; })) {
            LOG(ERROR) << kStillStopping;
            return false;
        }
        if (writer_.joinable()) {
            if (joining_) return false;  // another thread is joining it right now
            writer_.join();
        }
        incoming_.clear();
        settlements_.clear();
        stopping_ = false;
        done_ = false;
        joining_ = false;
        sendable_ = false;
        nextGroupAt_ = Clock::time_point{};
        retryAt_ = Clock::time_point{};
        outstanding_.store(0);
        // The writer's own state; no writer runs now.
        journal_.Close();
        unflushed_ = false;
        journalBytes_ = 0;
        pending_.clear();
        pendingBytes_ = 0;
        inFlight_ = false;
        inFlightNumber_ = 0;
        highestNumber_ = 0;
        failures_ = 0;
    }
    started_ = true;
    journalPath_ = VondConfigUtils::GetAppFilePath(kJournalName);
    retryBase_ = RetryBaseFromOverride();
    try {
        writer_ = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        LOG(ERROR) << "Event writer failed to start: " << e.what();
        done_ = true;
        return false;
    }
    static StopAtProcessEnd stopAtProcessEnd;
    return true;
}

void CVondEventOutbox::Submit(nlohmann::json body) {
    bool wake = false;
    bool taken = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (started_ && !stopping_ && !done_) {
            wake = incoming_.empty();
            incoming_.push_back(std::move(body));
            outstanding_.fetch_add(1);
            taken = true;
        }
    }
    if (!taken) {
        LOG(WARNING) << kNotStarted;
        return;
    }
    // Only the first event of a group wakes the writer; it then sleeps until the group is due.
    if (wake) wake_.notify_one();
}

bool CVondEventOutbox::Shutdown(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!started_ || writer_.get_id() == std::this_thread::get_id()) return done_;
    stopping_ = true;
    wake_.notify_one();
    const bool finished = finished_.wait_for(lock, bound, [this] { return done_; });
    if (!joining_ && writer_.joinable()) {
        joining_ = true;
        if (finished) {
            lock.unlock();
            writer_.join();
        } else {
            // Past the bound the writer finishes its last group on its own; its object and
            // the library's code outlive it, and a later call still waits for done_.
            writer_.detach();
        }
    }
    return finished;
}

void CVondEventOutbox::Run() {
    try {
        Load();
    } catch (const std::exception& e) {
        LOG(ERROR) << "Event outbox failed to load: " << e.what();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // Sleep until a group is due, an answer came, a retry is due, or Exit asks to stop.
        for (;;) {
            if (stopping_ || !settlements_.empty()) break;
            const Clock::time_point now = Clock::now();
            if (!incoming_.empty() && now >= nextGroupAt_) break;
            if (sendable_ && now >= retryAt_) break;
            Clock::time_point until = Clock::time_point::max();
            if (!incoming_.empty()) until = nextGroupAt_;
            if (sendable_) until = std::min(until, retryAt_);
            if (until == Clock::time_point::max()) {
                wake_.wait(lock);
            } else {
                wake_.wait_until(lock, until);
            }
        }
        const bool stopping = stopping_;
        std::vector<nlohmann::json> bodies;
        if (stopping || Clock::now() >= nextGroupAt_) bodies.swap(incoming_);
        std::vector<Settlement> settlements;
        settlements.swap(settlements_);
        lock.unlock();

        try {
            for (const auto& settlement : settlements) Settle(settlement);
            if (!bodies.empty()) WriteGroup(std::move(bodies));
            if (stopping) {
                if (unflushed_ && journal_.IsOpen()) journal_.Flush();
                unflushed_ = false;
                journal_.Close();
            } else {
                if (journalBytes_ > kCompactAbove && journalBytes_ / 2 > LiveBytes()) Compact();
                SendNext();
            }
        } catch (const std::exception& e) {
            LOG(ERROR) << "Event writer step failed: " << e.what();
        }

        lock.lock();
        sendable_ = !inFlight_ && !pending_.empty();
        if (stopping) {
            done_ = true;
            finished_.notify_all();
            return;
        }
    }
}

void CVondEventOutbox::Load() {
    std::string bytes;
    JournalContents contents;
    if (platform::ReadWholeFile(journalPath_, bytes)) {
        contents = journal::Read(bytes);
        if (!contents.recognised && !bytes.empty()) {
            // Not ours, or torn before its first record: keep it aside rather than lose it.
            platform::ReplaceFileAtomically(journalPath_ + kUnreadableSuffix, bytes);
        }
    }
    highestNumber_ = contents.highestNumber;
    // Numbers a killed run wrote but never counted in AppConf are never handed out again.
    CVondTrack::Instance().NoteEventNumberUsed(static_cast<int64_t>(highestNumber_));
    for (auto& event : contents.pending) {
        pendingBytes_ += event.body.size();
        pending_.push_back(Pending{event.number, std::move(event.body)});
        outstanding_.fetch_add(1);
    }
    if (!pending_.empty()) LOG(INFO) << kRecovered << pending_.size();
    // Every start begins from a compact file: settled events and a torn tail go.
    Compact();
    EnforceBound();
}

void CVondEventOutbox::Compact() {
    std::vector<JournalEvent> live;
    live.reserve(pending_.size());
    for (const auto& event : pending_) live.push_back(JournalEvent{event.number, event.text});
    const std::string content = journal::Compacted(highestNumber_, live);
    journal_.Close();
    if (!platform::ReplaceFileAtomically(journalPath_, content) || !journal_.Open(journalPath_)) {
        journal_.Close();
        LOG(ERROR) << kJournalError << journalPath_;
        journalBytes_ = 0;
        return;
    }
    journalBytes_ = content.size();
    unflushed_ = false;
}

size_t CVondEventOutbox::LiveBytes() const {
    return pendingBytes_ + pending_.size() * kRecordOverhead;
}

void CVondEventOutbox::AppendRecord(const std::string& record) {
    if (!journal_.IsOpen()) return;
    if (!journal_.Append(record)) {
        // A half-written record would hide every later one from the reader: start anew.
        LOG(ERROR) << kJournalError << journalPath_;
        Compact();
        return;
    }
    journalBytes_ += record.size();
    unflushed_ = true;
}

void CVondEventOutbox::WriteGroup(std::vector<nlohmann::json> bodies) {
    // The group reaches the journal first (one flush): it is then safe from a kill, and the
    // journal's highest number keeps a later start from handing any of them out again. AppConf
    // follows before any of them is sent, so it never lags behind a number a backend saw.
    const int64_t first = CVondTrack::Instance().ReserveEventNumbers(static_cast<int64_t>(bodies.size()));
    std::string records;
    for (size_t i = 0; i < bodies.size(); ++i) {
        const uint64_t number = static_cast<uint64_t>(first) + i;
        bodies[i][kEventOrderKey] = "n" + std::to_string(number);
        std::string text = CompactJson(bodies[i]);
        highestNumber_ = std::max(highestNumber_, number);
        if (text.size() > kMaxBytes) {
            // Alone past the bound: it would push every older event out. Its number stays used.
            LOG(ERROR) << kTooLarge << text.size();
            outstanding_.fetch_sub(1);
            continue;
        }
        records += journal::Record(journal::kEvent, number, text);
        pendingBytes_ += text.size();
        pending_.push_back(Pending{number, std::move(text)});
    }
    if (journal_.IsOpen()) {
        AppendRecord(records);
        if (journal_.IsOpen() && !journal_.Flush()) LOG(ERROR) << kJournalError << journalPath_;
        unflushed_ = false;
    }
    CVondTrack::Instance().StoreLastEventNumber(first + static_cast<int64_t>(bodies.size()) - 1);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nextGroupAt_ = Clock::now() + kGroupInterval;
    }
    EnforceBound();
}

void CVondEventOutbox::EnforceBound() {
    size_t dropped = 0;
    std::string records;
    // The event on the wire stays: its answer is still to come.
    auto victim = pending_.begin();
    if (inFlight_ && victim != pending_.end() && victim->number == inFlightNumber_) ++victim;
    while ((pending_.size() > kMaxEvents || pendingBytes_ > kMaxBytes) && victim != pending_.end()) {
        records += journal::Record(journal::kDropped, victim->number);
        pendingBytes_ -= victim->text.size();
        victim = pending_.erase(victim);
        outstanding_.fetch_sub(1);
        ++dropped;
    }
    if (dropped == 0) return;
    AppendRecord(records);
    LOG(WARNING) << kDroppedAtBound << dropped;
}

void CVondEventOutbox::Settle(const Settlement& settlement) {
    if (!inFlight_ || settlement.number != inFlightNumber_) return;
    inFlight_ = false;
    auto event = std::find_if(pending_.begin(), pending_.end(),
                              [&](const Pending& each) { return each.number == settlement.number; });
    if (!settlement.delivered) {
        const Clock::duration delay = RetryDelay();
        retryAt_ = Clock::now() + delay;
        LOG(WARNING) << kRetryLine << std::chrono::duration_cast<std::chrono::milliseconds>(delay).count();
        return;
    }
    failures_ = 0;
    retryAt_ = Clock::now();
    if (event == pending_.end()) return;  // dropped at the bound meanwhile
    pendingBytes_ -= event->text.size();
    pending_.erase(event);
    outstanding_.fetch_sub(1);
    // Not flushed on its own: an acknowledgement lost to a crash only sends the event again,
    // and the backend drops the repeat by its number.
    AppendRecord(journal::Record(journal::kAcknowledged, settlement.number));
}

CVondEventOutbox::Clock::duration CVondEventOutbox::RetryDelay() {
    static thread_local std::minstd_rand random(std::random_device{}());
    const int doublings = std::min(failures_, 20);
    ++failures_;
    Clock::duration delay = retryBase_ * (int64_t(1) << doublings);
    if (delay > kMaxRetryDelay) delay = kMaxRetryDelay;
    // Up to a quarter more, so that many players coming back online do not retry in step.
    std::uniform_int_distribution<int64_t> spread(0, std::max<int64_t>(1, delay.count() / 4));
    delay += Clock::duration(spread(random));
    return std::min<Clock::duration>(delay, kMaxRetryDelay);
}

void CVondEventOutbox::SendNext() {
    if (inFlight_ || pending_.empty() || Clock::now() < retryAt_) return;
    const Pending& event = pending_.front();
    inFlight_ = true;
    inFlightNumber_ = event.number;
    const uint64_t number = event.number;
    CVondApi::Instance().PostTrack(event.text, [this, number](HttpResp resp) {
        LOG(DEBUG) << "Post Event resp: " << ToUtf8(resp.data);
        // Only HTTP 200 with a readable envelope takes an event out of the outbox.
        const bool delivered = resp.code != kCodeJsonParseError && resp.code != kCodeExchangeFailed;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            settlements_.push_back(Settlement{number, delivered});
        }
        wake_.notify_one();
    });
}

}  // namespace VondSdk
