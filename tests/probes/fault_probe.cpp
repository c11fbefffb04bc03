// A game for the file-fault matrix: it plays one session (start, events, login, events, a
// purchase, events, Exit) while the SDK's file calls go through a fault hook of its own, linked
// with the SDK's objects so that the hook reaches them. One file pattern, one set of calls and
// one fault are switched on at one step of the session, and off at the next (or kept to the end).
// It appends what it saw to a marker file, one fact a line:
//   event <run> <index> <0|1>        an event it posted, and whether the fault was on meanwhile
//   bought <orderId> <entitlementId> a checkout that opened, with the order it was made for
//   callback <op> <code> <data>      every callback, per operation (init, login, products, pay)
//   hits <n>                         file calls the fault failed
//   violation <text>                 a promise broken in this process
//   end <n>                          the session is over
// Violations it judges itself: a file call made inside UpdateSDKEvent, PostEvent, Login,
// QueryProducts or CallPay (the game's thread never waits on the disk); a file whose read was
// refused that changed before the fault ended; a checkout opened after -406.
//
// Environment: VOND_PROBE_APP_ID, VOND_PROBE_APP_KEY, VOND_PROBE_MARKERS, VOND_PROBE_ACCOUNT,
// VOND_PROBE_RUN (tag of its events and purchase), VOND_PROBE_BUY (1: buy), VOND_PROBE_CUT (1:
// end the process abruptly once the checkout opened), VOND_PROBE_UNSENT (1: the endpoint refuses
// on purpose, events may stay unsent), VOND_PROBE_DRAIN (1: deliver the last events before Exit);
// the cell: VOND_FAULT_FILES (file name
// prefixes, comma-separated), VOND_FAULT_OPS (Read,Replace,...), VOND_FAULT_KIND (NoSpace,
// Refused, Torn, Held), VOND_FAULT_TORN_AT, VOND_FAULT_STEP (start, login, event, checkout,
// settle, redemption, exit), VOND_FAULT_TO_END (1: stays on to the end).
#include <VondProxy.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "eossim.h"
#include "platform/Platform.h"
#include "src/CVondEventOutbox.h"
#include "src/UnconsumedOrder.h"

namespace {

using VondSdk::platform::FaultDecision;
using VondSdk::platform::FileFault;
using VondSdk::platform::FileOp;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::string Slashed(std::string path) {
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    if (!in) return std::string();
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::mutex g_markMutex;
void Mark(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_markMutex);
    std::ofstream out(std::filesystem::u8path(Env("VOND_PROBE_MARKERS")), std::ios::app | std::ios::binary);
    out << line << "\n";
}

// ---- the cell's fault ----

const char* const kOpNames[] = {"Read", "Replace", "Rename", "Open", "Append", "Flush", "Overwrite", "Remove", "Lock"};

struct Cell {
    std::vector<std::string> prefixes;
    unsigned ops = 0;
    FaultDecision decision;
    std::string step;
    bool toEnd = false;
};

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, ',')) {
        if (!part.empty()) parts.push_back(part);
    }
    return parts;
}

Cell ReadCell() {
    Cell cell;
    cell.prefixes = Split(Env("VOND_FAULT_FILES"));
    for (const std::string& op : Split(Env("VOND_FAULT_OPS"))) {
        for (unsigned i = 0; i < sizeof kOpNames / sizeof kOpNames[0]; ++i) {
            if (op == kOpNames[i]) cell.ops |= 1u << i;
        }
    }
    const std::string kind = Env("VOND_FAULT_KIND");
    cell.decision.fault = kind == "NoSpace" ? FileFault::NoSpace
                          : kind == "Refused" ? FileFault::Refused
                          : kind == "Torn"    ? FileFault::Torn
                          : kind == "Held"    ? FileFault::Held
                                              : FileFault::None;
    cell.decision.tornAt = static_cast<size_t>(std::atoi(Env("VOND_FAULT_TORN_AT").c_str()));
    cell.step = Env("VOND_FAULT_STEP");
    cell.toEnd = Env("VOND_FAULT_TO_END") == "1";
    return cell;
}

const Cell g_cell = ReadCell();
std::atomic<bool> g_faultOn{false};
std::atomic<int> g_hits{0};
std::mutex g_refusedMutex;
std::set<std::string> g_refusedReads;  // guarded by g_refusedMutex
std::set<std::string> g_gameThreadCalls;  // guarded by g_refusedMutex; one line per kind

