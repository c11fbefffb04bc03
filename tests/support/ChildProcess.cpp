#include "support/ChildProcess.h"

#include "support/TestEnv.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#endif

namespace vondtest {

#ifdef _WIN32
ChildProcess::ChildProcess(const std::string& probe, const std::vector<std::string>& args) {
    wchar_t self[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    path = path.substr(0, path.find_last_of(L"\\/"));
    path = path.substr(0, path.find_last_of(L"\\/")) + L"\\" + std::wstring(probe.begin(), probe.end()) + L".exe";
    std::wstring commandLine = L"\"" + path + L"\"";
    for (const auto& arg : args) commandLine += L" \"" + std::wstring(arg.begin(), arg.end()) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    started_ = ::CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                &info) != 0;
    if (started_) {
        ::CloseHandle(info.hThread);
        process_ = reinterpret_cast<intptr_t>(info.hProcess);
    }
}

ChildProcess::~ChildProcess() {
    if (!started_) return;
    if (!Ended()) {
        Kill();
        ::WaitForSingleObject(reinterpret_cast<HANDLE>(process_), INFINITE);
    }
    ::CloseHandle(reinterpret_cast<HANDLE>(process_));
}

void ChildProcess::Kill() {
    if (started_) ::TerminateProcess(reinterpret_cast<HANDLE>(process_), 137);
}

bool ChildProcess::Ended() {
    if (!started_) return true;
    if (!reaped_ && ::WaitForSingleObject(reinterpret_cast<HANDLE>(process_), 0) == WAIT_OBJECT_0) {
        DWORD code = 0;
        ::GetExitCodeProcess(reinterpret_cast<HANDLE>(process_), &code);
        status_ = static_cast<int>(code);
        reaped_ = true;
    }
    return reaped_;
}

int ChildProcess::Wait(std::chrono::seconds bound) {
    if (!started_) return -1;
    if (!WaitUntil([&] { return Ended(); }, bound)) {
        Kill();
        ::WaitForSingleObject(reinterpret_cast<HANDLE>(process_), INFINITE);
        Ended();
        return -1;
    }
    return status_;
}
#else
ChildProcess::ChildProcess(const std::string& probe, const std::vector<std::string>& args) {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, length > 0 ? static_cast<size_t>(length) : 0);
    path = path.substr(0, path.rfind('/'));
    path = path.substr(0, path.rfind('/')) + "/" + probe;
    std::vector<std::string> words{path};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    started_ = pid > 0;
    process_ = pid;
}

ChildProcess::~ChildProcess() {
    if (!started_) return;
    if (!Ended()) {
        Kill();
        ::waitpid(static_cast<pid_t>(process_), &status_, 0);
    }
}

void ChildProcess::Kill() {
    if (started_ && !reaped_) ::kill(static_cast<pid_t>(process_), SIGKILL);
}

bool ChildProcess::Ended() {
    if (!started_) return true;
    if (!reaped_ && ::waitpid(static_cast<pid_t>(process_), &status_, WNOHANG) == static_cast<pid_t>(process_))
        reaped_ = true;
    return reaped_;
}

int ChildProcess::Wait(std::chrono::seconds bound) {
    if (!started_) return -1;
    if (!WaitUntil([&] { return Ended(); }, bound)) {
        Kill();
        ::waitpid(static_cast<pid_t>(process_), &status_, 0);
        reaped_ = true;
        return -1;
    }
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    return WIFSIGNALED(status_) ? 128 + WTERMSIG(status_) : -1;
}
#endif

}  // namespace vondtest
