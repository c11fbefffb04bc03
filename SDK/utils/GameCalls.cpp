#include "utils/GameCalls.h"

#include <exception>
#include <utility>

#include "easylogging++.h"

namespace VondSdk {
namespace {

thread_local std::vector<std::function<void()>>* t_held = nullptr;

constexpr char kGameCallbackThrew[] = "The game's callback threw";

}  // namespace

void RunGuarded(const std::function<void()>& work, const char* failure) {
    try {
        work();
    } catch (const std::exception& e) {
        LOG(ERROR) << failure << ": " << e.what();
    } catch (...) {
        LOG(ERROR) << failure;
    }
}

void CallGame(std::function<void()> call) {
    if (!call) return;
    if (t_held != nullptr) {
        t_held->push_back(std::move(call));
        return;
    }
    RunGuarded(call, kGameCallbackThrew);
}

GameCallScope::GameCallScope() : outermost_(t_held == nullptr) {
    if (outermost_) t_held = &held_;
}

GameCallScope::~GameCallScope() {
    Flush();
}

void GameCallScope::Flush() {
    if (!outermost_) return;
    outermost_ = false;
    t_held = nullptr;
    std::vector<std::function<void()>> calls;
    calls.swap(held_);
    for (const auto& call : calls) RunGuarded(call, kGameCallbackThrew);
}

}  // namespace VondSdk
