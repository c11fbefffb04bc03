// The file functions' side of the test fault hook (Platform.h): each OS file asks before it
// touches the disk. Internal to the platform folder.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace VondSdk {
namespace platform {
namespace detail {

// The installed hook's decision for this call; None when no hook is installed (one atomic
// load: the release path costs nothing more).
FaultDecision AskFileFault(FileOp op, const std::string& path);

// How many of size bytes an append to path may write before it fails: all of them without a
// fault, the first tornAt for a torn write, none (and false) for any other fault.
bool AppendAllowance(const std::string& path, size_t size, size_t& allowed);

}  // namespace detail
}  // namespace platform
}  // namespace VondSdk
