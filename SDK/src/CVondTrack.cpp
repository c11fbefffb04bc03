#include "src/CVondTrack.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <exception>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "easylogging++.h"
#include "platform/Platform.h"
#include "src/CVondCore.h"
#include "src/CVondEventOutbox.h"
#include "utils/VondConfigUtils.h"
#include "utils/VondJson.h"
#include "utils/VondUtils.h"

namespace VondSdk {
namespace {

constexpr char kUnknown[] = "_unknown";
constexpr char kCustomPrefix[] = "qlx_self_";
constexpr char kUserCreate[] = "qlx_user_create";
constexpr char kLevelAchieved[] = "qlx_level_achieved";
constexpr char kLoginEvent[] = "qlx_login";
constexpr char kEventOrderKey[] = "EventOrder";

constexpr char kNameError[] = "Post Event Name Error:";
constexpr char kParamsNotJson[] = "Post Event Param Error, Not Valid JSON:";
constexpr char kParamKeyError[] = "Post Event Param Error:";
constexpr char kCheckStart[] = "Star Check Event Name:";
constexpr char kCheckNotJson[] = "Event Check Param Error, Params Not Json:";
constexpr char kCheckMissing[] = "Check Event Error, Not Contain Musted Param, Name:";
constexpr char kCheckIncorrect[] = "Check Event Error, Param Value Incorrect, Name:";
constexpr char kBeforeInit[] = "Post Event Before Init, Dropped:";

// The reserved events and the parameters each must carry (type words as the backend names
// them); fixed for the life of the process.
const std::set<std::string>& ReservedNames() {
    static const std::set<std::string>* names = new std::set<std::string>{
        "qlx_startup", "qlx_login", "qlx_user_import", "qlx_user_create", "qlx_user_info_update", "qlx_level_achieved"};
    return *names;
}

const nlohmann::json& EventRules() {
    static const nlohmann::json* rules = new nlohmann::json{
        {"qlx_user_import", {{"isFirstEnter", "int"}}},
        {"qlx_user_create", {{"nickname", "string"}, {"registerTime", "long"}}},
        {"qlx_user_info_update", {{"nickname", "string"}}},
    };
    return *rules;
}

// ^[a-zA-Z0-9_]+$
bool IsPlainName(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!plain) return false;
    }
    return true;
}


bool ValueAccepted(const std::string& typeWord, const nlohmann::json& value) {
    if (typeWord == "int") {
        if (!value.is_number_integer()) return false;
        if (value.is_number_unsigned()) return value.get<uint64_t>() <= 1;
        const int64_t number = value.get<int64_t>();
        return number == 0 || number == 1;
    }
    if (typeWord == "string") return value.is_string() && !value.get_ref<const std::string&>().empty();
    // A millisecond timestamp: 13 characters, so a time in seconds is refused.
    if (typeWord == "long") return value.is_number() && CompactJson(value).size() == 13;
    return false;
}

// "EventOrder" read as an integer; any other type counts as absent.
int64_t StoredEventOrder(const nlohmann::json& conf) {
    auto it = conf.find(kEventOrderKey);
    if (it == conf.end() || !it->is_number()) return 0;
    if (it->is_number_float()) {
        const double value = it->get<double>();
        return (value > -9.2e18 && value < 9.2e18) ? static_cast<int64_t>(value) : 0;
    }
    if (it->is_number_unsigned()) {
        const uint64_t value = it->get<uint64_t>();
        return value > uint64_t(INT64_MAX - 1) ? INT64_MAX - 1 : static_cast<int64_t>(value);
    }
    return it->get<int64_t>();
}

int64_t NowMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string ValueOrUnknown(const std::string& text) {
    return text.empty() ? std::string(kUnknown) : text;
}

std::string TimeZoneText(long biasMinutes) {
    const long hours = -biasMinutes / 60;  // C++ division truncates towards zero
    return std::string("UTC") + (hours > 0 ? "+" : "") + std::to_string(hours);
}

std::string WindowsVersionName(uint32_t major, uint32_t minor, uint32_t build) {
    if (major >= 10 && build > 22000) return "Windows 11";
    if (major == 10 && minor == 0) return "Windows 10";
    if (major == 6 && minor == 3) return "Windows 8.1";
    if (major == 6 && minor == 2) return "Windows 8";
    if (major == 6 && minor == 1) return "Windows 7";
    return kUnknown;
}

CVondTrack& CVondTrack::Instance() {
    // Never destroyed: a worker posting the login event late at process exit must not find
    // a dead object.
    static CVondTrack* track = new CVondTrack();
    return *track;
}

