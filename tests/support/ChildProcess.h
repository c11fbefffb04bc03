// A probe program started by a test as a game process of its own, found beside the test
// binary's folder as the other process tests find theirs. It inherits the test's environment.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vondtest {

class ChildProcess {
public:
    // Starts <build dir>/<probe> (".exe" added on Windows) with args; Started() tells whether
    // the OS agreed.
    ChildProcess(const std::string& probe, const std::vector<std::string>& args = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return started_; }
    // SIGKILL (TerminateProcess on Windows): the process ends with no chance to clean up.
    void Kill();
    bool Ended();
    // The exit code; 128 + signal when a signal ended it; -1 when it did not end within the
    // bound (it is then killed).
    int Wait(std::chrono::seconds bound);

private:
    bool started_ = false;
    bool reaped_ = false;
    int status_ = 0;
    intptr_t process_ = 0;
};

}  // namespace vondtest
