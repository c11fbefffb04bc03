#include "utils/VondLogging.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "easylogging++.h"
#include "utils/VondUtils.h"

INITIALIZE_EASYLOGGINGPP

namespace VondSdk {
namespace {

// The library keeps its storage (loggers, their locks and files) behind a global shared
// pointer that the process destroys on its way out, while the SDK's own threads (the event
// writer, a worker finishing an exchange, a login still running) may still write a line, or
// (on Windows) were ended by the OS holding a logger's lock. A second owner that is never
// destroyed keeps the storage itself alive to the very end: the global's destruction then
// only drops its count.
const el::base::type::StoragePointer* const kStorageKeptAlive =
    new el::base::type::StoragePointer(el::base::elStorage);

constexpr char kLoggerId[] = "default";
constexpr char kLogFormat[] = "%datetime [%level]: %msg";
constexpr char kLogFile[] = "vondlog.log";
constexpr char kDispatchId[] = "vond-log-target";
constexpr char kLinesDropped[] = "Log lines dropped (the log callback fell behind): ";
constexpr size_t kMaxWaitingLines = 10000;

// Whether the test-device rule has the file log on; the target needs the logger enabled too.
std::atomic<bool> g_fileLog{false};

// The lines on their way to the game's log target. Never destroyed: the library's logging
// storage is kept to the process's very end, and so is every thread that may log into it.
// Marked by the SDK as it learns them; read on the log thread only.
struct Secrets {
    std::mutex mutex;
    std::vector<std::string> values;  // guarded by mutex, longest first
};

Secrets& TheSecrets() {
    static Secrets* secrets = new Secrets();
    return *secrets;
}

constexpr char kEllipsis[] = "\xE2\x80\xA6";
constexpr size_t kKeptPrefix = 4;
constexpr size_t kMaxSecrets = 64;

// A value as the log target may see it: its first characters, then a mark.
std::string Masked(const std::string& value) {
    return value.substr(0, kKeptPrefix) + kEllipsis;
}

bool IsValueChar(char c) {
    return c != '&' && c != '"' && c != ',' && c != ' ' && c != ';' && c != '\\' && c != '}';
}

// Masks what follows every occurrence of key up to the value's end (a form field's '&', a JSON
// string's quote, a separator).
void MaskAfter(std::string& line, const std::string& key) {
    for (size_t at = line.find(key); at != std::string::npos; at = line.find(key, at + 1)) {
        const size_t start = at + key.size();
        size_t end = start;
        while (end < line.size() && IsValueChar(line[end])) ++end;
        if (end - start <= kKeptPrefix) continue;
        line.replace(start, end - start, Masked(line.substr(start, end - start)));
    }
}

struct Sink {
    std::mutex mutex;  // guards everything below
    std::condition_variable wake;
    std::deque<std::pair<int, std::string>> lines;
    std::shared_ptr<const LogTarget> target;
    int minLevel = kLogDebug;
    size_t dropped = 0;
    bool threadStarted = false;
    std::atomic<bool> on{false};
};

Sink& TheSink() {
    static Sink* sink = new Sink();
    return *sink;
}

int LevelOf(el::Level level) {
    switch (level) {
        case el::Level::Info:
            return kLogInfo;
        case el::Level::Warning:
            return kLogWarning;
        case el::Level::Error:
        case el::Level::Fatal:
            return kLogError;
        default:
            return kLogDebug;
    }
}

// One message as one line of valid UTF-8: the SDK logs answer bodies, which may hold anything.
std::string OneLine(const std::string& message) {
    std::string line = ToUtf8(ToWide(message));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return line;
}

// Runs inside the library's dispatch, under its locks and maybe under an SDK lock of the
// logging thread: it only hands the line over.
class TargetDispatch : public el::LogDispatchCallback {
protected:
    void handle(const el::LogDispatchData* data) override {
        Sink& sink = TheSink();
        if (!sink.on.load(std::memory_order_relaxed) || data == nullptr || data->logMessage() == nullptr) return;
        const int level = LevelOf(data->logMessage()->level());
        std::string line;
        try {
            line = OneLine(data->logMessage()->message());
        } catch (...) {
            return;
        }
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(sink.mutex);
            if (!sink.target || level < sink.minLevel) return;
            if (sink.lines.size() >= kMaxWaitingLines) {
                ++sink.dropped;
                return;
            }
            wake = sink.lines.empty();
            sink.lines.emplace_back(level, std::move(line));
        }
        if (wake) sink.wake.notify_one();
    }
};

void DeliverLines() {
    Sink& sink = TheSink();
    std::unique_lock<std::mutex> lock(sink.mutex);
    for (;;) {
        sink.wake.wait(lock, [&] { return !sink.lines.empty() || sink.dropped != 0; });
        std::deque<std::pair<int, std::string>> lines;
        lines.swap(sink.lines);
        const size_t dropped = sink.dropped;
        sink.dropped = 0;
        std::shared_ptr<const LogTarget> target = sink.target;
        lock.unlock();
        if (target) {
            if (dropped != 0) lines.emplace_back(kLogWarning, kLinesDropped + std::to_string(dropped));
            for (const auto& entry : lines) {
                try {
                    (*target)(entry.first, MaskSecrets(entry.second));
                } catch (...) {
                    // The game's callback threw: the next line still goes out.
                }
            }
        }
        lock.lock();
    }
}

}  // namespace

