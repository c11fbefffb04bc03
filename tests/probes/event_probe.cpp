// A game in miniature for the event outbox's process tests. What it does is chosen by
// VOND_PROBE_MODE:
//   burst    posts VOND_PROBE_EVENTS events and pumps one update; when VOND_PROBE_STOP is
//            set it then pumps until that file exists (bounded); calls Exit and returns
//   loop     posts an event every few milliseconds until it is killed, appending
//            "<index> <unix ms>" to VOND_PROBE_MARKERS after each post returned
//   abandon  posts 50 events and returns from main without Exit
// Every event is "probe" with {"run":VOND_PROBE_RUN,"i":<index>}; VOND_PROBE_PAD ("i:bytes,...")
// adds a "pad" member of that many bytes to the events at those indexes. VOND_PROBE_IN_FLIGHT
// sets the events in flight through the C interface (exit status 3 when refused), and
// VOND_PROBE_LOG names a file that receives the SDK's warning and error lines. App id and key
// come from VOND_PROBE_APP_ID and VOND_PROBE_APP_KEY, the backend from the SDK's own settings.
#include <VondProxy.h>
#include <vondsdk_c.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::map<int, size_t> Pads() {
    std::map<int, size_t> pads;
    std::istringstream list(Env("VOND_PROBE_PAD"));
    std::string item;
    while (std::getline(list, item, ',')) {
        const size_t colon = item.find(':');
        if (colon != std::string::npos) pads[std::atoi(item.c_str())] = std::stoul(item.substr(colon + 1));
    }
    return pads;
}

void Post(int index) {
    static const std::map<int, size_t> pads = Pads();
    std::string params = "{\"run\":\"" + Env("VOND_PROBE_RUN") + "\",\"i\":" + std::to_string(index);
    auto pad = pads.find(index);
    if (pad != pads.end()) params += ",\"pad\":\"" + std::string(pad->second, 'x') + "\"";
    params += "}";
    VondProxy::PostEvent(L"probe", Wide(params), std::numeric_limits<double>::quiet_NaN());
}

long long UnixMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool FileExists(const std::string& path) {
    std::ifstream in(path);
    return in.good();
}

std::mutex g_logMutex;

void VONDSDK_C_CALL Logged(int, const char* line, void* user) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    auto& file = *static_cast<std::ofstream*>(user);
    file << line << "\n";
    file.flush();
}

}  // namespace

int main() {
    const std::string mode = Env("VOND_PROBE_MODE");
    if (!Env("VOND_PROBE_LOG").empty()) {
        // Never destroyed: the SDK's log thread may still write while the process ends.
        auto* log = new std::ofstream(Env("VOND_PROBE_LOG"), std::ios::app | std::ios::binary);
        vond_set_log_callback(VOND_LOG_WARNING, &Logged, log);
    }
    const std::string inFlight = Env("VOND_PROBE_IN_FLIGHT");
    if (!inFlight.empty() && vond_set_events_in_flight(std::atoi(inFlight.c_str())) != 0) return 3;
    VondProxy::Init(Wide(Env("VOND_PROBE_APP_ID")), Wide(Env("VOND_PROBE_APP_KEY")), nullptr);
    if (mode == "burst") {
        const int count = std::atoi(Env("VOND_PROBE_EVENTS").c_str());
        for (int i = 0; i < count; ++i) Post(i);
        VondProxy::UpdateSDKEvent();
        const std::string stop = Env("VOND_PROBE_STOP");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(180);
        while (!stop.empty() && !FileExists(stop) && std::chrono::steady_clock::now() < deadline) {
            VondProxy::UpdateSDKEvent();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const auto start = std::chrono::steady_clock::now();
        VondProxy::Exit();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::printf("exit took %lld ms\n", static_cast<long long>(took.count()));
        return 0;
    }
    if (mode == "loop") {
        std::ofstream markers(Env("VOND_PROBE_MARKERS"), std::ios::app | std::ios::binary);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (int i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
            Post(i);
            markers << i << " " << UnixMs() << "\n";
            markers.flush();
            VondProxy::UpdateSDKEvent();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        VondProxy::Exit();
        return 0;
    }
    if (mode == "abandon") {
        for (int i = 0; i < 50; ++i) Post(i);
        VondProxy::UpdateSDKEvent();
        return 0;
    }
    std::printf("unknown mode %s\n", mode.c_str());
    return 2;
}
