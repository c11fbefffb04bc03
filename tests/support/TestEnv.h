// Helpers for tests that drive the SDK: a private data directory, the game's callbacks
// recorded with the thread they arrived on, and waits with a bound instead of sleeps.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vondtest {

// A fresh, empty directory under the system's temp folder; removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);
bool ReadFile(const std::string& path, std::string& content);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
// Makes path the process's current directory for the scope of the object.
class ScopedCurrentDir {
public:
    explicit ScopedCurrentDir(const std::string& path);
    ~ScopedCurrentDir();

private:
    std::string previous_;
};

struct CallbackRecord {
    int code = 0;
    std::wstring message;
    std::wstring data;
    std::thread::id thread;
};

// Records every call of the game callback Recorder::Callback (a plain function pointer,
// as the SDK wants), process-wide.
class Recorder {
public:
    static void Callback(int code, std::wstring message, std::wstring data);
    static std::vector<CallbackRecord> Records();
    // Waits until at least count callbacks arrived; false after the bound.
    static bool WaitFor(size_t count, std::chrono::seconds bound = std::chrono::seconds(60));
    static void Clear();
};

// Waits until predicate holds (state of other threads with no signal of their own),
// re-checking every few milliseconds; false after the bound.
bool WaitUntil(const std::function<bool()>& predicate, std::chrono::seconds bound = std::chrono::seconds(60));

}  // namespace vondtest