void KeepOutOfLogTarget(const std::string& secret) {
    if (secret.size() < kKeptPrefix) return;
    Secrets& secrets = TheSecrets();
    std::lock_guard<std::mutex> lock(secrets.mutex);
    if (std::find(secrets.values.begin(), secrets.values.end(), secret) != secrets.values.end()) return;
    // Far more than the few each session brings: past the bound the shortest one goes.
    if (secrets.values.size() >= kMaxSecrets) secrets.values.pop_back();
    // Longest first: a longer secret may contain a shorter one, and is masked before it.
    auto at = std::find_if(secrets.values.begin(), secrets.values.end(),
                           [&](const std::string& value) { return value.size() < secret.size(); });
    secrets.values.insert(at, secret);
}

std::string MaskSecrets(const std::string& line) {
    std::string masked = line;
    try {
        std::vector<std::string> values;
        {
            Secrets& secrets = TheSecrets();
            std::lock_guard<std::mutex> lock(secrets.mutex);
            values = secrets.values;
        }
        for (const std::string& value : values) {
            const std::string mark = Masked(value);
            for (size_t at = masked.find(value); at != std::string::npos; at = masked.find(value, at + mark.size())) {
                masked.replace(at, value.size(), mark);
            }
        }
        for (const char* key : {"osign=", "accessToken=", "token=", "\"token\":\"", "\"accessToken\":\"",
                                "\"jwtToken\":\"", "AUTH_PASSWORD="}) {
            MaskAfter(masked, key);
        }
    } catch (...) {
        // Nothing of a line that could not be masked reaches the game.
        return std::string();
    }
    return masked;
}

void ConfigureLogging(bool enabled) {
    g_fileLog.store(enabled);
    // The library's flag word is written without its lock, while workers read it for every
    // line: set it once, before any worker exists.
    static std::once_flag flagOnce;
    std::call_once(flagOnce, [] { el::Loggers::addFlag(el::LoggingFlag::NewLineForContainer); });
    el::Configurations conf;
    conf.setToDefault();
    conf.set(el::Level::Global, el::ConfigurationType::Format, kLogFormat);
    // The library hands a line to the log target only when the logger is enabled.
    const bool any = enabled || TheSink().on.load();
    conf.set(el::Level::Global, el::ConfigurationType::Enabled, any ? "true" : "false");
    if (enabled) {
        conf.set(el::Level::Global, el::ConfigurationType::Filename, kLogFile);
    } else {
        // A disabled logger would still open its file; a start-up that keeps logging off
        // must leave no log file behind (nor print, for a target alone).
        conf.set(el::Level::Global, el::ConfigurationType::ToFile, "false");
        conf.set(el::Level::Global, el::ConfigurationType::ToStandardOutput, "false");
    }
    // The library's reconfiguration resets per-level counters before it takes the logger's
    // lock, while workers may be writing lines: hold that (recursive) lock for all of it.
    el::Logger* logger = el::Loggers::getLogger(kLoggerId, true);
    if (logger == nullptr) return;
    struct LoggerLock {
        el::Logger* logger;
        explicit LoggerLock(el::Logger* held) : logger(held) { logger->acquireLock(); }
        ~LoggerLock() { logger->releaseLock(); }
    } hold(logger);
    el::Loggers::reconfigureLogger(logger, conf);
}

void SetLogTarget(int minLevel, LogTarget target) {
    Sink& sink = TheSink();
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(sink.mutex);
        if (target && !sink.threadStarted) {
            try {
                std::thread(&DeliverLines).detach();
                sink.threadStarted = true;
            } catch (const std::system_error&) {
                return;  // no thread, no target: a target called under the SDK's locks could deadlock
            }
        }
        sink.target = target ? std::make_shared<const LogTarget>(std::move(target)) : nullptr;
        sink.minLevel = minLevel;
        if (!sink.target) sink.lines.clear();
        changed = sink.on.exchange(sink.target != nullptr) != (sink.target != nullptr);
    }
    if (changed) ConfigureLogging(g_fileLog.load());
}

namespace {

// Quiet from the moment the library loads: a game that never reaches a test-device start-up
// sees no SDK output at all. Defined after the logging storage of this file, so it runs
// after it. The log target's hook is installed here too, before any other thread can log.
const bool kQuietAtLoad = (ConfigureLogging(false), el::Helpers::installLogDispatchCallback<TargetDispatch>(kDispatchId), true);

}  // namespace

}  // namespace VondSdk
