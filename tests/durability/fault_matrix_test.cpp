// The SDK's files under a player's machine faults: a full disk, a file that cannot be read, a
// rename refused, a write torn, a lock another process holds. One table of cells (a state file x
// a fault x the step of the session it strikes, for a while or to the end of the session); each
// cell plays one game session with the fault (tests/probes/fault_probe.cpp, whose own fault hook
// reaches the SDK's file calls), then a new game process without it, and judges from the backend
// emulator's and the EOS stand-in's own records and from the files:
//   - every EOS purchase is reported paid for its own order only and redeemed once, or is still
//     unredeemed with its order on record; none is credited to another order, none lost;
//   - every event posted while the fault was off reached the backend once; no number serves two
//     events;
//   - a file whose read was refused was not written over; every operation got one callback; no
//     file call ran inside the game's calls (the probe judges these and says so).
// Beside the table, two real-process cases: two games on one data folder at once, and a data
// folder on a file system that is really full.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/ChildProcess.h"
#include "support/DevServer.h"
#include "support/TestEnv.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr char kProbe[] = "vond_fault_probe";
constexpr char kAccountId[] = "e05a1d2f3c4b5a69788796a5b4c3d2e1";
constexpr char kExchangeCode[] = "vond-fault-exchange-code";
constexpr char kPayResultPath[] = "/sdkapi/v9/pay/pay_result.do";
constexpr char kTrackPath[] = "/data/h5/v1.do";
constexpr std::chrono::seconds kSessionBound(300);

std::string Join(const std::string& dir, const std::string& name) {
    return (fs::u8path(dir) / fs::u8path(name)).u8string();
}

std::string ReadText(const std::string& path) {
    std::string text;
    vondtest::ReadFile(path, text);
    return text;
}

// ---- the table ----

struct Fault {
    const char* name;
    const char* ops;
    const char* kind;
    int tornAt;
    bool writes;  // strikes a write: the file must be written in the session for it to matter
};
const Fault kFull{"full disk", "Replace,Overwrite,Append,Flush", "NoSpace", 0, true};
const Fault kUnreadable{"read refused", "Read", "Refused", 0, false};
const Fault kRenameRefused{"rename/remove refused", "Rename,Remove", "Held", 0, true};
const Fault kLockHeld{"lock held", "Lock", "Held", 0, false};
const Fault kTorn{"append torn at byte 7", "Append,Flush", "Torn", 7, true};

// What the data folder holds before the session with the fault.
enum class Seed {
    None,          // a first start
    Returning,     // an earlier session left its files, and events the endpoint never took
    CutPurchase,   // an earlier session ended abruptly with its checkout open
};

struct Step {
    const char* name;
    bool toEnd;
    Seed seed;
    std::vector<const Fault*> only;  // the faults that can strike the file at this step; empty: all of the row's
    bool drain = false;  // the session sends every event before Exit, so it leaves no journal behind
};

struct Row {
    const char* file;
    const char* prefixes;
    std::vector<const Fault*> faults;
    std::vector<Step> steps;
    // A first start for the faults that strike writes: a file written only when it changes
    // (the client id, the kept configuration) is written there.
    bool writesOnFirstStartOnly;
};

struct Cell {
    const Row* row;
    const Fault* fault;
    Step step;
    std::string Name() const {
        return std::string(row->file) + " / " + fault->name + " / " + step.name + (step.toEnd ? " to the end" : "") +
               (step.drain ? ", all sent before Exit" : "");
    }
};

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = {
        {"order store", "UnconsumedOrder", {&kFull, &kUnreadable, &kRenameRefused, &kLockHeld},
         {{"login", false, Seed::CutPurchase}, {"login", true, Seed::CutPurchase}, {"checkout", false, Seed::None},
          {"settle", false, Seed::None}, {"settle", true, Seed::None}, {"redemption", false, Seed::None},
          {"redemption", true, Seed::None}},
         false},
        {"event journal", "EventOutbox", {&kFull, &kUnreadable, &kRenameRefused, &kLockHeld, &kTorn},
         // A journal is read and locked only when a start takes over what an earlier run left.
         {{"start", false, Seed::Returning}, {"start", true, Seed::Returning},
          {"event", false, Seed::None, {&kFull, &kTorn}}, {"event", true, Seed::None, {&kFull, &kTorn}},
          {"exit", false, Seed::None, {&kFull, &kTorn}}},
         false},
        {"AppConf", "AppConf,EventCounter", {&kFull, &kUnreadable, &kRenameRefused, &kLockHeld},
         {{"start", false, Seed::Returning}, {"start", true, Seed::Returning}, {"event", false, Seed::Returning},
          {"event", true, Seed::Returning},
          // Numbers a full disk kept from AppConf, in a session that leaves no journal: the next
          // start must still not hand them out again.
          {"event", true, Seed::Returning, {&kFull, &kRenameRefused}, true}},
         false},
        {"SharedConf", "SharedConf", {&kFull, &kUnreadable, &kRenameRefused, &kLockHeld},
         {{"start", true, Seed::Returning}}, true},
        {"ClientConfig", "ClientConfig", {&kFull, &kUnreadable, &kRenameRefused}, {{"start", true, Seed::Returning}},
         true},
    };
    return rows;
}

