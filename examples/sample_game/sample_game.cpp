// A minimal game loop that drives the SDK the way a shipped game does: start it, log in,
// list products, buy one, post events, pump once per frame, shut down. Every callback is
// printed as it arrives.
#include <VondProxy.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex g_printMutex;
std::atomic<int> g_pending{0};

// UTF-8 for the console; the SDK's texts include Chinese messages.
std::string Narrow(const std::wstring& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned long c = static_cast<unsigned long>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned long>(text[++i]) - 0xDC00);
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

void Print(const char* what, int code, const std::wstring& message, const std::wstring& data) {
    std::lock_guard<std::mutex> lock(g_printMutex);
    std::printf("[%s] code=%d message=%s data=%s\n", what, code, Narrow(message).c_str(), Narrow(data).c_str());
    std::fflush(stdout);
}

void OnInit(int code, std::wstring message, std::wstring data) { Print("Init", code, message, data); }
void OnLogin(int code, std::wstring message, std::wstring data) {
    Print("Login", code, message, data);
    --g_pending;
}
void OnProducts(int code, std::wstring message, std::wstring data) {
    Print("QueryProducts", code, message, data);
    --g_pending;
}
void OnPay(int code, std::wstring message, std::wstring data) {
    Print("CallPay", code, message, data);
    --g_pending;
}

// Runs the game's frame loop until every started operation has answered.
void PumpFrames(std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (g_pending.load() > 0 && std::chrono::steady_clock::now() < deadline) {
        VondProxy::UpdateSDKEvent();
        std::this_thread::sleep_for(std::chrono::milliseconds(16));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::wstring appId = argc > 1 ? std::wstring(argv[1], argv[1] + std::strlen(argv[1])) : L"1001";
    const std::wstring appKey = argc > 2 ? std::wstring(argv[2], argv[2] + std::strlen(argv[2])) : L"demo-app-key";

    VondProxy::Init(appId, appKey, &OnInit);
    VondProxy::SetServerId(L"s1");
    VondProxy::SetGameUserId(L"player-42");
    VondProxy::SetNickName(L"\x52C7\x8005");
    VondProxy::SetLevel(7);
    VondProxy::PostEvent(L"tutorial_done", L"{\"step\":3}", 1.0);

    g_pending = 3;
    VondProxy::Login(&OnLogin);
    VondProxy::QueryProducts(&OnProducts);
    VondProxy::CallPay(L"gem_pack_1", L"{\"order\":\"demo\"}", &OnPay);
    PumpFrames(std::chrono::seconds(30));

    VondProxy::Exit();
    std::printf("sample game finished\n");
    return 0;
}