void CVondTrack::Init() {
    const GlobalParams params = CVondCore::Instance().GetGlobalParams();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fields_.appId = params.appId;
        fields_.deviceId = params.clientId;
        fields_.fingerId = params.clientId;
        fields_.platform = params.runPlatform;
        fields_.gamePlatform = params.gamePlatform;
        fields_.sdkVersion = params.sdkVer;
        fields_.sdkType = params.sdkType;
    }
    RefreshUserId();
    RefreshGameUserInfo();

    const platform::ScreenSize screen = platform::DesktopSize();
    const std::string resolution = std::to_string(screen.width) + "x" + std::to_string(screen.height);

    long bias = 0;
    const bool zoneKnown = platform::TimeZoneBias(bias);

    platform::OsVersionInfo version;
    std::string os = kUnknown;
    if (platform::QueryOsVersion(version)) {
        os = version.windows ? WindowsVersionName(version.major, version.minor, version.build)
                             : ValueOrUnknown(version.name);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fields_.resolution = resolution;
        // A zone that cannot be read leaves the text as it was.
        if (zoneKnown) fields_.tz = TimeZoneText(bias);
        fields_.os = os;
    }
    // Started before events are taken, so that the first event already finds its writer.
    CVondEventOutbox::Instance().Start();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        initialised_ = true;
    }
    if (zoneKnown) LOG(INFO) << "TimeZone UTC：" << bias;
    LOG(INFO) << "OS Version：" << os;
}

// Both refreshes read the core while holding the object's lock, so two of them racing on
// different threads cannot leave the older copy in place.
void CVondTrack::RefreshUserId() {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string text = CVondCore::Instance().GetUserId();
    int64_t userId = -1;
    try {
        userId = std::stoll(text);
    } catch (const std::exception& e) {
        // The login completion calls this: a backend that sends a user id we cannot read
        // must not end the login; the events then carry the id of a player not logged in.
        LOG(ERROR) << "Refresh User Id Error:" << text << ", " << e.what();
    }
    fields_.userId = userId;
}

void CVondTrack::RefreshGameUserInfo() {
    std::lock_guard<std::mutex> lock(mutex_);
    const GameUserInfo info = CVondCore::Instance().GetGameUserInfo();
    fields_.serverId = ValueOrUnknown(info.serverId);
    fields_.gameUserId = ValueOrUnknown(info.gameUserId);
    fields_.nickName = ValueOrUnknown(info.nickName);
    fields_.level = info.level;
}

CVondTrack::Fields CVondTrack::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fields_;
}

std::string CVondTrack::NextEventOrder() {
    return "n" + std::to_string(TakeEventNumbers(1));
}

