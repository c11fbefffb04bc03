// POSIX side of the OS seam: the nearest equivalents of the Windows calls.
#include "platform/Platform.h"
#include "platform/FileFaults.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <vector>

namespace VondSdk {
namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char kFallbackDataDir[] = "C:/VondEpicExeSdk";
constexpr char kNoAppDataMessage[] = "无法获取AppData\\Local路径";
constexpr char kCreateFailedMessage[] = "无法创建文件夹";

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void PrintLine(const char* text) {
    std::cout << text << std::endl;
}

}  // namespace

std::string WideToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        // A game that fills a wstring with UTF-16 units still means the same text: join a
        // proper pair, as the Windows conversion would.
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(static_cast<char32_t>(text[i + 1]))) {
            char32_t low = static_cast<char32_t>(text[++i]);
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c) || c > 0x10FFFF) {
            c = kReplacement;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::wstring Utf8ToWide(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        unsigned char b = bytes[i];
        if (b < 0x80) {
            out += static_cast<wchar_t>(b);
            ++i;
            continue;
        }
        int length = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2, cp = b & 0x1F, min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3, cp = b & 0x0F, min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4, cp = b & 0x07, min = 0x10000;
        }
        // Each maximal ill-formed prefix becomes one U+FFFD, as the Windows conversion does.
        size_t j = i + 1;
        bool ok = length > 0;
        for (int k = 1; ok && k < length; ++k, ++j) {
            if (j >= n || (bytes[j] & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (bytes[j] & 0x3F);
            if (k == 1) {
                // Reject overlong forms, surrogates and values past U+10FFFF as early as the
                // second byte, so the next byte is read afresh.
                char32_t partial = cp << (6 * (length - 2));
                if ((length == 3 && partial < min) || (length == 3 && partial >= 0xD800 && partial <= 0xDFFF) ||
                    (length == 4 && (partial < min || partial > 0x10FFFF))) {
                    ok = false;
                    break;
                }
            }
        }
        if (ok) {
            out += static_cast<wchar_t>(cp);
            i = j;
        } else {
            out += static_cast<wchar_t>(kReplacement);
            i = (length > 0 && j > i + 1) ? j : i + 1;
        }
    }
    return out;
}

bool GetEnv(const char* name, std::string& value) {
    const char* raw = std::getenv(name);
    if (raw == nullptr) return false;
    value = raw;
    return true;
}

char PathSeparator() {
    return '/';
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0) return true;
    return errno == EEXIST && IsDirectory(path);
}

std::string SdkDataDir() {
    std::string overridden;
    if (GetEnv("VOND_SDK_DATA_DIR", overridden) && !overridden.empty()) {
        if (!IsDirectory(overridden) && !CreateDir(overridden)) {
            PrintLine(kCreateFailedMessage);
            return kFallbackDataDir;
        }
        return overridden;
    }
    std::string base;
    if (!GetEnv("XDG_DATA_HOME", base) || base.empty()) {
        std::string home;
        if (!GetEnv("HOME", home) || home.empty()) {
            PrintLine(kNoAppDataMessage);
            return kFallbackDataDir;
        }
        base = home + "/.local/share";
    }
    const std::string dir = base + "/VondEpicExeSdk";
    if (!IsDirectory(dir) && !CreateDir(dir)) {
        PrintLine(kCreateFailedMessage);
        return kFallbackDataDir;
    }
    return dir;
}

ReadResult ReadFileState(const std::string& path, std::string& content) {
    if (detail::AskFileFault(FileOp::Read, path).fault != FileFault::None) return ReadResult::Error;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return (errno == ENOENT || errno == ENOTDIR) ? ReadResult::Absent : ReadResult::Error;
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    // A folder in the file's place opens fine here; it is not an empty file.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return ReadResult::Error;
    try {
        std::string data;
        char buffer[64 * 1024];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return ReadResult::Error;
            if (got == 0) break;
            data.append(buffer, static_cast<size_t>(got));
        }
        content.swap(data);
        return ReadResult::Found;
    } catch (...) {
        return ReadResult::Error;
    }
}

