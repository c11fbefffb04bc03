// The OS seam: everything the SDK asks of the operating system outside networking.
// One implementation per OS (platform_win32.cpp, platform_posix.cpp), chosen by the build.
// All text in and out is UTF-8 unless the type says otherwise. Every function is thread-safe
// and never throws.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace VondSdk {
namespace platform {

// UTF-16 (Windows) or UTF-32 (elsewhere) to UTF-8 over the whole string, embedded NULs
// included. Unpaired surrogates and values that are not code points become U+FFFD.
std::string WideToUtf8(const std::wstring& text);

// UTF-8 to the platform's wide form over the whole string; invalid sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& text);

// Value of an environment variable; false when unset.
bool GetEnv(const char* name, std::string& value);

// The SDK data directory, created when missing: the local application-data folder plus
// the SDK's folder name (VOND_SDK_DATA_DIR replaces it). On failure writes one line to
// standard output and returns the fixed fallback path, which is not created.
std::string SdkDataDir();

// The character between folder names in the paths the SDK builds: '\\' on Windows, '/' elsewhere.
char PathSeparator();

bool IsDirectory(const std::string& path);
// Creates one directory level; true when it exists afterwards.
bool CreateDir(const std::string& path);

// How a read of a whole file ended. Absent is only "no such file" (nor folder on the way);
// anything else that keeps the bytes from the caller (a folder in its place, a file locked
// by a scanner, an I/O error) is Error, which must never be taken for an empty store.
enum class ReadResult { Found, Absent, Error };
// Reads a whole file into content (left unchanged unless Found).
ReadResult ReadFileState(const std::string& path, std::string& content);
// Reads a whole file; false when it is absent or cannot be read (see ReadFileState).
inline bool ReadWholeFile(const std::string& path, std::string& content) {
    return ReadFileState(path, content) == ReadResult::Found;
}

// Replaces the file so that a reader sees either the old or the new content, never a
// part: writes a temporary file in the same folder, flushes it to disk, renames it over.
// False (and the old file untouched) on any failure.
bool ReplaceFileAtomically(const std::string& path, const std::string& content);

// A file opened for appending (created when missing), for the event outbox's journal. Writes
// go to the end (one writer per file); Flush makes them durable. Not shared between threads.
// Never throws.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Closes any file open before. False when the file cannot be opened or created.
    bool Open(const std::string& path);
    bool IsOpen() const { return handle_ != kNoHandle; }
    // Writes all bytes at the end of the file; false on any failure.
    bool Append(const std::string& bytes);
    // Forces what was appended to the disk.
    bool Flush();
    void Close();

private:
    static constexpr intptr_t kNoHandle = -1;
    intptr_t handle_ = kNoHandle;
    std::string path_;
};

// Removes a file; true when it is gone afterwards (also when it was absent).
bool RemoveFile(const std::string& path);

// The names (not paths) of the regular files in dir whose names start with prefix, in no set
// order; empty when the folder cannot be read.
std::vector<std::string> ListFiles(const std::string& dir, const std::string& prefix);

// Overwrites the first bytes of an existing file with content, without truncating or growing
// it, and flushes them: a write into blocks the file already owns, which needs no free space
// on the file systems games run on. False when the file is absent or shorter than content.
bool OverwriteInPlace(const std::string& path, const std::string& content);

// An exclusive lock shared with other processes (flock on POSIX, LockFileEx on Windows) on a
// lock file, created when missing, held while the object holds it. Two objects conflict even
// in one process, as two processes do. The OS drops the lock when its process ends, however it
// ends. Not shared between threads. Never throws.
class FileLock {
public:
    enum class Outcome { Taken, Held, Error };

    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock without waiting: Held when another holder has it, Error when the lock
    // file cannot be opened or created. Releases any lock this object held before.
    Outcome TryLock(const std::string& path);
    // Tries until bound has passed, a few milliseconds apart: a hung holder never hangs the
    // caller longer than bound.
    Outcome Lock(const std::string& path, std::chrono::milliseconds bound);
    // The lock of a state file's read-modify-write, shared by every game process on the data
    // folder: LockPathFor(file), waited for at most 2 s (a holder keeps it across one read and
    // one write; far longer means it hangs).
    Outcome LockFor(const std::string& file);
    bool IsLocked() const { return handle_ != kNoHandle; }
    void Unlock();

private:
    // The OS's own non-blocking lock of the file (one implementation per OS).
    Outcome TryLockFile(const std::string& path);

