// The SDK's log: Easylogging++'s "default" logger, off unless the backend marks a test device.
#pragma once

namespace VondSdk {

// Reconfigures the "default" logger: "%datetime [%level]: %msg" to "vondlog.log" in the
// process's current directory when enabled; when disabled nothing is written and no file
// is created. Thread-safe.
void ConfigureLogging(bool enabled);

}  // namespace VondSdk
