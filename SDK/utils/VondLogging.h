// The SDK's log: Easylogging++'s "default" logger. Its file is off unless the backend marks a
// test device; a log target set by the game receives every line, file or no file.
#pragma once

#include <functional>
#include <string>

namespace VondSdk {

// Reconfigures the "default" logger: "%datetime [%level]: %msg" to "vondlog.log" in the
// process's current directory when enabled; when disabled nothing is written and no file
// is created. Lines still reach the log target, if one is set. Thread-safe.
void ConfigureLogging(bool enabled);

// Levels of the log target, lowest first.
enum LogLevel : int { kLogDebug = 0, kLogInfo = 1, kLogWarning = 2, kLogError = 3 };

// Receives one log line: its level and its message as one UTF-8 line (no time stamp, no line
// breaks, invalid UTF-8 replaced).
using LogTarget = std::function<void(int level, const std::string& line)>;

// Sends every line of minLevel or above to target; an empty target stops it. The lines are
// handed over as they are logged and delivered in that order on a thread of the SDK's own,
// which holds no SDK lock while target runs (so target may call any SDK function). Lines
// logged faster than target takes them are dropped past a bound, and the count said. A call
// already running may still deliver a line after the change. Thread-safe.
void SetLogTarget(int minLevel, LogTarget target);

// Marks a value the game's log target must never receive (a token, the exchange code, the app
// key): in the lines handed to the target it becomes its first 4 characters and "…". The
// values of osign, accessToken and token members and form fields are masked the same way
// whatever they are. The log file of a test device keeps its lines as they are. Values
// shorter than 4 characters are ignored. Thread-safe; never touches the disk.
void KeepOutOfLogTarget(const std::string& secret);
// The line as the log target receives it. Pure but for the values marked above; any thread.
std::string MaskSecrets(const std::string& line);

}  // namespace VondSdk
