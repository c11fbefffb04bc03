// The part of FileLock every OS shares: the test faults and the bounded wait. The lock itself
// is the OS file's (TryLockFile, Unlock).
#include <thread>

#include "platform/FileFaults.h"
#include "platform/Platform.h"

namespace VondSdk {
namespace platform {

FileLock::~FileLock() {
    Unlock();
}

FileLock::Outcome FileLock::TryLock(const std::string& path) {
    Unlock();
    const FaultDecision fault = detail::AskFileFault(FileOp::Lock, path);
    if (fault.fault == FileFault::Held) return Outcome::Held;
    if (fault.fault != FileFault::None) return Outcome::Error;
    return TryLockFile(path);
}

FileLock::Outcome FileLock::Lock(const std::string& path, std::chrono::milliseconds bound) {
    const auto giveUpAt = std::chrono::steady_clock::now() + bound;
    for (;;) {
        const Outcome outcome = TryLock(path);
        if (outcome != Outcome::Held || std::chrono::steady_clock::now() >= giveUpAt) return outcome;
        // Holders keep the lock across one read and one write: a short pause sees it free.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

FileLock::Outcome FileLock::LockFor(const std::string& file) {
    return Lock(LockPathFor(file), std::chrono::milliseconds(2000));
}

std::string LockPathFor(const std::string& file) {
    return file + ".lock";
}

}  // namespace platform
}  // namespace VondSdk
