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
constexpr char kUnreadableSuffix[] = ".unreadable-";
constexpr char kEventOrderKey[] = "eventOrder";
constexpr char kDroppedAtBound[] = "Event Outbox Full, Dropped Oldest Events:";
constexpr char kRetryLine[] = "Post Event Not Acknowledged, Retry In Ms:";
constexpr char kRefusedForGood[] = "Post Event Refused By The Endpoint, Dropped:";
constexpr char kJournalError[] = "Event Outbox Not Writable, Events Kept In Memory Only:";
constexpr char kNotStarted[] = "Event Writer Not Running, Dropped Event";
constexpr char kTooLarge[] = "Post Event Too Large, Dropped:";
constexpr char kRecovered[] = "Event Outbox Recovered Unsent Events:";
constexpr char kStillStopping[] = "Event writer of the last session still running, events of this one dropped";
constexpr char kJournalBack[] = "Event Outbox Writable Again:";
constexpr char kJournalLeft[] = "Event Outbox Of Another Run Unreadable, Left As It Is:";
constexpr char kJournalKeptAside[] = "Event Outbox Of Another Run Not Recognised, Kept Aside As:";
constexpr char kJournalDamaged[] = "Event Outbox Damaged, Bytes Lost (damaged, torn):";
constexpr char kJournalNotRemoved[] = "Event Outbox Of Another Run Not Removed, Kept Locked:";
constexpr char kNumbersBusy[] = "Event Numbers Held By Another Process, Events Wait:";
constexpr char kUnnumberedAtExit[] = "Event Numbers Held By Another Process At Exit, Dropped Events:";
// How long a new session waits for the last session's writer to finish its last group.
constexpr std::chrono::seconds kRestartWait(5);

// At most one group written to disk per interval while events keep arriving.
constexpr std::chrono::milliseconds kGroupInterval(100);
constexpr std::chrono::minutes kMaxRetryDelay(5);
// A journal grown past this, mostly of settled events, is rewritten with only what is pending.
constexpr size_t kCompactAbove = 1u << 20;
// A record's bytes besides the event's body: length, checksum, kind, number.
constexpr size_t kRecordOverhead = 17;
// A compaction that failed (full disk) is tried again no sooner than this.
constexpr std::chrono::seconds kCompactRetry(5);
// Envelope codes by which the tracking endpoint refuses an event itself: sending the same body
// again can never succeed.
constexpr int32_t kPermanentEnvelopeCodes[] = {4010};
// HTTP statuses that refuse the request itself (bad request, body too large, unprocessable).
constexpr int32_t kPermanentStatuses[] = {400, 413, 422};
// A group whose numbers could not be claimed (another process hung holding the lock) waits this long.
constexpr std::chrono::seconds kClaimRetry(1);

// "EventOutbox" (earlier builds) or "EventOutbox.<uuid>": never a lock, a temporary file of an
// atomic replace, or a file kept aside, whose names carry a second dot or other letters.
bool IsJournalName(const std::string& name) {
    const size_t base = sizeof(kJournalName) - 1;
    if (name.compare(0, base, kJournalName) != 0) return false;
    if (name.size() == base) return true;
    if (name[base] != '.' || name.size() == base + 1) return false;
    for (size_t i = base + 1; i < name.size(); ++i) {
        const char c = name[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '-';
        if (!hex) return false;
    }
    return true;
}

// This process's journal name; random hex when the OS cannot make a UUID.
std::string OwnJournalName() {
    std::string id = platform::NewUuidText();
    if (id.empty()) {
        std::random_device device;
        static const char kHex[] = "0123456789abcdef";
        for (int i = 0; i < 32; ++i) id.push_back(kHex[device() & 0xF]);
    }
    return std::string(kJournalName) + "." + id;
}

template <size_t N>
bool Holds(const int32_t (&codes)[N], int32_t code) {
    return std::find(std::begin(codes), std::end(codes), code) != std::end(codes);
}

long long UnixMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}


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
        nextGroupAt_ = Clock::time_point{};
        nextSendAt_ = Clock::time_point::max();
        outstanding_.store(0);
        inFlightCount_.store(0);
        // The writer's own state; no writer runs now.
        journal_.Close();
        lock_.Unlock();
        unwritten_.clear();
        rewrite_ = true;
        unflushed_ = false;
        journalFailing_ = false;
        journalBytes_ = 0;
        compactRetryAt_ = Clock::time_point{};
        adopted_.clear();
        pending_.clear();
        pendingBytes_ = 0;
        livePending_ = 0;
        highestNumber_ = 0;
        failuresInARow_ = 0;
        lastSentLive_ = false;
    }
    started_ = true;
    ++session_;
    journalPath_ = VondConfigUtils::GetAppFilePath(OwnJournalName());
    lockPath_ = platform::LockPathFor(journalPath_);
    appFolder_ = VondConfigUtils::GetAppFilePath(std::string());
    if (!appFolder_.empty()) appFolder_.pop_back();
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