std::vector<Cell> AllCells() {
    std::vector<Cell> cells;
    for (const Row& row : Rows()) {
        for (const Fault* fault : row.faults) {
            for (Step step : row.steps) {
                if (!step.only.empty() && std::find(step.only.begin(), step.only.end(), fault) == step.only.end()) continue;
                if (row.writesOnFirstStartOnly && fault->writes) step.seed = Seed::None;
                cells.push_back(Cell{&row, fault, step});
            }
        }
    }
    return cells;
}

// VOND_FAULT_MATRIX_CELLS picks that many cells spread over the table, and at least one of
// every file's row; unset, every cell plays natively, fewer where every process start is slow.
// VOND_FAULT_MATRIX_ONLY plays only the cells whose name holds its text (to replay one).
std::vector<Cell> ChosenCells() {
    std::vector<Cell> all = AllCells();
    const char* only = std::getenv("VOND_FAULT_MATRIX_ONLY");
    if (only != nullptr && *only != '\0') {
        std::vector<Cell> named;
        for (const Cell& cell : all) {
            if (cell.Name().find(only) != std::string::npos) named.push_back(cell);
        }
        return named;
    }
    const char* text = std::getenv("VOND_FAULT_MATRIX_CELLS");
#if defined(VOND_UNDER_EMULATOR)
    const int fallback = 16;
#elif defined(VOND_SANITIZED)
    const int fallback = 24;
#else
    const int fallback = static_cast<int>(all.size());
#endif
    const int wanted = text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
    if (wanted >= static_cast<int>(all.size())) return all;
    std::vector<Cell> chosen;
    std::set<const Row*> rows;
    for (size_t i = 0; i < all.size(); ++i) {
        if ((i + 1) * wanted / all.size() > i * wanted / all.size()) {
            chosen.push_back(all[i]);
            rows.insert(all[i].row);
        }
    }
    for (const Row& row : Rows()) {
        if (rows.count(&row) != 0) continue;
        for (const Cell& cell : all) {
            if (cell.row == &row) {
                chosen.push_back(cell);
                break;
            }
        }
    }
    return chosen;
}

// ---- one world: a backend app, a data folder, an EOS account, and the game sessions ----

struct Session {
    std::string run;
    int exitCode = -1;
    std::vector<std::string> lines;
    std::vector<std::string> Starting(const std::string& word) const {
        std::vector<std::string> found;
        for (const std::string& line : lines) {
            if (line.compare(0, word.size() + 1, word + " ") == 0) found.push_back(line.substr(word.size() + 1));
        }
        return found;
    }
};

struct Verdict {
    std::vector<std::string> broken;
    std::string note;
    bool Holds() const { return broken.empty(); }
};

class World {
public:
    // verifyWithEos: the backend checks every paid report against this world's EOS state file.
    explicit World(bool verifyWithEos = true) : server_("1002", false) {
        stateFile_ = Join(work_.Path(), "eossim-state.json");
        if (verifyWithEos) server_.UseEosState(stateFile_);
        scenarioFile_ = Scenario(stateFile_, "scenario.json");
    }

    // A scenario file of the one account and offer, with its own EOS state file.
    std::string Scenario(const std::string& stateFile, const std::string& name) const {
        const json scenario = {
            {"accounts", json::array({{{"exchangeCode", kExchangeCode}, {"accountId", kAccountId},
                                       {"accessToken", "fault-access-token"}}})},
            {"offers", json::array({{{"offerId", "offer1"}, {"entitlementName", "offer1"}, {"catalogItemId", "offer1"}}})},
            {"checkoutTicks", 6},
            {"stateFile", stateFile}};
        const std::string path = Join(work_.Path(), name);
        vondtest::WriteFile(path, scenario.dump());
        return path;
    }

