#include "utils/VondLogging.h"

#include <mutex>

#include "easylogging++.h"

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

}  // namespace

void ConfigureLogging(bool enabled) {
    // The library's flag word is written without its lock, while workers read it for every
    // line: set it once, before any worker exists.
    static std::once_flag flagOnce;
    std::call_once(flagOnce, [] { el::Loggers::addFlag(el::LoggingFlag::NewLineForContainer); });
    el::Configurations conf;
    conf.setToDefault();
    conf.set(el::Level::Global, el::ConfigurationType::Format, kLogFormat);
    conf.set(el::Level::Global, el::ConfigurationType::Enabled, enabled ? "true" : "false");
    if (enabled) {
        conf.set(el::Level::Global, el::ConfigurationType::Filename, kLogFile);
    } else {
        // A disabled logger would still open its file; a start-up that keeps logging off
        // must leave no log file behind.
        conf.set(el::Level::Global, el::ConfigurationType::ToFile, "false");
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

namespace {

// Quiet from the moment the library loads: a game that never reaches a test-device start-up
// sees no SDK output at all. Defined after the logging storage of this file, so it runs
// after it.
const bool kQuietAtLoad = (ConfigureLogging(false), true);

}  // namespace

}  // namespace VondSdk