bool ReplaceFileAtomically(const std::string& path, const std::string& content) {
    const FaultDecision replaceFault = detail::AskFileFault(FileOp::Replace, path);
    std::string tmp = path + ".tmp.XXXXXX";
    int fd = ::mkstemp(&tmp[0]);
    if (fd < 0) return false;
    ::fchmod(fd, 0644);
    size_t written = 0;
    if (replaceFault.fault != FileFault::None) {
        // A full disk takes part of the new content, then refuses the rest; the old file stays.
        if (replaceFault.fault == FileFault::Torn && replaceFault.tornAt > 0) {
            const ssize_t ignored = ::write(fd, content.data(), std::min(replaceFault.tornAt, content.size()));
            (void)ignored;
        }
        ::close(fd);
        ::unlink(tmp.c_str());
        return false;
    }
    while (written < content.size()) {
        ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        written += static_cast<size_t>(n);
    }
    bool flushed = ::fsync(fd) == 0;
    const bool renameRefused = detail::AskFileFault(FileOp::Rename, path).fault != FileFault::None;
    if (::close(fd) != 0 || !flushed || renameRefused || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    // The rename lives in the folder's entries: until the folder reaches the disk, a power cut
    // can bring back the old file, or no file at all for one just created. The file is already
    // replaced here, so a folder that cannot be flushed (some file systems refuse) is no failure.
    std::string::size_type slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

std::string ReadMachineGuid() {
    for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        std::string id;
        if (!ReadWholeFile(path, id)) continue;
        while (!id.empty() && (id.back() == '\n' || id.back() == '\r' || id.back() == ' ')) id.pop_back();
        if (!id.empty()) return id;
    }
    PrintLine("Failed to read machine id");
    return std::string();
}

std::string NewUuidText() {
    unsigned char bytes[16];
    bool filled = false;
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        filled = ::read(fd, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes);
        ::close(fd);
    }
    if (!filled) {
        std::random_device device;
        for (auto& b : bytes) b = static_cast<unsigned char>(device());
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9],
                  bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::wstring CommandLine() {
    std::string raw;
    if (!ReadWholeFile("/proc/self/cmdline", raw)) return std::wstring();
    std::string line;
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos) end = raw.size();
        std::string arg = raw.substr(start, end - start);
        if (!line.empty()) line += ' ';
        if (arg.find(' ') != std::string::npos) {
            line += '"' + arg + '"';
        } else {
            line += arg;
        }
        start = end + 1;
    }
    return Utf8ToWide(line);
}

std::string CurrentDirectory() {
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string();
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    return dir + "/" + name;
}

AppendFile::~AppendFile() {
    Close();
}

bool AppendFile::Open(const std::string& path) {
    Close();
    if (detail::AskFileFault(FileOp::Open, path).fault != FileFault::None) return false;
    path_ = path;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    handle_ = fd;
    return true;
}