namespace {

constexpr char kCounterName[] = "EventCounter";
// Fixed width, so that every later write lands in the blocks the file already owns.
constexpr size_t kCounterDigits = 20;
constexpr char kCounterUnreadable[] = "Event counter unreadable, left as it is:";
constexpr char kCounterNotStored[] = "Event numbers not stored, kept in this process only:";
constexpr char kCounterBusy[] = "Event numbers held by another process, continuing from this one's:";

// The counter file's number: its leading digits; 0 when it holds none.
int64_t ParseCounter(const std::string& text) {
    int64_t value = 0;
    for (size_t i = 0; i < text.size() && i < kCounterDigits && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > (INT64_MAX - 9) / 10) return INT64_MAX - 1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

std::string CounterText(int64_t value) {
    std::string digits = std::to_string(value < 0 ? 0 : value);
    if (digits.size() < kCounterDigits) digits.insert(0, kCounterDigits - digits.size(), '0');
    return digits + "\n";
}

// In place when the file is there and whole: a full disk still takes it. Created (or a short
// one replaced) atomically otherwise.
bool WriteCounter(const std::string& path, const std::string& stored, int64_t value) {
    const std::string text = CounterText(value);
    if (stored.size() >= text.size() && platform::OverwriteInPlace(path, text)) return true;
    return platform::ReplaceFileAtomically(path, text);
}

}  // namespace

int64_t CVondTrack::ClaimEventNumbers(int64_t count, int64_t floor) {
    const std::string counterPath = VondConfigUtils::GetAppFilePath(kCounterName);
    std::lock_guard<std::mutex> claims(numbersMutex_);
    int64_t first = 0;
    bool counterStored = true;
    const VondConfigUtils::Update update = VondConfigUtils::UpdateConfig(false, [&](nlohmann::json& conf) {
        std::string stored;
        const platform::ReadResult read = platform::ReadFileState(counterPath, stored);
        if (read != platform::ReadResult::Found) stored.clear();
        const int64_t counted = ParseCounter(stored);
        first = std::max({StoredEventOrder(conf), counted, lastEventNumber_.load(), floor}) + 1;
        const int64_t last = first + count - 1;
        lastEventNumber_.store(last);
        if (read == platform::ReadResult::Error) {
            // It may hold a higher number than any other store: never written over.
            LOG(ERROR) << kCounterUnreadable << counterPath;
            counterStored = false;
        } else {
            counterStored = WriteCounter(counterPath, stored, last);
        }
        conf[kEventOrderKey] = last;
        return true;
    });
    if (update == VondConfigUtils::Update::Busy) return 0;
    const bool stored = counterStored || update == VondConfigUtils::Update::Written;
    if (!stored && !counterWarned_.exchange(true)) LOG(ERROR) << kCounterNotStored << first + count - 1;
    if (stored) counterWarned_.store(false);
    return first;
}

int64_t CVondTrack::TakeEventNumbers(int64_t count) {
    const int64_t first = ClaimEventNumbers(count, 0);
    if (first != 0) return first;
    std::lock_guard<std::mutex> claims(numbersMutex_);
    const int64_t last = lastEventNumber_.load();
    LOG(ERROR) << kCounterBusy << last;
    lastEventNumber_.store(last + count);
    return last + 1;
}

std::string CVondTrack::NormalizeEventName(const std::string& name) const {
    if (ReservedNames().count(name) != 0) return name;
    if (name.size() >= 10 && name.compare(0, 9, kCustomPrefix) == 0) return name;
    return kCustomPrefix + name;
}

void CVondTrack::CheckEventAndParams(const std::string& name, std::string params) const {
    const nlohmann::json& rules = EventRules();
    auto ruleOf = rules.find(name);
    if (ruleOf == rules.end()) return;
    const nlohmann::json& rule = *ruleOf;
    LOG(INFO) << kCheckStart << name << ",Params:" << params;
    const nlohmann::json parsed = nlohmann::json::parse(params, nullptr, false);
    if (parsed.is_discarded()) {
        LOG(ERROR) << kCheckNotJson << params;
        return;
    }
    for (auto required = rule.begin(); required != rule.end(); ++required) {
        const std::string& key = required.key();
        if (!parsed.is_object() || !parsed.contains(key)) {
            LOG(ERROR) << kCheckMissing << key;
            continue;
        }
        const nlohmann::json& value = parsed.at(key);
        if (!ValueAccepted(required->get<std::string>(), value)) {
            LOG(ERROR) << kCheckIncorrect << key << ", Value:" << CompactJson(value);
        }
    }
}

nlohmann::json CVondTrack::BuildEvent(const std::string& name, const std::string& params, double value) {
    const Fields fields = Snapshot();
    nlohmann::json body = nlohmann::json::object();
    body["appId"] = fields.appId;
    body["deviceId"] = fields.deviceId;
    body["fingerId"] = fields.fingerId;
    body["platform"] = fields.platform;
    body["gamePlatform"] = fields.gamePlatform;
    body["userId"] = fields.userId;
    body["serverId"] = fields.serverId;
    body["gameUserId"] = fields.gameUserId;
    body["sdkVersion"] = fields.sdkVersion;
    body["sdkType"] = fields.sdkType;
    body["sdkTime"] = NowMilliseconds();
    body["event"] = NormalizeEventName(name);
    if (!std::isnan(value)) body["value"] = value;
    if (!IsPlainName(name)) LOG(ERROR) << kNameError << name;

    nlohmann::json context = nlohmann::json::object();
    context["os"] = fields.os;
    context["resolution"] = fields.resolution;
    context["tz"] = fields.tz;
    if (name == kUserCreate || name == kLevelAchieved) context["level"] = fields.level;
    if (!params.empty()) {
        const nlohmann::json parsed = nlohmann::json::parse(params, nullptr, false);
        if (parsed.is_object()) {
            for (auto member = parsed.begin(); member != parsed.end(); ++member) {
                context[member.key()] = member.value();
                if (!IsPlainName(member.key())) LOG(ERROR) << kParamKeyError << member.key();
            }
        } else if (!parsed.is_null()) {
            // An array, a number, a string or a boolean has no members to add: it is as
            // unusable as text that is not JSON at all.
            LOG(ERROR) << kParamsNotJson << params;
        }
    }
    body["context"] = std::move(context);
    CheckEventAndParams(name, params);
    return body;
}

std::string CVondTrack::BuildEventBody(const std::string& name, const std::string& params, double value) {
    nlohmann::json body = BuildEvent(name, params, value);
    body["eventOrder"] = NextEventOrder();
    return CompactJson(body);
}

void CVondTrack::PostEvent(const std::string& name, const std::string& params, double value) {
    try {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!initialised_) {
                // Before start-up the event would carry no app id nor client id, and its
                // number would be taken from no game's counter: the backend could not use it.
                LOG(WARNING) << kBeforeInit << name;
                return;
            }
        }
        CVondEventOutbox::Instance().Submit(BuildEvent(name, params, value));
    } catch (const std::exception& e) {
        LOG(ERROR) << "Post Event failed: " << e.what();
    } catch (...) {
        LOG(ERROR) << "Post Event failed";
    }
}

void CVondTrack::PostLoginEvent(const std::string& loginPlatform, const std::string& puserId) {
    nlohmann::json params = nlohmann::json::object();
    params["loginPlatform"] = loginPlatform;
    params["puserId"] = puserId;
    PostEvent(kLoginEvent, CompactJson(params), std::nan(""));
}

namespace {
// Built while the library loads, before the game can call anything.
CVondTrack& kTrackAtLoad = CVondTrack::Instance();
}  // namespace

}  // namespace VondSdk