bool CVondEventOutbox::SetMaxInFlight(int count) {
    if (count < 1 || count > kMostInFlight) return false;
    maxInFlight_.store(count);
    return true;
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
            if (now >= nextSendAt_) break;
            Clock::time_point until = nextSendAt_;
            if (!incoming_.empty()) until = std::min(until, nextGroupAt_);
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
            // An event that was on the wire when the outbox passed its bound goes once answered.
            if (!settlements.empty()) EnforceBound();
            if (!bodies.empty()) WriteGroup(std::move(bodies));
            if (stopping) {
                FinishJournal();
            } else {
                WriteJournal(false);
                const Clock::time_point now = Clock::now();
                if (!rewrite_ && journal_.IsOpen() && journalBytes_ > kCompactAbove &&
                    journalBytes_ / 2 > LiveBytes() && now >= compactRetryAt_ && !Compact()) {
                    compactRetryAt_ = now + kCompactRetry;
                }
                SendNext();
            }
        } catch (const std::exception& e) {
            LOG(ERROR) << "Event writer step failed: " << e.what();
        }

        lock.lock();
        if (stopping) {
            done_ = true;
            finished_.notify_all();
            return;
        }
    }
}

void CVondEventOutbox::Load() {
    // Ours is locked before it exists, so no other start ever takes it for an ended run's. When
    // the lock cannot be made now, the journal waits for it (WriteJournal tries again).
    lock_.TryLock(lockPath_);
    for (const std::string& name : platform::ListFiles(appFolder_, kJournalName)) Adopt(name);
    // Several ended runs: their events go out in number order, and each once.
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Pending& a, const Pending& b) { return a.number < b.number; });
    pending_.erase(std::unique(pending_.begin(), pending_.end(),
                               [&](const Pending& a, const Pending& b) { return a.number == b.number; }),
                   pending_.end());
    pendingBytes_ = 0;
    for (const auto& event : pending_) pendingBytes_ += event.text.size();
    outstanding_.fetch_add(static_cast<int64_t>(pending_.size()));
    if (!pending_.empty()) LOG(INFO) << kRecovered << pending_.size();
    EnforceBound();
    // Our journal begins with everything taken over, flushed; only then do the others go.
    rewrite_ = true;
    WriteJournal(true);
}

void CVondEventOutbox::Adopt(const std::string& name) {
    const std::string path = appFolder_ + "/" + name;
    if (!IsJournalName(name) || path == journalPath_) return;
    auto adopted = std::make_unique<Adopted>();
    adopted->path = path;
    adopted->lockPath = platform::LockPathFor(path);
    // Held: its process is running and appending to it. Error: not ours to judge now.
    if (adopted->lock.TryLock(adopted->lockPath) != platform::FileLock::Outcome::Taken) return;
    std::string bytes;
    const platform::ReadResult read = platform::ReadFileState(path, bytes);
    if (read == platform::ReadResult::Error) {
        LOG(ERROR) << kJournalLeft << path;
        return;
    }
    if (read == platform::ReadResult::Absent) {
        // Another start took it over between our listing and our lock.
        adopted->lock.Unlock();
        platform::RemoveFile(adopted->lockPath);
        return;
    }
    JournalContents contents = journal::Read(bytes);
    if (!contents.recognised && !bytes.empty()) {
        // Not ours, or torn before its first record: kept aside rather than lost.
        const std::string aside = path + kUnreadableSuffix + std::to_string(UnixMilliseconds());
        if (!platform::ReplaceFileAtomically(aside, bytes)) {
            LOG(ERROR) << kJournalLeft << path;
            return;
        }
        LOG(ERROR) << kJournalKeptAside << aside;
    }
    if (contents.damagedBytes != 0 || contents.tornTailBytes != 0) {
        LOG(WARNING) << kJournalDamaged << path << " " << contents.damagedBytes << ", " << contents.tornTailBytes;
    }
    highestNumber_ = std::max(highestNumber_, contents.highestNumber);
    for (auto& event : contents.pending) pending_.push_back(Pending{event.number, std::move(event.body)});
    adopted_.push_back(std::move(adopted));
}

