// Calls the SDK through both headers before start-up: each refuses with -401.
#include <VondProxy.h>

#include <cstdio>

extern "C" int consumer_c_login(void);

namespace {
int g_cxxCode = 0;
void OnLogin(int code, std::wstring, std::wstring) { g_cxxCode = code; }
}  // namespace

int main() {
    VondProxy::Login(&OnLogin);
    const int cCode = consumer_c_login();
    VondProxy::Exit();
    std::printf("C++ Login: %d, C vond_login: %d\n", g_cxxCode, cCode);
    return g_cxxCode == -401 && cCode == -401 ? 0 : 1;
}
