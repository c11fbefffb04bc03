// The Windows side of the OS seam against a real Win32 (under Wine on the build machines):
// identity from the registry, the data folder, the launcher command line, text and files.
#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Platform.h"
#include "src/CVondTrack.h"
#include "support/TestEnv.h"
#include "utils/VondConfigUtils.h"
#include "utils/VondUtils.h"

namespace platform = VondSdk::platform;

namespace {

constexpr wchar_t kDataDirVariable[] = L"VOND_SDK_DATA_DIR";
constexpr wchar_t kEchoVariable[] = L"VOND_TEST_ECHO_COMMAND_LINE";

// A child started by CommandLineReachesTheProcessUnchanged: write what the OS reports as
// this process's command line and leave before the test runner sees the launcher arguments.
struct CommandLineEcho {
    CommandLineEcho() {
        wchar_t target[MAX_PATH * 2];
        const DWORD length = ::GetEnvironmentVariableW(kEchoVariable, target, MAX_PATH * 2);
        if (length == 0 || length >= MAX_PATH * 2) return;
        FILE* out = _wfopen(target, L"wb");
        if (out != nullptr) {
            const std::string line = platform::WideToUtf8(platform::CommandLine());
            std::fwrite(line.data(), 1, line.size(), out);
            std::fclose(out);
        }
        ::ExitProcess(0);
    }
} g_commandLineEcho;

std::wstring Wide(std::initializer_list<unsigned> units) {
    std::wstring text;
    for (unsigned u : units) text += static_cast<wchar_t>(u);
    return text;
}

std::wstring MachineGuidFromRegistry() {
    wchar_t value[128] = {};
    DWORD bytes = sizeof(value);
    const LSTATUS status = ::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", L"MachineGuid",
                                          RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, value, &bytes);
    return status == ERROR_SUCCESS ? std::wstring(value) : std::wstring();
}

std::wstring LocalAppData() {
    wchar_t* raw = nullptr;
    std::wstring folder;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &raw))) folder = raw;
    ::CoTaskMemFree(raw);
    return folder;
}

// Points the SDK at a data folder for the scope of the object (the value is read on each
// call); restores whatever was set before.
class ScopedDataDir {
public:
    explicit ScopedDataDir(const std::wstring* dir) {
        wchar_t previous[1024];
        const DWORD length = ::GetEnvironmentVariableW(kDataDirVariable, previous, 1024);
        hadPrevious_ = length > 0 && length < 1024;
        if (hadPrevious_) previous_ = previous;
        ::SetEnvironmentVariableW(kDataDirVariable, dir != nullptr ? dir->c_str() : nullptr);
    }
    ~ScopedDataDir() { ::SetEnvironmentVariableW(kDataDirVariable, hadPrevious_ ? previous_.c_str() : nullptr); }

private:
    bool hadPrevious_ = false;
    std::wstring previous_;
};

