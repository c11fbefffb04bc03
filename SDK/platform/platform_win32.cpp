// Windows side of the OS seam: the Win32 calls themselves.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include "platform/Platform.h"
#include "platform/FileFaults.h"

#include <windows.h>

#include <knownfolders.h>
#include <objbase.h>
#include <rpc.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <iostream>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace VondSdk {
namespace platform {

namespace {
std::atomic<bool> g_processEnding{false};
}  // namespace

void MarkProcessEnding() {
    g_processEnding.store(true);
}
namespace {

constexpr char kFallbackDataDir[] = "C:/VondEpicExeSdk";
constexpr wchar_t kDataDirName[] = L"\\VondEpicExeSdk";
constexpr char kNoAppDataMessage[] = "无法获取AppData\\Local路径";
constexpr char kCreateFailedMessage[] = "无法创建文件夹";

constexpr wchar_t kCryptographyKey[] = L"SOFTWARE\\Microsoft\\Cryptography";
constexpr wchar_t kMachineGuidValue[] = L"MachineGuid";
// KEY_READ with KEY_WOW64_64KEY / KEY_WOW64_32KEY.
constexpr REGSAM kRead64BitView = 0x20119;
constexpr REGSAM kRead32BitView = 0x20219;
constexpr char kOpenKey64Failed[] = "Failed to open registry key x64";
constexpr char kOpenKey32Failed[] = "Failed to open registry key x86";
constexpr char kQuerySizeFailed[] = "Failed to query value size";
constexpr char kWrongValueType[] = "Incorrect registry value type";
constexpr char kReadValueFailed[] = "Failed to read registry value";

// The data-directory and machine-id problems are reported on standard output, not in the
// log: logging is usually off when they happen. The UTF-8 bytes go out unchanged.
void PrintLine(const char* text) {
    try {
        std::cout << text << std::endl;
    } catch (...) {
    }
}

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr) ::CloseHandle(handle);
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct KeyCloser {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using UniqueKey = std::unique_ptr<std::remove_pointer<HKEY>::type, KeyCloser>;

struct TaskMemFree {
    void operator()(wchar_t* memory) const { ::CoTaskMemFree(memory); }
};

std::wstring WidePath(const std::string& path) {
    return Utf8ToWide(path);
}

bool IsDirectoryW(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Another thread or game may create the same folder at the same moment; it existing
// afterwards is all that matters.
bool CreateDirW(const std::wstring& path) {
    if (::CreateDirectoryW(path.c_str(), nullptr)) return true;
    return ::GetLastError() == ERROR_ALREADY_EXISTS && IsDirectoryW(path);
}

std::string DataDirFromEnvironment(const std::string& dir) {
    if (!IsDirectory(dir) && !CreateDir(dir)) {
        PrintLine(kCreateFailedMessage);
        return kFallbackDataDir;
    }
    return dir;
}

bool WriteAll(HANDLE file, const std::string& content) {
    size_t written = 0;
    while (written < content.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - written, 1u << 30));
        DWORD done = 0;
        if (!::WriteFile(file, content.data() + written, chunk, &done, nullptr) || done == 0) return false;
        written += done;
    }
    return true;
}

// Windows refuses to rename over a file that any process holds open (a reader of the old
// version, a virus scanner), even one opened with FILE_SHARE_DELETE. Such holds are short,
// so the rename is retried for a while rather than dropping the write, which for the order
// store would lose a paid order. Short waits at first: a busy reader leaves brief gaps.
bool MoveOver(const std::wstring& from, const std::wstring& to) {
    constexpr ULONGLONG kGiveUpAfterMs = 5000;
    const ULONGLONG start = ::GetTickCount64();
    DWORD pause = 1;
    for (;;) {
        if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return false;
        if (::GetTickCount64() - start >= kGiveUpAfterMs) return false;
        ::Sleep(pause);
        pause = std::min<DWORD>(pause * 2, 20);
    }
}

using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);

}  // namespace

std::string WideToUtf8(const std::wstring& text) {
    try {
        if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::string();
        // Explicit lengths: the whole string converts, embedded NULs included. Without error
        // flags an unpaired surrogate becomes U+FFFD instead of failing the conversion.
        const int units = static_cast<int>(text.size());
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
        if (size <= 0) return std::string();
        std::string out(static_cast<size_t>(size), '\0');
        const int done = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), units, &out[0], size, nullptr, nullptr);
        out.resize(done > 0 ? static_cast<size_t>(done) : 0);
        return out;
    } catch (...) {
        return std::string();
    }
}