void CVondEventOutbox::RemoveAdopted() {
    for (auto it = adopted_.begin(); it != adopted_.end();) {
        Adopted& adopted = **it;
        if (!platform::RemoveFile(adopted.path)) {
            // Still locked by us: no other start takes it over while we run; the next one does.
            LOG(WARNING) << kJournalNotRemoved << adopted.path;
            ++it;
            continue;
        }
        // Unlocked before removal, as Windows removes no file held open; a start that takes
        // the lock in between finds no journal and removes the lock itself.
        adopted.lock.Unlock();
        platform::RemoveFile(adopted.lockPath);
        it = adopted_.erase(it);
    }
}

bool CVondEventOutbox::Compact() {
    std::vector<JournalEvent> live;
    live.reserve(pending_.size());
    for (const auto& event : pending_) live.push_back(JournalEvent{event.number, event.text});
    const std::string content = journal::Compacted(highestNumber_, live);
    const bool wasOpen = journal_.IsOpen();
    // Windows refuses a rename over a file held open.
    journal_.Close();
    if (!platform::ReplaceFileAtomically(journalPath_, content)) {
        // The old file is untouched: appending goes on into it.
        if (wasOpen) journal_.Open(journalPath_);
        return false;
    }
    // Everything in memory is on disk now, flushed.
    rewrite_ = false;
    unwritten_.clear();
    unflushed_ = false;
    journalBytes_ = content.size();
    return journal_.Open(journalPath_);
}

bool CVondEventOutbox::WriteJournal(bool flush) {
    bool written = true;
    if (rewrite_ || !journal_.IsOpen()) {
        // Closed (its open failed, the disk was full) or missing records: replaced whole.
        unwritten_.clear();
        rewrite_ = true;
        written = (lock_.IsLocked() || lock_.TryLock(lockPath_) == platform::FileLock::Outcome::Taken) && Compact();
    } else {
        if (!unwritten_.empty()) {
            // A torn append leaves a part of a record, which the reader passes over: the same
            // records are written whole again.
            written = journal_.Append(unwritten_);
            if (written) {
                journalBytes_ += unwritten_.size();
                unwritten_.clear();
                unflushed_ = true;
            } else if (unwritten_.size() > kCompactAbove) {
                rewrite_ = true;
                unwritten_.clear();
            }
        }
        if (written && flush && unflushed_) {
            written = journal_.Flush();
            if (written) unflushed_ = false;
        }
    }
    if (!written && !journalFailing_) LOG(ERROR) << kJournalError << journalPath_;
    if (written && journalFailing_) LOG(INFO) << kJournalBack << journalPath_;
    journalFailing_ = !written;
    if (written && !unflushed_ && !adopted_.empty()) RemoveAdopted();
    return written;
}

void CVondEventOutbox::FinishJournal() {
    const bool written = WriteJournal(true);
    journal_.Close();
    // While neither AppConf nor the counter took the numbers handed out, the journal's mark is
    // the only record of the highest: it stays for the next start to count on from.
    if (written && pending_.empty() && adopted_.empty() && CVondTrack::Instance().NumbersStored() &&
        platform::RemoveFile(journalPath_)) {
        // Nothing left to send: the folder keeps no journal of a finished run.
        lock_.Unlock();
        platform::RemoveFile(lockPath_);
        return;
    }
    lock_.Unlock();
    adopted_.clear();
}

size_t CVondEventOutbox::LiveBytes() const {
    return pendingBytes_ + pending_.size() * kRecordOverhead;
}

void CVondEventOutbox::AppendRecord(const std::string& record) {
    if (!rewrite_) unwritten_ += record;
}

