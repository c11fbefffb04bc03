// A game in miniature that starts the SDK and ends without calling Exit, as many games do.
// Its process must still end: the test that starts it waits for that.
#include <VondProxy.h>

#include <cstdio>

namespace {

void Report(int code, std::wstring, std::wstring) {
    std::printf("callback %d\n", code);
}

}  // namespace

int main() {
    VondProxy::Init(L"exit-probe", L"key", &Report);
    std::printf("ending without Exit\n");
    std::fflush(stdout);
    return 0;
}
