// The guard around every exported function: nothing thrown inside the SDK may unwind into the
// game, whose compiler and settings the SDK does not control.
#pragma once

#include <exception>

#include "easylogging++.h"

namespace VondSdk {

// Runs body on the calling thread; an exception is logged as "<name> failed: <what>" (or
// "<name> failed") and stopped here. A template, so that nothing is allocated outside the try.
template <typename Body>
void Guarded(const char* name, Body&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        LOG(ERROR) << name << " failed: " << e.what();
    } catch (...) {
        LOG(ERROR) << name << " failed";
    }
}

}  // namespace VondSdk
