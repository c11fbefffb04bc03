#include "platform/FileFaults.h"

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>

namespace VondSdk {
namespace platform {
namespace {

struct HookSlot {
    std::atomic<bool> installed{false};
    std::mutex mutex;
    std::shared_ptr<FileFaultHook> hook;  // guarded by mutex
};

HookSlot& Slot() {
    static HookSlot* slot = new HookSlot();  // never destroyed: file calls run up to process end
    return *slot;
}

}  // namespace

void SetFileFaultHook(FileFaultHook hook) {
    HookSlot& slot = Slot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.hook = hook ? std::make_shared<FileFaultHook>(std::move(hook)) : nullptr;
    slot.installed.store(slot.hook != nullptr);
}

namespace detail {

FaultDecision AskFileFault(FileOp op, const std::string& path) {
    HookSlot& slot = Slot();
    if (!slot.installed.load(std::memory_order_acquire)) return FaultDecision{};
    std::shared_ptr<FileFaultHook> hook;
    {
        std::lock_guard<std::mutex> lock(slot.mutex);
        hook = slot.hook;
    }
    if (!hook) return FaultDecision{};
    try {
        return (*hook)(op, path);
    } catch (const std::exception&) {
        return FaultDecision{};
    }
}

bool AppendAllowance(const std::string& path, size_t size, size_t& allowed) {
    const FaultDecision fault = AskFileFault(FileOp::Append, path);
    allowed = size;
    if (fault.fault == FileFault::None) return true;
    if (fault.fault != FileFault::Torn) return false;
    allowed = fault.tornAt < size ? fault.tornAt : size;
    return true;
}

}  // namespace detail
}  // namespace platform
}  // namespace VondSdk
