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

}  // namespace detail
}  // namespace platform
}  // namespace VondSdk