    static constexpr intptr_t kNoHandle = -1;
    intptr_t handle_ = kNoHandle;
};

// The lock file beside a state file ("<file>.lock"). It holds no data and is never removed
// while a process may hold it: removing it would let a second holder in.
std::string LockPathFor(const std::string& file);

// Faults that tests make the file functions above report, as a full disk, a scanner, a sync
// tool or a second process would. A release build never installs a hook.
enum class FileOp {
    Read,     // ReadFileState, ReadWholeFile
    Replace,  // ReplaceFileAtomically: writing the new content
    Rename,   // ReplaceFileAtomically: the rename over the old file
    Open,     // AppendFile::Open
    Append,   // AppendFile::Append
    Flush,    // AppendFile::Flush
    Overwrite,  // OverwriteInPlace
    Remove,   // RemoveFile
    Lock,     // FileLock::TryLock and Lock
};
enum class FileFault {
    None,
    NoSpace,  // the write fails with nothing (Replace, Overwrite) or nothing more (Append) written
    Refused,  // the OS refuses the call (a read error, a rename or open denied)
    Torn,     // Append: only the first tornAt bytes reach the file, then the call fails
    Held,     // another process holds the file: a lock is Held, a rename or removal refused
};
struct FaultDecision {
    FileFault fault = FileFault::None;
    size_t tornAt = 0;
};
// Asked before each call of the functions above with the call's kind and path; the call then
// fails as the decision says. Null removes the hook. The hook runs on the calling thread, with
// no lock of the SDK held; it must be thread-safe. For tests.
using FileFaultHook = std::function<FaultDecision(FileOp op, const std::string& path)>;
void SetFileFaultHook(FileFaultHook hook);

// Keeps the SDK's own code loaded for the rest of the process, even when the game unloads
// the library: a thread the SDK could not wait for (a name lookup the OS still runs, a late
// completion) then never runs code that is gone. Idempotent; true when the OS agreed.
bool PinLibraryCode();

// The machine's installation id (Windows MachineGuid, /etc/machine-id elsewhere), or ""
// after writing one line to standard output that says why.
std::string ReadMachineGuid();

// A fresh random UUID in the 8-4-4-4-12 text form, or "" when the OS cannot make one.
std::string NewUuidText();

// The process command line as the OS gives it (program name included).
std::wstring CommandLine();

// The process's current directory (UTF-8), or "" when the OS cannot tell.
std::string CurrentDirectory();
// dir and name joined with the OS's own path separator.
std::string JoinPath(const std::string& dir, const std::string& name);

// True once the process has begun to end with the SDK's library still loaded (Windows tells
// a DLL so before its static objects are destroyed; by then every other thread is gone).
bool ProcessIsEnding();

// Device facts for analytics; best effort outside Windows.
struct ScreenSize {
    int width = 0;
    int height = 0;
};
// The desktop window's size (Windows); elsewhere a connected display's mode, or 0x0.
ScreenSize DesktopSize();
// The zone's bias in minutes, UTC minus local time (-480 for UTC+8), as Windows reports it;
// false when the zone cannot be read.
bool TimeZoneBias(long& biasMinutes);
// The running system's version. Windows: windows = true and the kernel's own numbers.
// Elsewhere: windows = false and name = the system's name and release ("Linux 6.1.0").
struct OsVersionInfo {
    bool windows = false;
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
    std::string name;
};
// False when the version cannot be read.
bool QueryOsVersion(OsVersionInfo& info);

}  // namespace platform
}  // namespace VondSdk