bool AppendFile::Append(const std::string& bytes) {
    if (handle_ == kNoHandle) return false;
    size_t limit = 0;
    if (!detail::AppendAllowance(path_, bytes.size(), limit)) return false;
    size_t written = 0;
    while (written < limit) {
        const ssize_t n = ::write(static_cast<int>(handle_), bytes.data() + written, limit - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<size_t>(n);
    }
    return limit == bytes.size();
}

bool AppendFile::Flush() {
    if (handle_ == kNoHandle || detail::AskFileFault(FileOp::Flush, path_).fault != FileFault::None) return false;
    return ::fdatasync(static_cast<int>(handle_)) == 0;
}

void AppendFile::Close() {
    if (handle_ == kNoHandle) return;
    ::close(static_cast<int>(handle_));
    handle_ = kNoHandle;
}

bool RemoveFile(const std::string& path) {
    if (detail::AskFileFault(FileOp::Remove, path).fault != FileFault::None) return false;
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

std::vector<std::string> ListFiles(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names;
    DIR* folder = ::opendir(dir.c_str());
    if (folder == nullptr) return names;
    try {
        while (dirent* entry = ::readdir(folder)) {
            const std::string name = entry->d_name;
            if (name.compare(0, prefix.size(), prefix) != 0) continue;
            struct stat info {};
            if (::stat((dir + "/" + name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) names.push_back(name);
        }
    } catch (...) {
        names.clear();
    }
    ::closedir(folder);
    return names;
}

bool OverwriteInPlace(const std::string& path, const std::string& content) {
    if (detail::AskFileFault(FileOp::Overwrite, path).fault != FileFault::None) return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    bool done = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                static_cast<uint64_t>(info.st_size) >= content.size();
    size_t written = 0;
    while (done && written < content.size()) {
        const ssize_t n = ::pwrite(fd, content.data() + written, content.size() - written, static_cast<off_t>(written));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) done = false;
        if (n > 0) written += static_cast<size_t>(n);
    }
    done = done && ::fdatasync(fd) == 0;
    return ::close(fd) == 0 && done;
}

FileLock::Outcome FileLock::TryLockFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return Outcome::Error;
    // flock belongs to this open file: a second open, in this process or another, conflicts.
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        const bool held = errno == EWOULDBLOCK;
        ::close(fd);
        return held ? Outcome::Held : Outcome::Error;
    }
    handle_ = fd;
    return Outcome::Taken;
}

void FileLock::Unlock() {
    if (handle_ == kNoHandle) return;
    ::close(static_cast<int>(handle_));
    handle_ = kNoHandle;
}

bool PinLibraryCode() {
    // Opening our own object again with RTLD_NODELETE marks it never to be unmapped; with
    // RTLD_NOLOAD nothing new is loaded. Linked into a program, it is the program itself.
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&PinLibraryCode), &info) == 0 || info.dli_fname == nullptr) return false;
    return ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

bool ProcessIsEnding() {
    // exit() destroys static objects while every thread still runs, so the ordinary stop,
    // which waits for the threads to leave, is the right one.
    return false;
}

ScreenSize DesktopSize() {
    // A library cannot ask a display server it does not link; the kernel's mode-setting
    // table names the mode of each connected display. The first one found stands for the
    // desktop, as the primary display does on Windows.
    ScreenSize size;
    DIR* drm = ::opendir("/sys/class/drm");
    if (drm == nullptr) return size;
    std::vector<std::string> connectors;
    while (dirent* entry = ::readdir(drm)) {
        const std::string name = entry->d_name;
        if (name.rfind("card", 0) == 0 && name.find('-') != std::string::npos) connectors.push_back(name);
    }
    ::closedir(drm);
    std::sort(connectors.begin(), connectors.end());
    for (const std::string& connector : connectors) {
        const std::string dir = "/sys/class/drm/" + connector;
        std::string status;
        std::string modes;
        if (!ReadWholeFile(dir + "/status", status) || status.rfind("connected", 0) != 0) continue;
        if (!ReadWholeFile(dir + "/modes", modes)) continue;
        int width = 0;
        int height = 0;
        if (std::sscanf(modes.c_str(), "%dx%d", &width, &height) == 2 && width > 0 && height > 0) {
            size.width = width;
            size.height = height;
            return size;
        }
    }
    return size;
}

bool TimeZoneBias(long& biasMinutes) {
    std::time_t now = std::time(nullptr);
    std::tm local {};
    if (::localtime_r(&now, &local) == nullptr) return false;
    // Windows names the zone by its standard bias; summer time adds an hour here.
    long offsetSeconds = local.tm_gmtoff - (local.tm_isdst > 0 ? 3600 : 0);
    biasMinutes = -offsetSeconds / 60;
    return true;
}

bool QueryOsVersion(OsVersionInfo& info) {
    struct utsname name {};
    if (::uname(&name) != 0) return false;
    info.windows = false;
    info.name = std::string(name.sysname) + " " + name.release;
    return true;
}

}  // namespace platform
}  // namespace VondSdk
