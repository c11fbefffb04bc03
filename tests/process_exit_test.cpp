// A game that ends without calling Exit must still end: its process is not held up by the
// SDK's workers or by what the library does while it is unloaded.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/LoopbackServer.h"
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

namespace {

constexpr std::chrono::seconds kBound(60);

#ifdef _WIN32
// Runs the probe that sits beside the library; its exit code, or -1 when it did not end
// within the bound (it is then killed).
int RunProbe() {
    wchar_t self[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    path = path.substr(0, path.find_last_of(L"\\/"));
    path = path.substr(0, path.find_last_of(L"\\/")) + L"\\vond_exit_probe.exe";
    std::wstring commandLine = L"\"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        ADD_FAILURE() << "could not start the probe, error " << ::GetLastError();
        return -1;
    }
    int result = -1;
    if (::WaitForSingleObject(process.hProcess, static_cast<DWORD>(kBound.count() * 1000)) == WAIT_OBJECT_0) {
        DWORD code = 0;
        ::GetExitCodeProcess(process.hProcess, &code);
        result = static_cast<int>(code);
    } else {
        ::TerminateProcess(process.hProcess, 99);
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return result;
}
#else
int RunProbe() {
    char self[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return -1;
    std::string path(self, static_cast<size_t>(length));
    path = path.substr(0, path.rfind('/'));
    path = path.substr(0, path.rfind('/')) + "/vond_exit_probe";
    pid_t child = ::fork();
    if (child == 0) {
        ::execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    bool ended = vondtest::WaitUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; }, kBound);
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

}  // namespace

TEST(ProcessExit, AGameThatNeverCallsExitStillEnds) {
    vondtest::TempDir data;
    vondtest::SetEnv("VOND_SDK_DATA_DIR", data.Path());
    // A backend that is gone: the probe's start-up fails at once and leaves six idle workers.
    vondtest::RefusingPort refusing;
    vondtest::SetEnv("VOND_SDK_ORIGIN", refusing.Origin());

    EXPECT_EQ(RunProbe(), 0);
}