    const vondtest::DevServer& Server() const { return server_; }
    const std::string& Data() const { return data_.Path(); }
    const std::string& Work() const { return work_.Path(); }
    const std::string& StateFile() const { return stateFile_; }

    // Points the next game processes at this world; dataDir replaces the world's data folder.
    void Point(const std::string& dataDir = std::string()) const {
        vondtest::SetEnv("VOND_SDK_DATA_DIR", dataDir.empty() ? data_.Path() : dataDir);
        vondtest::SetEnv("VOND_SDK_ORIGIN", server_.Origin());
        vondtest::SetEnv("VOND_SDK_CA_FILE", server_.CaFile());
        vondtest::SetEnv("VOND_SDK_RECHECK_MS", "20,80");
        vondtest::SetEnv("VOND_SDK_TRACK_RETRY_MS", "30");
        vondtest::SetEnv("VOND_EOSSIM_SCENARIO", scenarioFile_);
        vondtest::SetEnv("VOND_PROBE_APP_ID", server_.AppId());
        vondtest::SetEnv("VOND_PROBE_APP_KEY", server_.AppKey());
        vondtest::SetEnv("VOND_PROBE_ACCOUNT", kAccountId);
        vondtest::SetEnv("VOND_PROBE_BUY", "0");
        vondtest::SetEnv("VOND_PROBE_CUT", "0");
        vondtest::SetEnv("VOND_PROBE_UNSENT", "0");
        vondtest::SetEnv("VOND_PROBE_DRAIN", "0");
        vondtest::SetEnv("VOND_FAULT_STEP", "none");
        vondtest::SetEnv("VOND_FAULT_TO_END", "0");
    }

    static void Arm(const Cell& cell) {
        vondtest::SetEnv("VOND_FAULT_FILES", cell.row->prefixes);
        vondtest::SetEnv("VOND_FAULT_OPS", cell.fault->ops);
        vondtest::SetEnv("VOND_FAULT_KIND", cell.fault->kind);
        vondtest::SetEnv("VOND_FAULT_TORN_AT", std::to_string(cell.fault->tornAt));
        vondtest::SetEnv("VOND_FAULT_STEP", cell.step.name);
        vondtest::SetEnv("VOND_FAULT_TO_END", cell.step.toEnd ? "1" : "0");
    }

    // Starts one game with the launcher's options; the caller sets the probe's mode first.
    std::unique_ptr<vondtest::ChildProcess> Launch(const std::string& run) {
        vondtest::SetEnv("VOND_PROBE_RUN", run);
        vondtest::SetEnv("VOND_PROBE_MARKERS", Markers(run));
        vondtest::ScopedCurrentDir inside(work_.Path());
        return std::make_unique<vondtest::ChildProcess>(
            kProbe, std::vector<std::string>{std::string("-AUTH_PASSWORD=") + kExchangeCode,
                                             "-epicsandboxid=fault-sandbox", "-epicdeploymentid=fault-deployment"});
    }

    Session Finish(const std::string& run, vondtest::ChildProcess& game) {
        Session session;
        session.run = run;
        session.exitCode = game.Started() ? game.Wait(kSessionBound) : -1;
        std::istringstream in(ReadText(Markers(run)));
        for (std::string line; std::getline(in, line);) session.lines.push_back(line);
        sessions_.push_back(session);
        return session;
    }

    Session Play(const std::string& run) {
        auto game = Launch(run);
        return Finish(run, *game);
    }

    // The seed session that leaves what a cell needs in the data folder.
    void Prepare(Seed seed) {
        if (seed == Seed::CutPurchase) {
            vondtest::SetEnv("VOND_PROBE_BUY", "1");
            vondtest::SetEnv("VOND_PROBE_CUT", "1");
            Play("s0");
            vondtest::SetEnv("VOND_PROBE_BUY", "0");
            vondtest::SetEnv("VOND_PROBE_CUT", "0");
        } else if (seed == Seed::Returning) {
            // The endpoint refuses the first event and no retry comes in time: every event of
            // the session stays in its journal for the next start.
            server_.AddFault({{"path", kTrackPath}, {"kind", "status"}, {"status", 503}, {"count", 1}});
            vondtest::SetEnv("VOND_SDK_TRACK_RETRY_MS", "600000");
            vondtest::SetEnv("VOND_PROBE_UNSENT", "1");
            Play("s0");
            vondtest::SetEnv("VOND_SDK_TRACK_RETRY_MS", "30");
            vondtest::SetEnv("VOND_PROBE_UNSENT", "0");
        }
    }

