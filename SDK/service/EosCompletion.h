// EosCompletion and CompleteFromEos: what every EOS service of the SDK does around one
// asynchronous EOS call, in one place. A service passes itself to EOS as ClientData; EOS calls
// a plain function back, which must find the service again, never let an exception out into
// EOS_Platform_Tick, and end the operation exactly once while the service is still alive.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "easylogging++.h"
#include "utils/Guarded.h"

namespace VondSdk {

// The pending end of one EOS operation: its completion, and a strong reference that keeps the
// service alive while EOS holds a raw pointer to it (the caller may drop its own at once).
// Not thread-safe: the operation is started on one thread and finished on one thread at a
// time; FPlatform's queue orders the hand-over from the starting thread to the ticking one.
template <typename Service, typename... Args>
class EosCompletion {
public:
    using Completion = std::function<void(Args...)>;

    // Keeps a copy of completion and a strong reference to service, which must be owned by a
    // std::shared_ptr for the reference to hold (otherwise nothing keeps it alive).
    void hold(Service& service, const Completion& completion) {
        completion_ = completion;
        self_ = service.weak_from_this().lock();
    }

    // The strong reference, for work queued to the ticking thread to keep the service alive.
    std::shared_ptr<Service> keepAlive() const { return self_; }

    // Ends the operation: lets go of both and calls the completion with args, on this thread.
    // False when there was no completion to call (never held, or finished already). The
    // service stays alive until this returns, even when the completion drops the last
    // reference to it.
    bool finish(Args... args) {
        Completion completion;
        completion.swap(completion_);
        std::shared_ptr<Service> keep = std::move(self_);
        if (!completion) return false;
        completion(std::move(args)...);
        return true;
    }

private:
    Completion completion_;
    std::shared_ptr<Service> self_;
};

// A fixed log line of a service, at the level it has always been logged at.
struct EosLogLine {
    enum class Level { None, Info, Error };
    Level level = Level::None;
    const char* text = nullptr;
};

// What a service logs when its EOS completion cannot reach it, and the name its failures are
// logged under ("<failure> failed: <what>").
struct EosCallbackTexts {
    EosLogLine noService[2];  // logged in this order when EOS hands back no info or no ClientData
    const char* failure;
};

inline void LogEosLine(const EosLogLine& line) {
    switch (line.level) {
        case EosLogLine::Level::Info:
            LOG(INFO) << line.text;
            break;
        case EosLogLine::Level::Error:
            LOG(ERROR) << line.text;
            break;
        case EosLogLine::Level::None:
            break;
    }
}

// The body of a static EOS_CALL completion. Runs arrived(data) first (data may be null; for a
// service's arrival log line), then, when data and its ClientData are there, body(service,
// *data) with the Service that passed itself as ClientData; otherwise it logs texts.noService.
// Nothing thrown gets out: it is logged under texts.failure. Runs on the thread EOS calls back
// on (the ticking thread).
template <typename Service, typename Info, typename Arrived, typename Body>
void CompleteFromEos(const Info* data, const EosCallbackTexts& texts, Arrived&& arrived,
                     Body&& body) noexcept {
    Guarded(texts.failure, [&] {
        arrived(data);
        if (data == nullptr || data->ClientData == nullptr) {
            for (const EosLogLine& line : texts.noService) LogEosLine(line);
            return;
        }
        body(*static_cast<Service*>(data->ClientData), *data);
    });
}

// The same, for a service that logs nothing on arrival.
template <typename Service, typename Info, typename Body>
void CompleteFromEos(const Info* data, const EosCallbackTexts& texts, Body&& body) noexcept {
    CompleteFromEos<Service>(
        data, texts, [](const Info*) {}, std::forward<Body>(body));
}

}  // namespace VondSdk
