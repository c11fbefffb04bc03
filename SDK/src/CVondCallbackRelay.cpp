#include "src/CVondCallbackRelay.h"

#include <exception>
#include <utility>
#include <vector>

#include "easylogging++.h"
#include "utils/VondUtils.h"

namespace VondSdk {
namespace {

template <std::size_t Slot>
void SlotCallback(int code, std::wstring message, std::wstring data) {
    CVondCallbackRelay::Instance().Arrive(Slot, code, message, data);
}

template <std::size_t... Slots>
constexpr std::array<ResultCallback, sizeof...(Slots)> MakeSlotCallbacks(std::index_sequence<Slots...>) {
    return {{&SlotCallback<Slots>...}};
}

constexpr std::array<ResultCallback, CVondCallbackRelay::kSlots> kSlotCallbacks =
    MakeSlotCallbacks(std::make_index_sequence<CVondCallbackRelay::kSlots>());

void Call(VondResultCallback callback, void* user, int code, const std::string& message, const std::string& data) {
    if (callback != nullptr) callback(code, message.c_str(), data.c_str(), user);
}

}  // namespace

void CVondCallbackRelay::Deliver(const Result& result) {
    if (result.logCallback != nullptr) {
        result.logCallback(result.code, result.message.c_str(), result.user);
    } else {
        Call(result.callback, result.user, result.code, result.message, result.data);
    }
}

CVondCallbackRelay& CVondCallbackRelay::Instance() {
    static CVondCallbackRelay* relay = new CVondCallbackRelay();
    return *relay;
}

CVondCallbackRelay::Ticket CVondCallbackRelay::Open(VondResultCallback callback, void* user, Lifetime lifetime) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t tried = 0; tried < kSlots; ++tried) {
        const std::size_t slot = (cursor_ + tried) % kSlots;
        if (slots_[slot].open) continue;
        slots_[slot] = Slot{true, lifetime, callback, user};
        cursor_ = (slot + 1) % kSlots;
        return Ticket{kSlotCallbacks[slot], slot};
    }
    return Ticket{};
}

void CVondCallbackRelay::Close(const Ticket& ticket) {
    if (ticket.relay == nullptr || ticket.slot >= kSlots) return;
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[ticket.slot] = Slot{};
}

bool CVondCallbackRelay::SetMode(int mode) {
    if (mode != VOND_CALLBACKS_ON_SDK_THREADS && mode != VOND_CALLBACKS_ON_UPDATE_THREAD) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = mode;
    return true;
}

void CVondCallbackRelay::Report(VondResultCallback callback, void* user, int code, const std::string& message) {
    try {
        Dispatch(Result{callback, nullptr, user, code, message, std::string()});
    } catch (const std::exception& e) {
        LOG(ERROR) << "C callback dropped: " << e.what();
    }
}

void CVondCallbackRelay::Arrive(std::size_t slot, int code, const std::wstring& message,
                                const std::wstring& data) noexcept {
    try {
        Result result;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Slot& target = slots_[slot];
            if (!target.open) {
                // The operation has had its result (or Init has returned): a second one would
                // reach a callback that no longer expects it.
                LOG(WARNING) << "C callback dropped: a result for a finished operation, code " << code;
                return;
            }
            result.callback = target.callback;
            result.user = target.user;
            if (target.lifetime == Lifetime::OneResult) target = Slot{};
        }
        result.code = code;
        result.message = ToUtf8(message);
        result.data = ToUtf8(data);
        Dispatch(std::move(result));
    } catch (const std::exception& e) {
        LOG(ERROR) << "C callback dropped: " << e.what();
    } catch (...) {
        LOG(ERROR) << "C callback dropped";
    }
}

void CVondCallbackRelay::Dispatch(Result result) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (mode_ == VOND_CALLBACKS_ON_UPDATE_THREAD) {
            // Nothing after shut-down would ever deliver it.
            if (shutDown_ || (result.callback == nullptr && result.logCallback == nullptr)) return;
            if (result.logCallback != nullptr) {
                // A game that stops pumping must not make the log grow without bound.
                if (queuedLogLines_ >= kMaxQueuedLogLines) return;
                ++queuedLogLines_;
            }
            queue_.push_back(std::move(result));
            return;
        }
    }
    Deliver(result);
}

void CVondCallbackRelay::Log(VondLogCallback callback, void* user, int level, const std::string& line) {
    if (callback == nullptr) return;
    try {
        Result result;
        result.logCallback = callback;
        result.user = user;
        result.code = level;
        result.message = line;
        Dispatch(std::move(result));
    } catch (...) {
        // A log line is never worth unwinding into the SDK's log thread.
    }
}

void CVondCallbackRelay::RefuseOpen(int code, const std::string& message) {
    std::vector<Result> refused;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Slot& slot : slots_) {
            if (!slot.open || slot.lifetime != Lifetime::OneResult) continue;
            refused.push_back(Result{slot.callback, nullptr, slot.user, code, message, std::string()});
            slot = Slot{};
        }
    }
    for (const Result& result : refused) Deliver(result);
}

void CVondCallbackRelay::Reopen() {
    std::lock_guard<std::mutex> lock(mutex_);
    shutDown_ = false;
}

bool CVondCallbackRelay::PopFront(Result& result) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) return false;
    result = std::move(queue_.front());
    queue_.pop_front();
    if (result.logCallback != nullptr) --queuedLogLines_;
    return true;
}

void CVondCallbackRelay::Drain() {
    // Only what is queued now: results that keep arriving while the game handles these wait
    // for the next frame instead of holding this one.
    std::size_t budget = Queued();
    Result result;
    while (budget-- > 0 && PopFront(result)) {
        Deliver(result);
    }
}

void CVondCallbackRelay::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutDown_ = true;
    }
    Result result;
    while (PopFront(result)) Deliver(result);
}

std::size_t CVondCallbackRelay::Queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

namespace {
// Built while the library loads, before the game can call anything.
CVondCallbackRelay& kRelayAtLoad = CVondCallbackRelay::Instance();
}  // namespace

}  // namespace VondSdk