std::wstring Utf8ToWide(const std::string& text) {
    try {
        if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::wstring();
        const int bytes = static_cast<int>(text.size());
        const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, nullptr, 0);
        if (size <= 0) return std::wstring();
        std::wstring out(static_cast<size_t>(size), L'\0');
        const int done = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, &out[0], size);
        out.resize(done > 0 ? static_cast<size_t>(done) : 0);
        return out;
    } catch (...) {
        return std::wstring();
    }
}

bool GetEnv(const char* name, std::string& value) {
    try {
        const std::wstring wideName = Utf8ToWide(name);
        std::vector<wchar_t> buffer(256);
        for (;;) {
            ::SetLastError(ERROR_SUCCESS);
            const DWORD length =
                ::GetEnvironmentVariableW(wideName.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
            if (length == 0) {
                if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
                value.clear();
                return true;
            }
            if (length < buffer.size()) {
                value = WideToUtf8(std::wstring(buffer.data(), length));
                return true;
            }
            buffer.resize(length);
        }
    } catch (...) {
        return false;
    }
}

std::string SdkDataDir() {
    try {
        std::string overridden;
        if (GetEnv("VOND_SDK_DATA_DIR", overridden) && !overridden.empty()) {
            return DataDirFromEnvironment(overridden);
        }

        wchar_t* raw = nullptr;
        const HRESULT result = ::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &raw);
        // The shell's buffer is released on every path, even when the lookup failed.
        std::unique_ptr<wchar_t, TaskMemFree> folder(raw);
        if (FAILED(result) || !folder) {
            PrintLine(kNoAppDataMessage);
            return kFallbackDataDir;
        }
        const std::wstring dir = std::wstring(folder.get()) + kDataDirName;
        if (!IsDirectoryW(dir) && !CreateDirW(dir)) {
            PrintLine(kCreateFailedMessage);
            return kFallbackDataDir;
        }
        return WideToUtf8(dir);
    } catch (...) {
        return kFallbackDataDir;
    }
}

char PathSeparator() {
    return '\\';
}

bool IsDirectory(const std::string& path) {
    try {
        return IsDirectoryW(WidePath(path));
    } catch (...) {
        return false;
    }
}

bool CreateDir(const std::string& path) {
    try {
        return CreateDirW(WidePath(path));
    } catch (...) {
        return false;
    }
}

ReadResult ReadFileState(const std::string& path, std::string& content) {
    if (detail::AskFileFault(FileOp::Read, path).fault != FileFault::None) return ReadResult::Error;
    try {
        const std::wstring wide = WidePath(path);
        // While another writer's new version is renamed over the file, or a scanner holds it,
        // opening it is refused for a moment: tried again for a while, as a rename over a held
        // file is, so that a passing hold is not taken for an unreadable file (whose values
        // must then not be written back, and the change waiting on them would be dropped).
        constexpr ULONGLONG kGiveUpAfterMs = 2000;
        const ULONGLONG start = ::GetTickCount64();
        DWORD pause = 1;
        UniqueHandle file(INVALID_HANDLE_VALUE);
        for (;;) {
            // Readers let a writer rename a new version over the file while they hold it.
            file.reset(::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file.get() != INVALID_HANDLE_VALUE) break;
            // A held file or a folder in its place is not "no file": only these two codes say
            // that nothing is there.
            const DWORD error = ::GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ReadResult::Absent;
            if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || IsDirectoryW(wide) ||
                ::GetTickCount64() - start >= kGiveUpAfterMs) {
                return ReadResult::Error;
            }
            ::Sleep(pause);
            pause = std::min<DWORD>(pause * 2, 20);
        }
        std::string data;
        char buffer[64 * 1024];
        for (;;) {
            DWORD got = 0;
            if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return ReadResult::Error;
            if (got == 0) break;
            data.append(buffer, got);
        }
        content.swap(data);
        return ReadResult::Found;
    } catch (...) {
        return ReadResult::Error;
    }
}