    // Every promise over all sessions played in this world. stateFiles: the EOS state files
    // whose purchases the sessions made (the world's own by default).
    // notOwed: runs whose events a really full disk may lose (judged by the caller).
    Verdict Judge(std::vector<std::string> stateFiles = {}, const std::set<std::string>& notOwed = {}) const {
        if (stateFiles.empty()) stateFiles.push_back(stateFile_);
        Verdict verdict;
        std::map<std::string, std::string> orderOf;  // entitlement id -> the order its checkout was for
        std::set<std::string> owed, posted;
        for (const Session& session : sessions_) {
            if (session.exitCode != 0) verdict.broken.push_back(session.run + " ended with " + std::to_string(session.exitCode));
            if (session.Starting("end").empty()) verdict.broken.push_back(session.run + " never reached its end");
            for (const std::string& v : session.Starting("violation")) verdict.broken.push_back(session.run + ": " + v);
            for (const std::string& b : session.Starting("bought")) {
                std::istringstream words(b);
                std::string order, entitlement;
                words >> order >> entitlement;
                orderOf[entitlement] = order;
            }
            for (const std::string& e : session.Starting("event")) {
                std::istringstream words(e);
                std::string run, index, faulted;
                words >> run >> index >> faulted;
                posted.insert(run + "/" + index);
                if (faulted == "0" && notOwed.count(run) == 0) owed.insert(run + "/" + index);
            }
        }

        // Events: the backend's record, and what each number carried on the wire.
        std::map<std::string, int> arrived;
        std::map<std::string, std::string> arrivedAs;  // event -> the numbers and devices it arrived under
        for (const json& entry : server_.Events()) {
            const json& event = entry.at("event");
            const json context = event.value("context", json::object());
            if (context.is_object() && context.contains("run")) {
                const std::string key = context.value("run", std::string()) + "/" + std::to_string(context.value("i", -1));
                ++arrived[key];
                arrivedAs[key] += " " + event.value("eventOrder", std::string()) + "@" + event.value("deviceId", std::string());
            }
        }
        std::map<std::string, std::set<std::string>> carried;  // event number -> distinct bodies
        for (const json& request : server_.Requests()) {
            if (request.value("path", "") != kTrackPath) continue;
            json body = json::parse(request.value("body", ""), nullptr, false);
            if (!body.is_object()) continue;
            carried[body.value("eventOrder", std::string())].insert(body.dump());
        }
        int lostEvents = 0, twiceEvents = 0;
        std::string lostNames;
        for (const std::string& key : owed) {
            if (arrived[key] != 0) continue;
            ++lostEvents;
            lostNames += " " + key;
        }
        std::string twiceNames;
        for (const auto& [key, count] : arrived) {
            if (count < 2) continue;
            ++twiceEvents;
            twiceNames += " " + key + " (" + arrivedAs[key] + " )";
        }
        if (lostEvents > 0) verdict.broken.push_back(std::to_string(lostEvents) + " events posted with the fault off never arrived:" + lostNames);
        if (twiceEvents > 0) verdict.broken.push_back(std::to_string(twiceEvents) + " events arrived under two numbers:" + twiceNames);
        for (const auto& [number, bodies] : carried) {
            if (bodies.size() > 1) verdict.broken.push_back("event number " + number + " carried " + std::to_string(bodies.size()) + " events");
        }
        int lostWhileFaulted = 0;
        for (const std::string& key : posted) lostWhileFaulted += owed.count(key) == 0 && arrived[key] == 0 ? 1 : 0;

        // Purchases: every entitlement EOS granted, against the reports the backend received.
        std::map<std::string, std::vector<std::string>> reported;  // entitlement -> orders reported paid for it
        for (const json& request : server_.Requests()) {
            if (request.value("path", "") != kPayResultPath || !request["form"].is_array()) continue;
            json form = json::object();
            for (const json& pair : request["form"]) form[pair[0].get<std::string>()] = pair[1];
            const std::string word = request.value("verdict", "");
            if (form.value("status", "") != "1" || (word != "paid" && word != "repeat")) continue;
            const json verify = json::parse(form.value("extVerifyInfo", "{}"), nullptr, false);
            if (verify.is_object()) reported[verify.value("epicEntitlementId", "")].push_back(form.value("orderId", ""));
        }
        std::string onRecord;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(fs::u8path(Data()), ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->path().filename().u8string().rfind("UnconsumedOrder", 0) == 0) onRecord += ReadText(it->path().u8string());
        }
        int consumed = 0, kept = 0;
        std::set<std::string> granted;
        for (const std::string& stateFile : stateFiles) {
            const json state = json::parse(ReadText(stateFile), nullptr, false);
            const json entitlements = state.is_object() ? state.value("entitlements", json::array()) : json::array();
            for (const json& e : entitlements) {
                const std::string id = e.value("entitlementId", "");
                granted.insert(id);
                auto own = orderOf.find(id);
                if (own == orderOf.end()) {
                    verdict.broken.push_back("entitlement " + id + " of no checkout the games saw");
                    continue;
                }
                for (const std::string& order : reported[id]) {
                    if (order != own->second) verdict.broken.push_back("entitlement " + id + " credited to order " + order + ", bought for " + own->second);
                }
                const int count = e.value("redemptionCount", 0);
                if (count > 1) verdict.broken.push_back("entitlement " + id + " redeemed " + std::to_string(count) + " times");
                if (count >= 1 && reported[id].empty()) verdict.broken.push_back("entitlement " + id + " redeemed, never reported paid");
                if (count >= 1) ++consumed;
                if (count == 0 && onRecord.find(own->second) != std::string::npos) ++kept;
                if (count == 0 && onRecord.find(own->second) == std::string::npos) {
                    verdict.broken.push_back("order " + own->second + " paid in EOS, unredeemed, and on record nowhere");
                }
            }
        }
        for (const auto& [id, orders] : reported) {
            if (granted.count(id) == 0) verdict.broken.push_back("order " + orders.front() + " reported paid with entitlement " + id + " EOS never granted");
        }

