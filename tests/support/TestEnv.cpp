#include "support/TestEnv.h"

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace vondtest {
namespace {

// Test processes use OpenSSL before the SDK does (certificates, digests); like the SDK,
// they keep OpenSSL from tearing itself down at exit under the SDK's detached workers.
const bool kOpenSslWithoutAtexit = OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

std::mutex g_mutex;
std::condition_variable g_cond;
std::vector<CallbackRecord> g_records;

}  // namespace

TempDir::TempDir() {
    std::random_device device;
    std::mt19937_64 random(device());
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto candidate = base / ("vondtest-" + std::to_string(random()));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) {
            path_ = candidate.string();
            return;
        }
    }
}

namespace {

// Removes a tree, listing each folder once. std::filesystem::remove_all on Windows before
// POSIX deletes (and under Wine) never ends when a file is still open with FILE_SHARE_DELETE,
// as the SDK's files are until Exit: the deleted file stays listed, so it lists it again and
// again. What cannot go now is left behind.
void RemoveTree(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(std::filesystem::symlink_status(path, ec))) {
        std::vector<std::filesystem::path> entries;
        for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
            entries.push_back(it->path());
        for (const auto& entry : entries) RemoveTree(entry);
    }
    std::filesystem::remove(path, ec);
}

}  // namespace

TempDir::~TempDir() {
    RemoveTree(std::filesystem::u8path(path_));
}

void SetEnv(const std::string& name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name.c_str(), value.c_str());
#else
    setenv(name.c_str(), value.c_str(), 1);
#endif
}

void UnsetEnv(const std::string& name) {
#ifdef _WIN32
    _putenv_s(name.c_str(), "");
#else
    unsetenv(name.c_str());
#endif
}

bool ReadFile(const std::string& path, std::string& content) {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
#ifdef _WIN32
    // On Windows an open can be refused for a moment while the SDK renames a new version over
    // the file; the file is there all along. Tried again while it exists, as the SDK's own
    // reads are (an absent file still answers false at once). A loop of its own, not
    // WaitUntil: harnesses read files inside WaitUntil's predicate, which holds its lock.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!in) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(std::filesystem::u8path(path), ec) ||
            std::chrono::steady_clock::now() >= giveUp)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        in.clear();
        in.open(std::filesystem::u8path(path), std::ios::binary);
    }
#endif
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    content = buffer.str();
    return true;
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
    out << content;
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::u8path(path), ec);
}

ScopedCurrentDir::ScopedCurrentDir(const std::string& path) {
    previous_ = std::filesystem::current_path().string();
    std::filesystem::current_path(path);
}

ScopedCurrentDir::~ScopedCurrentDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
}

void Recorder::Callback(int code, std::wstring message, std::wstring data) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_records.push_back(CallbackRecord{code, std::move(message), std::move(data), std::this_thread::get_id()});
    g_cond.notify_all();
}

std::vector<CallbackRecord> Recorder::Records() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_records;
}

bool Recorder::WaitFor(size_t count, std::chrono::seconds bound) {
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_cond.wait_for(lock, bound, [&] { return g_records.size() >= count; });
}

void Recorder::Clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_records.clear();
}

bool WaitUntil(const std::function<bool()>& predicate, std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::unique_lock<std::mutex> lock(g_mutex);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        // Polls state owned by other threads that offer no signal of their own.
        g_cond.wait_for(lock, std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace vondtest