bool ReplaceFileAtomically(const std::string& path, const std::string& content) {
    static std::atomic<unsigned> sequence{0};
    try {
        const std::wstring target = WidePath(path);
        const std::wstring temporary = target + L".tmp." + std::to_wstring(::GetCurrentProcessId()) + L"." +
                                       std::to_wstring(sequence.fetch_add(1));
        {
            UniqueHandle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file.get() == INVALID_HANDLE_VALUE) return false;
            const FaultDecision fault = detail::AskFileFault(FileOp::Replace, path);
            if (fault.fault == FileFault::Torn && fault.tornAt > 0) {
                WriteAll(file.get(), content.substr(0, std::min(fault.tornAt, content.size())));
            }
            if (fault.fault != FileFault::None || !WriteAll(file.get(), content) || !::FlushFileBuffers(file.get())) {
                file.reset();
                ::DeleteFileW(temporary.c_str());
                return false;
            }
        }
        if (detail::AskFileFault(FileOp::Rename, path).fault != FileFault::None || !MoveOver(temporary, target)) {
            ::DeleteFileW(temporary.c_str());
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

std::string ReadMachineGuid() {
    try {
        // A 32-bit game on 64-bit Windows must look past its redirected view: the value lives
        // in the 64-bit one only. A 64-bit build runs on 64-bit Windows by definition, so it
        // reads that view as well; the 32-bit view would have no MachineGuid there and every
        // machine would get a random id instead.
        bool sixtyFourBitWindows = false;
#if defined(_WIN64)
        sixtyFourBitWindows = true;
#else
        BOOL wow64 = FALSE;
        sixtyFourBitWindows = ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
#endif
        HKEY raw = nullptr;
        if (sixtyFourBitWindows) {
            if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCryptographyKey, 0, kRead64BitView, &raw) != ERROR_SUCCESS) {
                PrintLine(kOpenKey64Failed);
                return std::string();
            }
        } else if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCryptographyKey, 0, kRead32BitView, &raw) != ERROR_SUCCESS) {
            PrintLine(kOpenKey32Failed);
            return std::string();
        }
        UniqueKey key(raw);

        DWORD type = 0;
        DWORD size = 0;
        if (::RegQueryValueExW(key.get(), kMachineGuidValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
            PrintLine(kQuerySizeFailed);
            return std::string();
        }
        if (type != REG_SZ) {
            PrintLine(kWrongValueType);
            return std::string();
        }
        std::vector<wchar_t> buffer(size / sizeof(wchar_t));
        DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        if (::RegQueryValueExW(key.get(), kMachineGuidValue, nullptr, &type,
                               reinterpret_cast<BYTE*>(buffer.data()), &bytes) != ERROR_SUCCESS) {
            PrintLine(kReadValueFailed);
            return std::string();
        }
        // The stored text need not end in a NUL, nor stop at the first one.
        const size_t units = std::min<size_t>(bytes / sizeof(wchar_t), buffer.size());
        size_t length = 0;
        while (length < units && buffer[length] != L'\0') ++length;
        return WideToUtf8(std::wstring(buffer.data(), length));
    } catch (...) {
        return std::string();
    }
}

std::string NewUuidText() {
    try {
        UUID uuid;
        // RPC_S_UUID_LOCAL_ONLY is a success of sorts, but such a UUID is unique only to this
        // computer: not good enough for an id that has to tell machines apart.
        if (::UuidCreate(&uuid) != RPC_S_OK) return std::string();
        RPC_CSTR text = nullptr;
        if (::UuidToStringA(&uuid, &text) != RPC_S_OK || text == nullptr) return std::string();
        std::string out(reinterpret_cast<const char*>(text));
        ::RpcStringFreeA(&text);
        return out;
    } catch (...) {
        return std::string();
    }
}

std::wstring CommandLine() {
    try {
        const wchar_t* line = ::GetCommandLineW();
        return line != nullptr ? std::wstring(line) : std::wstring();
    } catch (...) {
        return std::wstring();
    }
}

std::string CurrentDirectory() {
    // A longer path does not fit: the call then answers the size it would need, and the
    // directory counts as unknown.
    char buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetCurrentDirectoryA(sizeof buffer, buffer);
    if (length == 0 || length >= sizeof buffer) return std::string();
    return std::string(buffer, length);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    return dir + "\\" + name;
}

AppendFile::~AppendFile() {
    Close();
}

bool AppendFile::Open(const std::string& path) {
    Close();
    if (detail::AskFileFault(FileOp::Open, path).fault != FileFault::None) return false;
    path_ = path;
    // Others may read, rename or delete the file while it is open (a compaction replaces it).
    // FlushFileBuffers needs write access, not only the right to append: the one writer
    // starts at the end instead.
    HANDLE file = ::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER none{};
    if (!::SetFilePointerEx(file, none, nullptr, FILE_END)) {
        ::CloseHandle(file);
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(file);
    return true;
}

bool AppendFile::Append(const std::string& bytes) {
    if (handle_ == kNoHandle) return false;
    size_t limit = 0;
    if (!detail::AppendAllowance(path_, bytes.size(), limit)) return false;
    HANDLE file = reinterpret_cast<HANDLE>(handle_);
    size_t written = 0;
    while (written < limit) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(limit - written, 1u << 30));
        DWORD done = 0;
        if (!::WriteFile(file, bytes.data() + written, chunk, &done, nullptr) || done == 0) return false;
        written += done;
    }
    return limit == bytes.size();
}