        std::string pay;
        for (const Session& session : sessions_) {
            for (const std::string& c : session.Starting("callback")) {
                if (c.compare(0, 4, "pay ") == 0) pay += (pay.empty() ? "" : ",") + c.substr(4, c.find(' ', 4) - 4);
            }
        }
        verdict.note = "pay " + (pay.empty() ? std::string("-") : pay) + ", purchases consumed " + std::to_string(consumed) +
                       " kept " + std::to_string(kept) + ", events owed " + std::to_string(owed.size()) +
                       ", lost while faulted " + std::to_string(lostWhileFaulted);
        return verdict;
    }

private:
    std::string Markers(const std::string& run) const { return Join(work_.Path(), "markers-" + run + ".txt"); }

    vondtest::DevServer server_;
    vondtest::TempDir data_;
    vondtest::TempDir work_;
    std::string stateFile_;
    std::string scenarioFile_;
    std::vector<Session> sessions_;
};

int Hits(const Session& session) {
    const auto hits = session.Starting("hits");
    return hits.empty() ? 0 : std::atoi(hits.back().c_str());
}

std::string Summary(const Verdict& verdict) {
    std::string text;
    for (const std::string& b : verdict.broken) text += "\n    " + b;
    return text;
}

}  // namespace

// Every cell: a session with the fault, then a new process without it.
TEST(FaultMatrix, PurchasesEventsAndFilesSurviveEveryFaultAtEveryStep) {
    const auto started = std::chrono::steady_clock::now();
    const std::vector<Cell> cells = ChosenCells();
    int broken = 0, vacuous = 0;
    for (const Cell& cell : cells) {
        World world;
        world.Point();
        world.Prepare(cell.step.seed);
        World::Arm(cell);
        vondtest::SetEnv("VOND_PROBE_BUY", "1");
        vondtest::SetEnv("VOND_PROBE_DRAIN", cell.step.drain ? "1" : "0");
        const Session faulted = world.Play("s1");
        world.Point();
        vondtest::SetEnv("VOND_PROBE_DRAIN", "1");
        world.Play("s2");
        const Verdict verdict = world.Judge();
        const int hits = Hits(faulted);
        vacuous += hits == 0 ? 1 : 0;
        broken += verdict.Holds() ? 0 : 1;
        std::printf("%-4s %-60s hits %4d; %s%s\n", verdict.Holds() ? "ok" : "FAIL", cell.Name().c_str(), hits,
                    verdict.note.c_str(), Summary(verdict).c_str());
        std::fflush(stdout);
        EXPECT_TRUE(verdict.Holds()) << cell.Name() << " (its line above says why)";
    }
    const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    std::printf("fault matrix: %zu of %zu cells played in %lld s, %d broken, %d never met their fault\n", cells.size(),
                AllCells().size(), static_cast<long long>(took.count()), broken, vacuous);
}

