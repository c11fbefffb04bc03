// The user's proxy settings behind the network seam: the proxy list and bypass list, and a
// configured PAC script's answer, read through WinHTTP and kept for a minute per host.
// clang-format off
// Winsock must come before windows.h.
#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <chrono>
#include <cwctype>
#include <map>
#include <mutex>
#include <string>

#include "platform/Net.h"
#include "platform/Platform.h"

namespace VondSdk {
namespace net {

namespace {

std::wstring TakeGlobal(LPWSTR text) {
    std::wstring copy = text != nullptr ? std::wstring(text) : std::wstring();
    if (text != nullptr) ::GlobalFree(text);
    return copy;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// "*" matches any run of characters; everything else matches itself, ignoring case.
bool WildcardMatch(const wchar_t* pattern, const wchar_t* text) {
    if (*pattern == L'\0') return *text == L'\0';
    if (*pattern == L'*') return WildcardMatch(pattern + 1, text) || (*text != L'\0' && WildcardMatch(pattern, text + 1));
    return *text != L'\0' && *pattern == *text && WildcardMatch(pattern + 1, text + 1);
}

// The bypass list of the user's settings: entries separated by ";" or blanks, "<local>" for
// names without a dot, wildcards allowed.
bool Bypassed(const std::wstring& bypass, const std::wstring& host) {
    const std::wstring name = Lower(host);
    std::size_t start = 0;
    while (start < bypass.size()) {
        std::size_t end = bypass.find_first_of(L"; \t\r\n", start);
        if (end == std::wstring::npos) end = bypass.size();
        std::wstring entry = Lower(bypass.substr(start, end - start));
        start = end + 1;
        if (entry.empty()) continue;
        if (entry == L"<local>") {
            if (name.find(L'.') == std::wstring::npos) return true;
            continue;
        }
        if (WildcardMatch(entry.c_str(), name.c_str())) return true;
    }
    return false;
}

// The proxy for https from a WinHTTP proxy list: "host:port", or per-scheme entries
// ("http=a:80;https=b:443"), where https takes its own entry and otherwise none.
bool PickProxy(const std::wstring& list, ProxyAddress& proxy) {
    std::wstring chosen;
    std::wstring plain;
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t end = list.find_first_of(L"; \t\r\n", start);
        if (end == std::wstring::npos) end = list.size();
        std::wstring entry = list.substr(start, end - start);
        start = end + 1;
        if (entry.empty()) continue;
        std::size_t equals = entry.find(L'=');
        if (equals == std::wstring::npos) {
            if (plain.empty()) plain = entry;
        } else if (chosen.empty() && Lower(entry.substr(0, equals)) == L"https") {
            chosen = entry.substr(equals + 1);
        }
    }
    if (chosen.empty()) chosen = plain;
    std::size_t scheme = chosen.find(L"://");
    if (scheme != std::wstring::npos) chosen.erase(0, scheme + 3);
    chosen = chosen.substr(0, chosen.find(L'/'));
    if (chosen.empty()) return false;
    int port = 80;
    std::size_t colon = chosen.rfind(L':');
    if (colon != std::wstring::npos) {
        port = static_cast<int>(std::wcstol(chosen.c_str() + colon + 1, nullptr, 10));
        chosen.resize(colon);
    }
    if (chosen.empty() || port <= 0 || port > 65535) return false;
    proxy.host = platform::WideToUtf8(chosen);
    proxy.port = port;
    return !proxy.host.empty();
}

struct ProxyAnswer {
    bool viaProxy = false;
    ProxyAddress proxy;
    std::chrono::steady_clock::time_point at;
};

// Reading the settings and running a PAC script per request would cost more than the request;
// an answer holds for a minute per host.
std::mutex& ProxyCacheMutex() {
    static std::mutex* const mutex = new std::mutex();
    return *mutex;
}
std::map<std::string, ProxyAnswer>& ProxyCache() {
    static auto* const cache = new std::map<std::string, ProxyAnswer>();
    return *cache;
}

}  // namespace

bool ProxyFromSettings(const std::wstring& list, const std::wstring& bypass, const std::string& host,
                       ProxyAddress& proxy) {
    const std::wstring wideHost(host.begin(), host.end());
    if (list.empty() || Bypassed(bypass, wideHost)) return false;
    return PickProxy(list, proxy);
}

namespace {

bool LookUpProxy(const std::string& url, const std::string& host, ProxyAddress& proxy) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&settings)) return false;
    const std::wstring script = TakeGlobal(settings.lpszAutoConfigUrl);
    std::wstring list = TakeGlobal(settings.lpszProxy);
    std::wstring bypass = TakeGlobal(settings.lpszProxyBypass);
    // Automatic detection (WPAD) is left out: it is on by default almost everywhere and would
    // make the first request wait on DHCP and DNS for a script that rarely exists. A script
    // the user or the administrator configured is honoured.
    if (!script.empty()) {
        // The PAC script's answer for the backend's URL. Its download is bounded; the caller
        // bounds the whole lookup as well.
        HINTERNET session = ::WinHttpOpen(L"vondsdk", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                          WINHTTP_NO_PROXY_BYPASS, 0);
        if (session != nullptr) {
            ::WinHttpSetTimeouts(session, 5000, 5000, 5000, 5000);
            WINHTTP_AUTOPROXY_OPTIONS options{};
            options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
            options.lpszAutoConfigUrl = script.c_str();
            options.fAutoLogonIfChallenged = TRUE;
            WINHTTP_PROXY_INFO info{};
            std::wstring wideUrl(url.begin(), url.end());
            const bool answered = ::WinHttpGetProxyForUrl(session, wideUrl.c_str(), &options, &info) != FALSE;
            const std::wstring answer = TakeGlobal(info.lpszProxy);
            TakeGlobal(info.lpszProxyBypass);
            ::WinHttpCloseHandle(session);
            if (answered) {
                // The script decided for this very URL: its answer stands, bypass included.
                return info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && PickProxy(answer, proxy);
            }
        }
    }
    return ProxyFromSettings(list, bypass, host, proxy);
}

}  // namespace

bool ProxyLookupMayWait() {
    return true;
}

bool SystemProxyFor(const std::string& url, const std::string& host, ProxyAddress& proxy) {
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(ProxyCacheMutex());
        auto found = ProxyCache().find(host);
        if (found != ProxyCache().end() && now - found->second.at < std::chrono::minutes(1)) {
            proxy = found->second.proxy;
            return found->second.viaProxy;
        }
    }
    ProxyAnswer answer;
    answer.viaProxy = LookUpProxy(url, host, answer.proxy);
    answer.at = now;
    std::lock_guard<std::mutex> lock(ProxyCacheMutex());
    ProxyCache()[host] = answer;
    proxy = answer.proxy;
    return answer.viaProxy;
}

}  // namespace net
}  // namespace VondSdk