void CVondEventOutbox::WriteGroup(std::vector<nlohmann::json> bodies) {
    // The numbers are claimed first, under the lock every process of this data folder takes:
    // AppConf and the counter beside it then never lag behind a number a backend saw. The group
    // reaches the journal (one flush) before any of it is sent.
    const int64_t first = CVondTrack::Instance().ClaimEventNumbers(static_cast<int64_t>(bodies.size()),
                                                                   static_cast<int64_t>(highestNumber_));
    if (first == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            LOG(ERROR) << kUnnumberedAtExit << bodies.size();
            outstanding_.fetch_sub(static_cast<int64_t>(bodies.size()));
            return;
        }
        LOG(WARNING) << kNumbersBusy << bodies.size();
        incoming_.insert(incoming_.begin(), std::make_move_iterator(bodies.begin()),
                         std::make_move_iterator(bodies.end()));
        nextGroupAt_ = Clock::now() + kClaimRetry;
        return;
    }
    for (size_t i = 0; i < bodies.size(); ++i) {
        const uint64_t number = static_cast<uint64_t>(first) + i;
        bodies[i][kEventOrderKey] = "n" + std::to_string(number);
        std::string text = CompactJson(bodies[i]);
        highestNumber_ = std::max(highestNumber_, number);
        if (text.size() > kMaxEventBytes) {
            // The endpoint would refuse it on every try, and it would crowd out older events.
            // Its number stays used.
            LOG(ERROR) << kTooLarge << " n" << number << ", Bytes: " << text.size() << " (bound " << kMaxEventBytes
                       << ")";
            outstanding_.fetch_sub(1);
            continue;
        }
        AppendRecord(journal::Record(journal::kEvent, number, text));
        pendingBytes_ += text.size();
        Pending event;
        event.number = number;
        event.text = std::move(text);
        event.live = true;
        pending_.push_back(std::move(event));
        ++livePending_;
    }
    EnforceBound();
    WriteJournal(true);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nextGroupAt_ = Clock::now() + kGroupInterval;
    }
}

void CVondEventOutbox::EnforceBound() {
    size_t dropped = 0;
    std::string records;
    // Events on the wire stay, on top of the bound (a handful at most): otherwise the newest
    // would be dropped in their place.
    const size_t onWire = static_cast<size_t>(std::max<int64_t>(inFlightCount_.load(), 0));
    size_t onWireBytes = 0;
    if (pendingBytes_ > kMaxBytes) {
        for (const auto& event : pending_) onWireBytes += event.inFlight ? event.text.size() : 0;
    }
    for (auto victim = pending_.begin();
         (pending_.size() > kMaxEvents + onWire || pendingBytes_ > kMaxBytes + onWireBytes) &&
         victim != pending_.end();) {
        // An event on the wire stays: its answer is still to come.
        if (victim->inFlight) {
            ++victim;
            continue;
        }
        records += journal::Record(journal::kDropped, victim->number);
        pendingBytes_ -= victim->text.size();
        if (victim->live) --livePending_;
        victim = pending_.erase(victim);
        outstanding_.fetch_sub(1);
        ++dropped;
    }
    if (dropped == 0) return;
    AppendRecord(records);
    LOG(WARNING) << kDroppedAtBound << dropped;
}

void CVondEventOutbox::Erase(std::deque<Pending>::iterator event) {
    pendingBytes_ -= event->text.size();
    if (event->live) --livePending_;
    pending_.erase(event);
    outstanding_.fetch_sub(1);
}

void CVondEventOutbox::Settle(const Settlement& settlement) {
    if (settlement.session != session_) return;
    auto event = std::lower_bound(pending_.begin(), pending_.end(), settlement.number,
                                  [](const Pending& each, uint64_t number) { return each.number < number; });
    if (event == pending_.end() || event->number != settlement.number || !event->inFlight) return;
    event->inFlight = false;
    inFlightCount_.fetch_sub(1);
    switch (settlement.answer) {
        case Answer::Acknowledged:
            failuresInARow_ = 0;
            Erase(event);
            // Not flushed on its own: an acknowledgement lost to a crash only sends the event
            // again, and the backend drops the repeat by its number.
            AppendRecord(journal::Record(journal::kAcknowledged, settlement.number));
            return;
        case Answer::Refused:
            // The endpoint is up and answering: only this event is at fault.
            failuresInARow_ = 0;
            if (++event->refusals >= kMostRefusals) {
                LOG(ERROR) << kRefusedForGood << " n" << settlement.number << ", Http Code: " << settlement.httpStatus
                           << ", Code: " << settlement.code << ", Tries: " << event->refusals;
                Erase(event);
                AppendRecord(journal::Record(journal::kDropped, settlement.number));
                return;
            }
            break;
        case Answer::Failed:
            ++failuresInARow_;
            break;
    }
    const Clock::duration delay = RetryDelay(event->failures++);
    event->retryAt = Clock::now() + delay;
    LOG(WARNING) << kRetryLine << std::chrono::duration_cast<std::chrono::milliseconds>(delay).count() << ", n"
                 << settlement.number << ", Code: " << settlement.code;
}