// A game started twice on one data folder: both post and buy at once; each purchase is settled
// for its own order, every event arrives once under a number of its own.
TEST(FaultProcesses, TwoGamesOnOneDataFolderKeepTheirOrdersAndEvents) {
    // Two EOS state files: the backend cannot check reports against both.
    World world(false);
    world.Point();
    // The stand-in serves one game process per state file: each game has its own EOS.
    const std::string stateB = Join(world.Work(), "eossim-state-b.json");
    const std::string scenarioB = world.Scenario(stateB, "scenario-b.json");
    const std::string scenarioA = Join(world.Work(), "scenario.json");
    vondtest::SetEnv("VOND_PROBE_BUY", "1");
    auto a = world.Launch("a");
    vondtest::SetEnv("VOND_EOSSIM_SCENARIO", scenarioB);
    auto b = world.Launch("b");
    ASSERT_TRUE(a->Started() && b->Started());
    world.Finish("a", *a);
    world.Finish("b", *b);
    // Each game's next start settles what its EOS still holds.
    vondtest::SetEnv("VOND_PROBE_BUY", "0");
    vondtest::SetEnv("VOND_PROBE_DRAIN", "1");
    world.Play("b2");
    vondtest::SetEnv("VOND_EOSSIM_SCENARIO", scenarioA);
    world.Play("a2");
    const Verdict verdict = world.Judge({world.StateFile(), stateB});
    std::printf("two games on one data folder: %s\n", verdict.note.c_str());
    EXPECT_TRUE(verdict.Holds()) << Summary(verdict);
}

// The data folder on a file system that is really full: the game starts, plays and ends, the
// purchase gets one answer, and the events posted meanwhile reach the backend in that run; once
// there is space again, the next start plays as usual.
TEST(FaultProcesses, AReallyFullDiskLosesNothingThatWasPaid) {
    World world;
    const std::string mountPoint = Join(world.Work(), "full");
    fs::create_directories(fs::u8path(mountPoint));
    const std::string mount = "mount -t tmpfs -o size=512k tmpfs '" + mountPoint + "' 2>/dev/null";
    if (std::system(mount.c_str()) != 0) GTEST_SKIP() << "no tmpfs can be mounted here (needs Linux and root)";
    struct Unmount {
        std::string point;
        ~Unmount() { std::system(("umount '" + point + "'").c_str()); }
    } unmount{mountPoint};
    const std::string data = Join(mountPoint, "data");
    fs::create_directories(fs::u8path(data));
    // A returning player: the folder's files exist, then the disk fills up.
    world.Point(data);
    world.Play("s0");
    const std::string filler = Join(mountPoint, "filler");
    {
        std::ofstream out(fs::u8path(filler), std::ios::binary);
        const std::string block(4096, 'x');
        while (out.write(block.data(), static_cast<std::streamsize>(block.size())) && out.flush()) {
        }
    }
    vondtest::SetEnv("VOND_PROBE_BUY", "1");
    const Session full = world.Play("full");
    std::error_code ec;
    fs::remove(fs::u8path(filler), ec);
    vondtest::SetEnv("VOND_PROBE_BUY", "0");
    vondtest::SetEnv("VOND_PROBE_DRAIN", "1");
    world.Play("after");
    std::string pay;
    for (const std::string& c : full.Starting("callback")) {
        if (c.compare(0, 4, "pay ") == 0) pay = c.substr(4, c.find(' ', 4) - 4);
    }
    EXPECT_TRUE(pay == "-406" || pay == "200") << "the purchase on a full disk answered " << pay;
    // The events of the full run went out while it ran, from memory.
    std::set<std::string> arrived;
    for (const json& entry : world.Server().Events()) {
        const json context = entry.at("event").value("context", json::object());
        if (context.is_object() && context.value("run", "") == "full") arrived.insert(std::to_string(context.value("i", -1)));
    }
    for (const std::string& e : full.Starting("event")) {
        std::istringstream words(e);
        std::string run, index;
        words >> run >> index;
        // The last three are posted with Exit, which never waits for the network.
        if (std::atoi(index.c_str()) < 6) EXPECT_EQ(arrived.count(index), 1u) << "event " << index << " of the full run";
    }
    const Verdict verdict = world.Judge({}, {"full"});
    std::printf("a really full disk: %s\n", verdict.note.c_str());
    EXPECT_TRUE(verdict.Holds()) << Summary(verdict);
}