bool AppendFile::Flush() {
    if (handle_ == kNoHandle || detail::AskFileFault(FileOp::Flush, path_).fault != FileFault::None) return false;
    return ::FlushFileBuffers(reinterpret_cast<HANDLE>(handle_)) != 0;
}

void AppendFile::Close() {
    if (handle_ == kNoHandle) return;
    ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = kNoHandle;
}

bool RemoveFile(const std::string& path) {
    if (detail::AskFileFault(FileOp::Remove, path).fault != FileFault::None) return false;
    try {
        if (::DeleteFileW(WidePath(path).c_str())) return true;
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    } catch (...) {
        return false;
    }
}

std::vector<std::string> ListFiles(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names;
    try {
        WIN32_FIND_DATAW found{};
        const std::wstring pattern = WidePath(dir) + L"\\" + WidePath(prefix) + L"*";
        HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return names;
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
            const std::string name = WideToUtf8(found.cFileName);
            // The pattern also matches short 8.3 names; only the real name counts.
            if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    } catch (...) {
        names.clear();
    }
    return names;
}

bool OverwriteInPlace(const std::string& path, const std::string& content) {
    if (detail::AskFileFault(FileOp::Overwrite, path).fault != FileFault::None) return false;
    try {
        UniqueHandle file(::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.get() == INVALID_HANDLE_VALUE) return false;
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(file.get(), &size) || static_cast<uint64_t>(size.QuadPart) < content.size()) return false;
        return WriteAll(file.get(), content) && ::FlushFileBuffers(file.get()) != 0;
    } catch (...) {
        return false;
    }
}

FileLock::Outcome FileLock::TryLockFile(const std::string& path) {
    try {
        // Others may open, and the last holder may delete, the lock file while it is held.
        HANDLE file = ::CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            // A holder deleting the file leaves it "delete pending" for a moment.
            return ::GetLastError() == ERROR_ACCESS_DENIED ? Outcome::Held : Outcome::Error;
        }
        // The lock belongs to this handle: a second handle, in this process or another, conflicts.
        OVERLAPPED at{};
        if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            const DWORD error = ::GetLastError();
            ::CloseHandle(file);
            return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? Outcome::Held : Outcome::Error;
        }
        handle_ = reinterpret_cast<intptr_t>(file);
        return Outcome::Taken;
    } catch (...) {
        return Outcome::Error;
    }
}

void FileLock::Unlock() {
    if (handle_ == kNoHandle) return;
    // Closing the handle releases its lock.
    ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = kNoHandle;
}

bool PinLibraryCode() {
    HMODULE module = nullptr;
    return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                reinterpret_cast<LPCWSTR>(&PinLibraryCode), &module) != 0;
}

bool ProcessIsEnding() {
    return g_processEnding.load();
}

ScreenSize DesktopSize() {
    ScreenSize size;
    RECT rect{};
    // The desktop window starts at the origin, so its right and bottom edges are its size.
    if (::GetWindowRect(::GetDesktopWindow(), &rect)) {
        size.width = rect.right;
        size.height = rect.bottom;
    }
    return size;
}

bool TimeZoneBias(long& biasMinutes) {
    TIME_ZONE_INFORMATION zone{};
    if (::GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return false;
    // The standard bias, not the daylight one, names the zone.
    biasMinutes = zone.Bias;
    return true;
}

bool QueryOsVersion(OsVersionInfo& result) {
    // GetVersionEx lies to programs without a compatibility manifest; the kernel's own call
    // reports the real version.
    HMODULE ntdll = ::GetModuleHandleA("ntdll");
    if (ntdll == nullptr) return false;
    FARPROC address = ::GetProcAddress(ntdll, "RtlGetVersion");
    if (address == nullptr) return false;
    auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void (*)()>(address));
    // The extended wide-character record (284 bytes); the call fills as much as the size names.
    OSVERSIONINFOEXW info{};
    static_assert(sizeof(info) == 284, "RtlGetVersion is given the 284-byte wide version record");
    info.dwOSVersionInfoSize = sizeof(info);
    if (rtlGetVersion(&info) != 0) return false;
    result.windows = true;
    result.major = info.dwMajorVersion;
    result.minor = info.dwMinorVersion;
    result.build = info.dwBuildNumber;
    return true;
}

}  // namespace platform
}  // namespace VondSdk

// Windows ends every other thread before it unloads DLLs at process exit, then calls this
// before the DLL's static objects are destroyed; a non-null reserved argument says the
// process is ending rather than the DLL being freed.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) VondSdk::platform::MarkProcessEnding();
    return TRUE;
}