CVondEventOutbox::Clock::duration CVondEventOutbox::RetryDelay(int failures) const {
    static thread_local std::minstd_rand random(std::random_device{}());
    const int doublings = std::min(failures, 20);
    Clock::duration delay = retryBase_ * (int64_t(1) << doublings);
    if (delay > kMaxRetryDelay) delay = kMaxRetryDelay;
    // Up to a quarter more, so that many players coming back online do not retry in step.
    std::uniform_int_distribution<int64_t> spread(0, std::max<int64_t>(1, delay.count() / 4));
    delay += Clock::duration(spread(random));
    return std::min<Clock::duration>(delay, kMaxRetryDelay);
}

CVondEventOutbox::Pending* CVondEventOutbox::NextToSend(Clock::time_point now, bool probing) {
    if (probing) {
        // Only the oldest event probes the endpoint, at its own back-off, which grows with
        // every failure: the others wait for its answer instead of hammering a backend that
        // is down.
        for (auto& event : pending_) {
            if (event.inFlight) return nullptr;
            if (event.retryAt <= now) return &event;
            nextSendAt_ = std::min(nextSendAt_, event.retryAt);
            return nullptr;
        }
        return nullptr;
    }
    // Oldest first, events of this run taking turns with those taken over from ended runs: a
    // long backlog never holds back what the player does now.
    const size_t backlog = pending_.size() - livePending_;
    const bool wantLive = livePending_ != 0 && (backlog == 0 || !lastSentLive_);
    Pending* live = nullptr;
    Pending* old = nullptr;
    for (auto& event : pending_) {
        if (event.inFlight) continue;
        if (event.retryAt > now) {
            nextSendAt_ = std::min(nextSendAt_, event.retryAt);
            continue;
        }
        Pending*& slot = event.live ? live : old;
        if (slot == nullptr) slot = &event;
        // Stop at the first event of the kind whose turn it is; the other kind is the fallback.
        if ((wantLive && live != nullptr) || (!wantLive && old != nullptr)) break;
    }
    Pending* next = wantLive ? (live != nullptr ? live : old) : (old != nullptr ? old : live);
    if (next != nullptr) lastSentLive_ = next->live;
    return next;
}

void CVondEventOutbox::Post(Pending& event) {
    event.inFlight = true;
    inFlightCount_.fetch_add(1);
    const uint64_t number = event.number;
    const uint64_t session = session_;
    CVondApi::Instance().PostTrack(event.text, [this, number, session](HttpResp resp) {
        LOG(DEBUG) << "Post Event resp: " << ToUtf8(resp.data);
        Settlement settlement{session, number, Answer::Failed, resp.code, resp.httpStatus};
        // Only an envelope that says 200 acknowledges: a backend error inside an HTTP 200 (busy,
        // overloaded) is a failure like any other.
        if (resp.httpStatus == 200 && resp.code == kCodeOk) {
            settlement.answer = Answer::Acknowledged;
        } else if ((resp.httpStatus == 200 && Holds(kPermanentEnvelopeCodes, resp.code)) ||
                   Holds(kPermanentStatuses, resp.httpStatus)) {
            settlement.answer = Answer::Refused;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            settlements_.push_back(settlement);
        }
        wake_.notify_one();
    });
}

void CVondEventOutbox::SendNext() {
    nextSendAt_ = Clock::time_point::max();
    const int window = maxInFlight_.load();
    // Every answer of a whole window failed: the endpoint looks down or overloaded.
    const bool probing = failuresInARow_ >= window;
    const int limit = probing ? 1 : window;
    const Clock::time_point now = Clock::now();
    while (inFlightCount_.load() < limit) {
        Pending* next = NextToSend(now, probing);
        if (next == nullptr) return;
        Post(*next);
    }
    // The window is full: the next answer wakes the writer.
    nextSendAt_ = Clock::time_point::max();
}

}  // namespace VondSdk