std::vector<std::wstring> FileNamesIn(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((dir + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
    return names;
}

std::wstring TempFolder(const wchar_t* name) {
    wchar_t base[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, base);
    return std::wstring(base, length) + name + std::to_wstring(::GetCurrentProcessId());
}

void RemoveTree(const std::wstring& dir) {
    for (const auto& name : FileNamesIn(dir)) {
        const std::wstring path = dir + L"\\" + name;
        if (::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveTree(path);
        } else {
            ::DeleteFileW(path.c_str());
        }
    }
    ::RemoveDirectoryW(dir.c_str());
}

}  // namespace

TEST(PlatformWin32, ClientIdIsTheMachineGuidWithoutDashes) {
    const std::wstring guid = MachineGuidFromRegistry();
    ASSERT_EQ(guid.size(), 36u) << "the Windows installation has no MachineGuid";
    std::string expected;
    for (wchar_t unit : guid) {
        if (unit != L'-') expected += static_cast<char>(unit);
    }

    EXPECT_EQ(platform::ReadMachineGuid(), platform::WideToUtf8(guid));

    const std::wstring dir = TempFolder(L"vond-clientid-");
    ScopedDataDir scoped(&dir);
    const std::string id = VondSdk::VondUtils::GetClientId();
    EXPECT_EQ(id, expected);
    std::string stored;
    ASSERT_TRUE(platform::ReadWholeFile(platform::WideToUtf8(dir) + "/SharedConf", stored));
    EXPECT_EQ(stored, "{\"ClientId\":\"" + expected + "\"}");
    // A second start reads the stored id instead of asking the registry again.
    EXPECT_EQ(VondSdk::VondUtils::GetClientId(), expected);
    RemoveTree(dir);
}

TEST(PlatformWin32, SharedConfLandsInLocalAppDataByDefault) {
    const std::wstring appData = LocalAppData();
    ASSERT_FALSE(appData.empty());
    const std::wstring expectedDir = appData + L"\\VondEpicExeSdk";
    const std::wstring sharedConf = expectedDir + L"\\SharedConf";
    const bool dirExisted = (::GetFileAttributesW(expectedDir.c_str()) != INVALID_FILE_ATTRIBUTES);
    std::string previous;
    const bool confExisted = platform::ReadWholeFile(platform::WideToUtf8(sharedConf), previous);

    {
        ScopedDataDir scoped(nullptr);
        ::DeleteFileW(sharedConf.c_str());
        EXPECT_EQ(VondSdk::GetSdkDataDir(), platform::WideToUtf8(expectedDir));
        const std::string id = VondSdk::VondUtils::GetClientId();
        EXPECT_FALSE(id.empty());
        std::string stored;
        ASSERT_TRUE(platform::ReadWholeFile(platform::WideToUtf8(sharedConf), stored));
        EXPECT_EQ(nlohmann::json::parse(stored).value("ClientId", ""), id);
    }

    if (confExisted) {
        platform::ReplaceFileAtomically(platform::WideToUtf8(sharedConf), previous);
    } else {
        ::DeleteFileW(sharedConf.c_str());
    }
    if (!dirExisted) ::RemoveDirectoryW(expectedDir.c_str());
}

TEST(PlatformWin32, UnusableDataDirFallsBackWithOneLine) {
    const std::wstring dir = TempFolder(L"vond-blocked-");
    ASSERT_TRUE(platform::ReplaceFileAtomically(platform::WideToUtf8(dir), "a file, not a folder"));
    const std::wstring below = dir + L"\\data";
    {
        ScopedDataDir scoped(&below);
        testing::internal::CaptureStdout();
        const std::string chosen = platform::SdkDataDir();
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(chosen, "C:/VondEpicExeSdk");
        EXPECT_EQ(printed, "无法创建文件夹\n");
    }
    ::DeleteFileW(dir.c_str());
}

TEST(PlatformWin32, CommandLineReachesTheProcessUnchanged) {
    wchar_t self[MAX_PATH * 2];
    const DWORD selfLength = ::GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
    ASSERT_GT(selfLength, 0u);
    // What the Epic launcher passes, with a Chinese display name holding a space.
    const std::wstring arguments =
        L" -AUTH_LOGIN=unused -AUTH_PASSWORD=abc -AUTH_TYPE=exchangecode -epicapp=vond -epicenv=Prod "
        L"-EpicPortal \"-epicusername=\u5f20\u4e09 \u674e\" -epicuserid=0123abc -epiclocale=zh-CN "
        L"-epicsandboxid=x -epicdeploymentid=d";
    std::wstring line = L"\"" + std::wstring(self, selfLength) + L"\"" + arguments;

    const std::wstring out = TempFolder(L"vond-cmdline-");
    ::SetEnvironmentVariableW(kEchoVariable, out.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child{};
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(L'\0');
    const BOOL started = ::CreateProcessW(self, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                          &startup, &child);
    ::SetEnvironmentVariableW(kEchoVariable, nullptr);
    ASSERT_TRUE(started);
    const DWORD waited = ::WaitForSingleObject(child.hProcess, 60000);
    ::CloseHandle(child.hThread);
    ::CloseHandle(child.hProcess);
    ASSERT_EQ(waited, WAIT_OBJECT_0);

    std::string echoed;
    ASSERT_TRUE(platform::ReadWholeFile(platform::WideToUtf8(out), echoed));
    ::DeleteFileW(out.c_str());
    EXPECT_EQ(platform::Utf8ToWide(echoed), line);
}

TEST(PlatformWin32, WideTextConvertsWholeStrings) {
    EXPECT_EQ(platform::WideToUtf8(L""), "");
    EXPECT_EQ(platform::Utf8ToWide(""), L"");
    // 张三, a surrogate pair (U+1F600), and the NUL that a C-string conversion would stop at.
    const std::wstring wide = Wide({0x5F20, 0x4E09, 0xD83D, 0xDE00, 0, 'x'});
    const std::string utf8("\xE5\xBC\xA0\xE4\xB8\x89\xF0\x9F\x98\x80\0x", 12);
    EXPECT_EQ(platform::WideToUtf8(wide), utf8);
    EXPECT_EQ(platform::Utf8ToWide(utf8), wide);

    // Unpaired surrogates anywhere, reversed pairs, and a high surrogate at the very end.
    EXPECT_EQ(platform::WideToUtf8(Wide({'a', 0xDC00, 'b', 0xD800})), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    EXPECT_EQ(platform::WideToUtf8(Wide({0xDE00, 0xD83D, 0})), std::string("\xEF\xBF\xBD\xEF\xBF\xBD\0", 7));
    // Bytes that are not UTF-8 become U+FFFD and never swallow the text after them.
    const std::wstring fromBroken = platform::Utf8ToWide("\xFF" "ok\xE5\xBC");
    EXPECT_EQ(fromBroken.substr(0, 3), Wide({0xFFFD, 'o', 'k'}));
    EXPECT_GE(fromBroken.size(), 4u);
    for (size_t i = 3; i < fromBroken.size(); ++i) EXPECT_EQ(fromBroken[i], 0xFFFD);
}

TEST(PlatformWin32, FilesUnderNonAsciiPathsAreReplacedWhole) {
    // A Windows user name is often not ASCII, and the data folder lives under it.
    const std::wstring dir = TempFolder(L"vond-\u73a9\u5bb6-");
    ScopedDataDir scoped(&dir);
    const std::string dataDir = platform::SdkDataDir();
    ASSERT_EQ(dataDir, platform::WideToUtf8(dir));
    ASSERT_TRUE(platform::IsDirectory(dataDir));

    const std::string file = dataDir + "/UnconsumedOrder";
    // Binary-exact: no newline translation, NULs kept.
    const std::string first("[{\"orderId\":\"1\"}]\n\r\n\0end", 24);
    ASSERT_TRUE(platform::ReplaceFileAtomically(file, first));
    std::string read;
    ASSERT_TRUE(platform::ReadWholeFile(file, read));
    EXPECT_EQ(read, first);

    const std::string second(200000, 'z');
    ASSERT_TRUE(platform::ReplaceFileAtomically(file, second));
    ASSERT_TRUE(platform::ReadWholeFile(file, read));
    EXPECT_EQ(read, second);
    // Nothing of the temporary files stays behind.
    EXPECT_EQ(FileNamesIn(dir), std::vector<std::wstring>{L"UnconsumedOrder"});

    // A folder that is missing makes the write fail and leaves nothing.
    EXPECT_FALSE(platform::ReplaceFileAtomically(dataDir + "/missing/AppConf", "{}"));
    EXPECT_FALSE(platform::ReadWholeFile(dataDir + "/missing/AppConf", read));
    EXPECT_TRUE(platform::CreateDir(dataDir + "/\u6e38\u620f"));
    EXPECT_TRUE(platform::CreateDir(dataDir + "/\u6e38\u620f"));
    EXPECT_TRUE(platform::IsDirectory(dataDir + "/\u6e38\u620f"));
    EXPECT_FALSE(platform::IsDirectory(file));
    RemoveTree(dir);
}

TEST(PlatformWin32, ReplacingAFileSomeoneHoldsOpenWaitsInsteadOfDroppingTheWrite) {
    const std::wstring dir = TempFolder(L"vond-held-");
    ASSERT_TRUE(platform::CreateDir(platform::WideToUtf8(dir)));
    const std::string file = platform::WideToUtf8(dir) + "/UnconsumedOrder";
    ASSERT_TRUE(platform::ReplaceFileAtomically(file, "old"));

    // A plain C runtime reader (another game, a virus scanner) shares no delete access,
    // which makes Windows refuse any rename over the file while it is open.
    FILE* reader = _wfopen((dir + L"\\UnconsumedOrder").c_str(), L"rb");
    ASSERT_NE(reader, nullptr);
    auto writer = std::async(std::launch::async, [&] { return platform::ReplaceFileAtomically(file, "paid order"); });
    const bool temporaryWritten = vondtest::WaitUntil([&] { return FileNamesIn(dir).size() == 2; });
    std::fclose(reader);
    EXPECT_TRUE(temporaryWritten);

    ASSERT_EQ(writer.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(writer.get());
    std::string content;
    ASSERT_TRUE(platform::ReadWholeFile(file, content));
    EXPECT_EQ(content, "paid order");
    EXPECT_EQ(FileNamesIn(dir), std::vector<std::wstring>{L"UnconsumedOrder"});
    RemoveTree(dir);
}

TEST(PlatformWin32, DeviceFactsAreSane) {
    const platform::ScreenSize screen = platform::DesktopSize();
    EXPECT_GT(screen.width, 0);
    EXPECT_GT(screen.height, 0);
    EXPECT_EQ(screen.width, ::GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(screen.height, ::GetSystemMetrics(SM_CYSCREEN));

    // Windows biases run from UTC+14 (-840) to UTC-12 (720), and the zone's text follows.
    long bias = 0;
    ASSERT_TRUE(platform::TimeZoneBias(bias));
    EXPECT_GE(bias, -14 * 60);
    EXPECT_LE(bias, 12 * 60);
    TIME_ZONE_INFORMATION zone{};
    ASSERT_NE(::GetTimeZoneInformation(&zone), TIME_ZONE_ID_INVALID);
    EXPECT_EQ(bias, zone.Bias);
    EXPECT_EQ(VondSdk::TimeZoneText(bias).rfind("UTC", 0), 0u);

    // The kernel's own numbers name a Windows release that the table knows.
    platform::OsVersionInfo version;
    ASSERT_TRUE(platform::QueryOsVersion(version));
    EXPECT_TRUE(version.windows);
    EXPECT_GE(version.major, 6u);
    EXPECT_GT(version.build, 0u);
    const std::string name = VondSdk::WindowsVersionName(version.major, version.minor, version.build);
    EXPECT_EQ(name.rfind("Windows ", 0), 0u) << version.major << "." << version.minor << "." << version.build;

    const std::string uuid = platform::NewUuidText();
    ASSERT_EQ(uuid.size(), 36u);
    EXPECT_EQ(uuid[8], '-');
    EXPECT_EQ(uuid[23], '-');
    EXPECT_NE(uuid, platform::NewUuidText());
}

#endif  // _WIN32