// The game call the current thread is inside, if any.
thread_local const char* t_inGameCall = nullptr;
struct GameCall {
    explicit GameCall(const char* name) { t_inGameCall = name; }
    ~GameCall() { t_inGameCall = nullptr; }
};

std::string BaseName(const std::string& path) {
    const std::string slashed = Slashed(path);
    const size_t cut = slashed.rfind('/');
    return cut == std::string::npos ? slashed : slashed.substr(cut + 1);
}

bool Matches(const std::string& path) {
    const std::string name = BaseName(path);
    for (const std::string& prefix : g_cell.prefixes) {
        if (name.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

FaultDecision Hook(FileOp op, const std::string& path) {
    const unsigned bit = 1u << static_cast<unsigned>(op);
    if (t_inGameCall != nullptr) {
        const std::string line = std::string(t_inGameCall) + " " + kOpNames[static_cast<unsigned>(op)] + " " + BaseName(path);
        std::lock_guard<std::mutex> lock(g_refusedMutex);
        if (g_gameThreadCalls.insert(line).second) Mark("violation file call on the game's thread: " + line);
    }
    if (!g_faultOn.load() || (g_cell.ops & bit) == 0 || !Matches(path)) return FaultDecision{};
    g_hits.fetch_add(1);
    if (op == FileOp::Read) {
        std::lock_guard<std::mutex> lock(g_refusedMutex);
        g_refusedReads.insert(Slashed(path));
    }
    return g_cell.decision;
}

// What the cell's files held when the fault came on.
std::map<std::string, std::string> g_snapshot;

void TakeSnapshot() {
    g_snapshot.clear();
    std::error_code ec;
    const auto root = std::filesystem::u8path(Env("VOND_SDK_DATA_DIR"));
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        const std::string path = it->path().u8string();
        if (Matches(path)) g_snapshot[Slashed(path)] = ReadText(path);
    }
}

// A file that could not be read must be as it was: nothing may have been written over it.
void CheckRefusedReads() {
    std::set<std::string> refused;
    {
        std::lock_guard<std::mutex> lock(g_refusedMutex);
        refused.swap(g_refusedReads);
    }
    for (const std::string& path : refused) {
        auto before = g_snapshot.find(path);
        if (before == g_snapshot.end()) continue;
        std::error_code ec;
        const bool exists = std::filesystem::exists(std::filesystem::u8path(path), ec);
        if (!exists || ReadText(path) != before->second) Mark("violation unreadable file changed: " + BaseName(path));
    }
}

void FaultOn() {
    TakeSnapshot();
    g_faultOn.store(true);
}

void FaultOff() {
    if (!g_faultOn.exchange(false)) return;
    CheckRefusedReads();
}

// Called at every step of the session: the cell's step switches the fault on, the next one off.
void Enter(const char* step) {
    if (g_cell.step == step) {
        FaultOn();
    } else if (!g_cell.toEnd) {
        FaultOff();
    }
}

// ---- the game ----

struct Heard {
    int count = 0;
    int code = 0;
    std::string data;
};
std::mutex g_heardMutex;
std::map<std::string, Heard> g_heard;  // guarded by g_heardMutex

void Record(const char* op, int code, const std::wstring& data) {
    {
        std::lock_guard<std::mutex> lock(g_heardMutex);
        Heard& heard = g_heard[op];
        ++heard.count;
        heard.code = code;
        heard.data = Narrow(data);
    }
    Mark(std::string("callback ") + op + " " + std::to_string(code) + " " + Narrow(data));
}
void OnInit(int code, std::wstring, std::wstring data) { Record("init", code, data); }
void OnLogin(int code, std::wstring, std::wstring data) { Record("login", code, data); }
void OnProducts(int code, std::wstring, std::wstring data) { Record("products", code, data); }
void OnPay(int code, std::wstring, std::wstring data) { Record("pay", code, data); }

Heard HeardOf(const char* op) {
    std::lock_guard<std::mutex> lock(g_heardMutex);
    return g_heard[op];
}

// One frame of the game loop.
void Frame() {
    {
        GameCall call("UpdateSDKEvent");
        VondProxy::UpdateSDKEvent();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

template <typename Predicate>
bool PumpUntil(Predicate done, std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Frame();
    }
    return true;
}

int g_posted = 0;
void Post(const std::string& run, int count) {
    for (int i = 0; i < count; ++i) {
        const int index = g_posted++;
        const bool on = g_faultOn.load();
        {
            GameCall call("PostEvent");
            VondProxy::PostEvent(L"probe", Wide("{\"run\":\"" + run + "\",\"i\":" + std::to_string(index) + "}"),
                                 std::numeric_limits<double>::quiet_NaN());
        }
        // A fault that came on meanwhile (another thread) makes the event one posted under it.
        Mark("event " + run + " " + std::to_string(index) + " " + ((on || g_faultOn.load()) ? "1" : "0"));
    }
}

std::string Entitlements(const std::string& accountId) {
    static char buffer[1 << 16];
    int32_t length = sizeof buffer;
    if (EOSSim_GetEntitlements(accountId.c_str(), buffer, &length) != 0) return std::string();
    return std::string(buffer);
}

std::set<std::string> EntitlementIds(const std::string& accountId) {
    std::set<std::string> ids;
    const nlohmann::json list = nlohmann::json::parse(Entitlements(accountId), nullptr, false);
    if (!list.is_array()) return ids;
    for (const auto& e : list) ids.insert(e.value("entitlementId", std::string()));
    return ids;
}

// Every order id named in the player's store files; with extInfo, only this game's purchases
// (another game on the same data folder writes the same store).
std::set<std::string> StoredOrderIds(const std::string& extInfo = std::string()) {
    std::set<std::string> ids;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(std::filesystem::u8path(Env("VOND_SDK_DATA_DIR")), ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->path().filename().u8string().rfind("UnconsumedOrder", 0) != 0) continue;
        const nlohmann::json document = nlohmann::json::parse(ReadText(it->path().u8string()), nullptr, false);
        if (!document.is_object()) continue;
        for (const auto& item : document.items()) {
            if (!extInfo.empty() && !(item.value().is_object() && item.value().value("extInfo", std::string()) == extInfo)) {
                continue;
            }
            if (item.value().is_object() && item.value().contains("orderId") && item.value()["orderId"].is_string()) {
                ids.insert(item.value()["orderId"].get<std::string>());
            }
        }
    }
    return ids;
}

std::string Quietness(const std::string& accountId) {
    return Entitlements(accountId) + "|" + std::to_string(VondSdk::CVondEventOutbox::Instance().Outstanding()) + "|" +
           std::to_string(VondSdk::UnconsumedOrder::getInstance().HasDeferred()) + "|" +
           std::to_string(StoredOrderIds().size());
}

// The session has nothing left to do: EOS owes no answer, every event went out and every order
// write reached the disk (or the fault, still on, keeps them waiting), and nothing changed for a
// few hundred frames.
bool Quiet(const std::string& accountId) {
    // VOND_PROBE_UNSENT: the endpoint refuses on purpose, the events stay for the next start.
    const bool faulted = g_faultOn.load() || Env("VOND_PROBE_UNSENT") == "1";
    auto idle = [&] {
        return EOSSim_GetPendingCompletions() == 0 &&
               (faulted || (VondSdk::CVondEventOutbox::Instance().Outstanding() == 0 &&
                            !VondSdk::UnconsumedOrder::getInstance().HasDeferred()));
    };
    if (!idle()) return false;
    const std::string before = Quietness(accountId);
    for (int i = 0; i < 300; ++i) Frame();
    return idle() && Quietness(accountId) == before;
}

int Play() {
    const std::string run = Env("VOND_PROBE_RUN");
    const std::string accountId = Env("VOND_PROBE_ACCOUNT");
    const bool buy = Env("VOND_PROBE_BUY") == "1";
    const bool cut = Env("VOND_PROBE_CUT") == "1";
    VondSdk::platform::SetFileFaultHook(&Hook);

    Enter("start");
    VondProxy::Init(Wide(Env("VOND_PROBE_APP_ID")), Wide(Env("VOND_PROBE_APP_KEY")), &OnInit);
    if (HeardOf("init").code != 200) return 2;
    Post(run, 3);

    Enter("login");
    {
        GameCall call("Login");
        VondProxy::Login(&OnLogin);
    }
    // Longer than the SDK's own bound on an exchange (60 s).
    if (!PumpUntil([] { return HeardOf("login").count > 0; }, std::chrono::seconds(90)) ||
        HeardOf("login").code != 200) {
        return 3;
    }
    // The login's pass over the store runs on the order writer: the step lasts until it did.
    PumpUntil([] { return EOSSim_GetCallCount("EOS_Ecom_QueryEntitlements") > 0 && EOSSim_GetPendingCompletions() == 0; },
              std::chrono::seconds(30));
    PumpUntil([&] { return Quiet(accountId); }, std::chrono::seconds(30));

    Enter("event");
    Post(run, 3);
    // The writer has met the fault, or had nothing left to write.
    PumpUntil([] { return g_hits.load() > 0 || VondSdk::CVondEventOutbox::Instance().Outstanding() == 0; },
              std::chrono::seconds(30));

    if (buy) {
        {
            GameCall call("QueryProducts");
            VondProxy::QueryProducts(&OnProducts);
        }
        if (!PumpUntil([] { return HeardOf("products").count > 0; }, std::chrono::seconds(60))) return 4;
        const std::set<std::string> ordersBefore = StoredOrderIds(run);
        const std::set<std::string> entitlementsBefore = EntitlementIds(accountId);
        const int checkoutsBefore = EOSSim_GetCallCount("EOS_Ecom_Checkout");
        Enter("checkout");
        {
            GameCall call("CallPay");
            VondProxy::CallPay(L"p1", Wide(run), &OnPay);
        }
        const bool opened = PumpUntil([&] { return EOSSim_GetCallCount("EOS_Ecom_Checkout") > checkoutsBefore ||
                                                   HeardOf("pay").count > 0; },
                                      std::chrono::seconds(60));
        if (opened && EOSSim_GetCallCount("EOS_Ecom_Checkout") > checkoutsBefore) {
            std::string orderId = "?";
            for (const std::string& id : StoredOrderIds(run)) {
                if (ordersBefore.count(id) == 0) orderId = id;
            }
            std::string entitlementId;
            for (const std::string& id : EntitlementIds(accountId)) {
                if (entitlementsBefore.count(id) == 0) entitlementId = id;
            }
            Mark("bought " + orderId + " " + entitlementId);
            if (cut) {
                // A crash in the middle of the checkout: no Exit, nothing flushed.
                Mark("end cut");
                std::_Exit(0);
            }
        }
        Enter("settle");
        if (!PumpUntil([] { return HeardOf("pay").count > 0; }, std::chrono::seconds(90))) Mark("violation no pay callback");
        const Heard pay = HeardOf("pay");
        if (pay.code == -406 && EOSSim_GetCallCount("EOS_Ecom_Checkout") > checkoutsBefore) {
            Mark("violation a checkout opened after -406");
        }
        Enter("redemption");
    }
    PumpUntil([&] { return Quiet(accountId); }, std::chrono::seconds(60));

    // A game that quits right after posting: these events are still to be written at Exit.
    Enter("exit");
    Post(run, 3);
    // The last game of a test has no next start to deliver them: it plays on until they went out.
    if (Env("VOND_PROBE_DRAIN") == "1") {
        PumpUntil([&] { return VondSdk::CVondEventOutbox::Instance().Outstanding() == 0 && Quiet(accountId); },
                  std::chrono::seconds(60));
    }
    VondProxy::Exit();
    FaultOff();
    VondSdk::platform::SetFileFaultHook(nullptr);
    std::string counts = "callbacks";
    {
        std::lock_guard<std::mutex> lock(g_heardMutex);
        for (const auto& [op, heard] : g_heard) {
            counts += " " + op + "=" + std::to_string(heard.count);
            if (heard.count != 1) Mark("violation " + std::to_string(heard.count) + " callbacks for " + op);
        }
    }
    Mark(counts);
    Mark("hits " + std::to_string(g_hits.load()));
    Mark("end " + std::to_string(g_posted));
    return 0;
}

}  // namespace

int main() {
    const int code = Play();
    if (code != 0) {
        Mark("violation session ended early, code " + std::to_string(code));
        VondSdk::platform::SetFileFaultHook(nullptr);
    }
    return code;
}
