// Event posting benchmark: what VondProxy::PostEvent costs the game's thread, from the call
// until it returns, with the durable counter write in AppConf included; then the same time
// split into its parts (the counter alone, the body without the counter, the hand-over to the
// pool) and, for comparison, the file replacement with and without the flush to disk.
//
// The SDK is started against a loopback port that refuses connections, so the workers stay
// busy failing the posts quickly while the game's thread posts. Logging is off, as it is on a
// player's machine.
//
// Usage: vond_track_bench [--quick] [--dir FOLDER]. FOLDER (default /tmp) holds the data
// folder; one on tmpfs (/dev/shm), where a flush costs nothing, shows what the call costs
// apart from the disk. Prints median and 99th percentile per part and whether
// PostEvent met its target (median < 200 us, p99 < 1 ms). Exits non-zero only on a setup error.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "VondProxy.h"
#include "http/CVondApi.h"
#include "platform/Platform.h"
#include "src/CVondTrack.h"
#include "utils/VondConfigUtils.h"

namespace {

using Clock = std::chrono::steady_clock;
const double kNoValue = std::nan("");

struct Figures {
    double median = 0;
    double p99 = 0;
};

Figures Measure(int rounds, const std::function<void(int)>& body) {
    std::vector<double> micros;
    micros.reserve(rounds);
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        body(i);
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    return Figures{micros[micros.size() / 2], micros[std::min(micros.size() - 1, micros.size() * 99 / 100)]};
}

void Print(const char* what, const Figures& figures) {
    std::printf("  %-48s median %8.1f us   p99 %8.1f us\n", what, figures.median, figures.p99);
}

// Bound and never listening: every connection is refused at once.
int RefusingPort(uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// The AppConf replacement as the counter does it, but without the flush to disk.
bool ReplaceWithoutFlush(const std::string& path, const std::string& content) {
    std::string tmp = path + ".tmp.XXXXXX";
    int fd = ::mkstemp(&tmp[0]);
    if (fd < 0) return false;
    const bool written = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ::close(fd);
    return written && ::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::string base = "/tmp";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) quick = true;
        if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) base = argv[++i];
    }
    const int rounds = quick ? 300 : 3000;

    std::string dataTemplate = base + "/vond-track-bench-XXXXXX";
    if (::mkdtemp(&dataTemplate[0]) == nullptr) return 2;
    const std::string dataDir = dataTemplate;
    ::setenv("VOND_SDK_DATA_DIR", dataDir.c_str(), 1);
    uint16_t port = 0;
    const int refusing = RefusingPort(port);
    if (refusing < 0) return 2;
    const std::string origin = "http://127.0.0.1:" + std::to_string(port);
    ::setenv("VOND_SDK_ORIGIN", origin.c_str(), 1);

    VondProxy::Init(L"bench-app", L"bench-key", nullptr);
    VondProxy::SetServerId(L"s1");
    VondProxy::SetGameUserId(L"g42");
    VondProxy::SetLevel(12);
    VondSdk::CVondTrack& track = VondSdk::CVondTrack::Instance();
    const std::string path = VondSdk::VondConfigUtils::GetAppConfigPath();
    const std::wstring params = L"{\"item\":\"gold_100\",\"count\":3,\"scene\":\"shop\"}";

    std::printf("PostEvent on the game's thread (%d rounds, data folder %s)\n", rounds, dataDir.c_str());
    const Figures post = Measure(rounds, [&](int) { VondProxy::PostEvent(L"purchase_done", params, 3); });
    Print("VondProxy::PostEvent (whole call)", post);
    const Figures counter = Measure(rounds, [&](int) { track.NextEventOrder(); });
    Print("  NextEventOrder (read, +1, durable replace)", counter);
    const Figures body =
        Measure(rounds, [&](int) { track.BuildEventBody("purchase_done", "{\"item\":\"gold_100\"}", 3); });
    Print("  BuildEventBody (counter included)", body);
    const std::string text = track.BuildEventBody("purchase_done", "{\"item\":\"gold_100\"}", 3);
    const Figures handOver = Measure(rounds, [&](int) { VondSdk::CVondApi::Instance().PostTrack(text, [](VondSdk::HttpResp) {}); });
    Print("  PostTrack (hand-over to the pool)", handOver);
    const Figures path_ = Measure(rounds, [&](int) { VondSdk::VondConfigUtils::GetAppConfigPath(); });
    Print("  GetAppConfigPath (folder checks)", path_);

    const std::string content = R"({"AttributionFlag":0,"EventOrder":123456})";
    const Figures flushed =
        Measure(rounds, [&](int) { VondSdk::platform::ReplaceFileAtomically(path + ".b", content); });
    Print("file replace, flushed to disk (as the SDK does)", flushed);
    const Figures unflushed = Measure(rounds, [&](int) { ReplaceWithoutFlush(path + ".c", content); });
    Print("file replace, not flushed (comparison only)", unflushed);

    VondProxy::Exit();
    ::close(refusing);
    std::error_code ignored;
    std::filesystem::remove_all(dataDir, ignored);

    const bool met = post.median < 200.0 && post.p99 < 1000.0;
    std::printf("PostEvent target (median < 200 us, p99 < 1000 us): %s\n", met ? "met" : "NOT met");
    return 0;
}
