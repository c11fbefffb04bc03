// CVondTrack: the SDK's analytics object. Knows the identity fields copied from the core,
// the game user's details and a small picture of the machine, and posts named events to
// the tracking endpoint. One instance, created when the library loads, never destroyed.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace VondSdk {

// text when it is not empty, else "_unknown".
std::string ValueOrUnknown(const std::string& text);
// The zone's text from the Windows bias (minutes, UTC minus local time): "UTC", "+" only for
// a zone east of UTC, then the whole hours truncated towards zero: UTC+8, UTC-3, UTC0. Pure.
std::string TimeZoneText(long biasMinutes);
// "Windows 11", "Windows 10", "Windows 8.1", "Windows 8", "Windows 7" or "_unknown" for the
// numbers RtlGetVersion reports. Pure.
std::string WindowsVersionName(uint32_t major, uint32_t minor, uint32_t build);

class CVondTrack {
public:
    static CVondTrack& Instance();

    // Fills every field: identity from the core's GlobalParams, user id, game user
    // details and the machine facts. Called by start-up on the thread that starts the SDK,
    // after the request pool is started. Events posted before it are dropped.
    void Init();
    // userId = the core's backend user id as a signed 64-bit decimal; -1 (and an Error log
    // line) when that text is not a number. Never throws. Any thread (the account login
    // calls it on a pool worker right before PostLoginEvent).
    void RefreshUserId();
    // Copies serverId, gameUserId and nickName ("_unknown" when empty) and level from the
    // core's GameUserInfo. Any thread (the setters call it on the game's thread).
    void RefreshGameUserInfo();

    // Builds one event on the caller's thread (its sdkTime is the moment of the call) and
    // hands it to the event outbox, which numbers, stores and sends it; never touches the disk
    // nor waits. value is NaN for an event without a number. Any thread; never throws.
    void PostEvent(const std::string& name, const std::string& params, double value);
    // Posts "qlx_login" with {"loginPlatform":loginPlatform,"puserId":puserId}. Any thread.
    void PostLoginEvent(const std::string& loginPlatform, const std::string& puserId);
    // Logs where params miss or break the rule of a reserved event; never stops a post.
    void CheckEventAndParams(const std::string& name, std::string params) const;
    // Takes the next event number ("EventOrder" + 1, written back durably before it is
    // returned) and returns "n<number>". No two calls get the same number, in this process or
    // in another on the same data folder. Any thread but a game frame's: it touches the disk.
    std::string NextEventOrder();
    // Takes count consecutive numbers the same way, with one locked update of AppConf, which
    // then holds the last of them; returns the first. When another process holds AppConf's
    // lock past its bound, numbers continue from this process's last one (logged).
    int64_t TakeEventNumbers(int64_t count);
    // The event writer's claim: count consecutive numbers above AppConf's "EventOrder", the
    // counter file beside it, this process's last number and floor (the highest number of
    // the journals the writer read), all under AppConf's cross-process lock; AppConf and the
    // counter then hold the last of them. Returns the first, or 0 when another process held
    // the lock past its bound (nothing claimed: try again later). A write that failed (full
    // disk) still claims: the counter file is rewritten in place and this process remembers
    // its last number. The event writer's thread.
    int64_t ClaimEventNumbers(int64_t count, int64_t floor);
    // False while the last claim reached neither AppConf nor the counter file (the numbers
    // handed out live in this process only). Any thread.
    bool NumbersStored() const { return !counterWarned_.load(); }
    // The six reserved names unchanged, names that already carry the custom prefix unchanged,
    // otherwise "qlx_self_" + name.
    std::string NormalizeEventName(const std::string& name) const;

    // The body PostEvent sends for these arguments (it takes an event number). Any thread.
    std::string BuildEventBody(const std::string& name, const std::string& params, double value);
    // The same body without its "eventOrder", with the name checks' log lines. Any thread.
    nlohmann::json BuildEvent(const std::string& name, const std::string& params, double value);

private:
    CVondTrack() = default;

    // The fields an event copies, taken as one consistent snapshot.
    struct Fields {
        std::string deviceId;
        std::string appId;
        std::string platform;
        std::string gamePlatform;
        std::string fingerId;
        int64_t userId = 0;
        std::string serverId;
        std::string gameUserId;
        std::string sdkVersion;
        std::string sdkType;
        std::string nickName;
        int32_t level = 0;
        std::string tz;
        std::string os;
        std::string resolution;
    };
    Fields Snapshot() const;

    mutable std::mutex mutex_;  // guards the two members below
    bool initialised_ = false;
    Fields fields_;
    // Serialises the claims of this process, the fallback past a busy lock included.
    std::mutex numbersMutex_;
    // The highest number handed out in this process; changed only under numbersMutex_, so a
    // counter write that failed (unwritable folder) still never repeats a number.
    std::atomic<int64_t> lastEventNumber_{0};
    std::atomic<bool> counterWarned_{false};
};

}  // namespace VondSdk
