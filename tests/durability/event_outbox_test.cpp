// The event outbox across game processes, judged by the backend emulator's own record (which
// keeps each app, device and event number once and counts repeats). One harness plays every
// scenario of the table: a burst cut short by Exit, an endpoint that refuses for a while (also
// inside an HTTP 200), one event refused for good before many small ones, a backlog beside the
// events of the running game, games killed at random moments while posting, an outbox at its
// bound, two games on one data folder at once, a killed game's journal beside a live one's, and
// (in this process, where the file fault hook reaches) a journal that cannot be read beside a
// disk that fills for a while.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "VondProxy.h"
#include "vondsdk_c.h"
#include "platform/Platform.h"
#include "src/CVondEventOutbox.h"
#include "src/EventJournal.h"
#include "support/ChildProcess.h"
#include "support/DevServer.h"
#include "support/TestEnv.h"

using nlohmann::json;

namespace {

constexpr char kProbe[] = "vond_event_probe";
constexpr char kTrackPath[] = "/data/h5/v1.do";
constexpr std::chrono::seconds kBound(120);

#if defined(VOND_UNDER_EMULATOR)
constexpr int kDefaultKillTrials = 20;
#elif defined(VOND_SANITIZED)
constexpr int kDefaultKillTrials = 10;
#else
constexpr int kDefaultKillTrials = 50;
#endif
// Events posted this long before a kill must be on disk: a group is written at most 100 ms
// after its first event, and its flush takes the rest. A sanitizer slows every step tenfold.
#ifdef VOND_SANITIZED
constexpr long long kOwedBeforeKillMs = 1500;
#else
constexpr long long kOwedBeforeKillMs = 200;
#endif

std::string Sep() {
#ifdef _WIN32
    return "\\";
#else
    return "/";
#endif
}

long long UnixMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

uint64_t Number(const json& event) {
    const std::string order = event.value("eventOrder", std::string());
    return order.size() > 1 ? std::stoull(order.substr(1)) : 0;
}

// What the backend recorded for one app, read back from its admin view.
struct Record {
    // Per run tag, the event indexes and numbers in arrival order.
    std::map<std::string, std::vector<int>> indexes;
    std::map<std::string, std::vector<uint64_t>> numbers;
    std::vector<uint64_t> startups;  // numbers of the start-up events, in arrival order
    std::multiset<uint64_t> all;
};

Record Read(const vondtest::DevServer& server) {
    Record record;
    for (const auto& entry : server.Events()) {
        const json& event = entry.at("event");
        const uint64_t number = Number(event);
        record.all.insert(number);
        if (event.value("event", "") == "qlx_startup") {
            record.startups.push_back(number);
            continue;
        }
        const json& context = event.at("context");
        const std::string run = context.value("run", "");
        record.indexes[run].push_back(context.value("i", -1));
        record.numbers[run].push_back(number);
    }
    return record;
}

// The journals in an app folder: "EventOutbox" or "EventOutbox.<id>", never their locks, the
// temporary files of a replace, nor files kept aside.
std::vector<std::string> Journals(const std::string& appFolder) {
    std::vector<std::string> journals;
    for (const std::string& name : VondSdk::platform::ListFiles(appFolder, "EventOutbox")) {
        if (name.find('.', std::string("EventOutbox").size() + 1) == std::string::npos) journals.push_back(name);
    }
    return journals;
}

std::string Slashed(std::string path) {
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

enum class Kind {
    BurstThenExit,
    RefusedThenAccepted,
    KilledWhilePosting,
    AtTheBound,
    TwoAtOnce,
    KilledBesideLive,
    DiskFaultsInThisProcess,
    RefusedForGoodBeforeSmallOnes,
    BacklogBesideLive,
};

struct Scenario {
    const char* name;
    Kind kind;
    int events;
    std::vector<json> faults;  // on the tracking path, in order
    std::string pads;          // "index:bytes,...": events padded to that size
    int inFlight = 0;          // the games' events in flight; 0 keeps the default
};

// Events a run posts with a "pad" member carry this in their body.
constexpr char kPadded[] = "\"pad\":\"";
constexpr char kRefusedLine[] = "Post Event Refused By The Endpoint, Dropped: n";
constexpr char kTooLargeLine[] = "Post Event Too Large, Dropped: n";

class EventOutbox : public ::testing::Test {
protected:
    // A world of its own for one game: backend app, data folder, work folder.
    struct World {
        // The quiet app: the games log nothing, as on a player's machine.
        vondtest::DevServer server{"1002", false};
        vondtest::TempDir data;
        vondtest::TempDir work;
        std::string Path(const std::string& name) const { return work.Path() + Sep() + name; }
    };

    void Point(const World& world, const std::string& retryMs) {
        vondtest::SetEnv("VOND_SDK_DATA_DIR", world.data.Path());
        vondtest::SetEnv("VOND_SDK_ORIGIN", world.server.Origin());
        vondtest::SetEnv("VOND_SDK_CA_FILE", world.server.CaFile());
        vondtest::SetEnv("VOND_SDK_TRACK_RETRY_MS", retryMs);
        vondtest::SetEnv("VOND_PROBE_APP_ID", world.server.AppId());
        vondtest::SetEnv("VOND_PROBE_APP_KEY", world.server.AppKey());
        vondtest::SetEnv("VOND_PROBE_LOG", world.Path("log"));
        vondtest::SetEnv("VOND_PROBE_PAD", std::string());
        vondtest::SetEnv("VOND_PROBE_IN_FLIGHT", std::string());
    }

    // Starts one game: a burst of events (stopped by the file "stop-<run>" when stoppable) or,
    // with events < 0, a loop that posts until it is killed, marking each post in "markers-<run>".
    static std::unique_ptr<vondtest::ChildProcess> Launch(const World& world, const std::string& run, int events,
                                                          bool stoppable) {
        vondtest::SetEnv("VOND_PROBE_MODE", events < 0 ? "loop" : "burst");
        vondtest::SetEnv("VOND_PROBE_RUN", run);
        vondtest::SetEnv("VOND_PROBE_EVENTS", std::to_string(events));
        vondtest::SetEnv("VOND_PROBE_STOP", stoppable ? world.Path("stop-" + run) : std::string());
        vondtest::SetEnv("VOND_PROBE_MARKERS", world.Path("markers-" + run));
        return std::make_unique<vondtest::ChildProcess>(kProbe);
    }

    // A looping game's posts that returned before the kill's moment by the margin a group needs.
    static std::set<int> Owed(const std::string& markers, long long killedAt) {
        std::string text;
        vondtest::ReadFile(markers, text);
        std::set<int> owed;
        std::istringstream lines(text);
        int index = 0;
        long long at = 0;
        while (lines >> index >> at) {
            if (at < killedAt - kOwedBeforeKillMs) owed.insert(index);
        }
        return owed;
    }

    static bool Arrived(const Record& record, const std::string& run, const std::set<int>& owed) {
        auto found = record.indexes.find(run);
        if (found == record.indexes.end()) return owed.empty();
        const std::set<int> have(found->second.begin(), found->second.end());
        for (int i : owed) {
            if (have.count(i) == 0) return false;
        }
        return true;
    }

    static bool Marked(const World& world, const std::string& run) {
        return vondtest::WaitUntil([&] {
            std::string text;
            return vondtest::ReadFile(world.Path("markers-" + run), text) && !text.empty();
        }, kBound);
    }

    // Runs one burst game to its end; with stopWhen, the game pumps until it holds.
    void Burst(const World& world, const std::string& run, int events, const std::function<bool()>& stopWhen) {
        const std::string stop = world.Path("stop-" + run);
        auto launched = Launch(world, run, events, bool(stopWhen));
        vondtest::ChildProcess& game = *launched;
        ASSERT_TRUE(game.Started());
        if (stopWhen) {
            EXPECT_TRUE(vondtest::WaitUntil(stopWhen, kBound)) << "run " << run << " never saw its events arrive";
            vondtest::WriteFile(stop, "stop");
        }
        EXPECT_EQ(game.Wait(kBound), 0) << "run " << run;
    }

    // Every event of the run arrived once. Sent oldest first with a few in flight, an event
    // arrives ahead of fewer older ones than can be in flight at once; when some were refused
    // for a while (inOrder false) those come later, after their own back-off.
    static void ExpectWhole(const Record& record, const std::string& run, int events, bool inOrder = true) {
        auto found = record.indexes.find(run);
        ASSERT_NE(found, record.indexes.end()) << "nothing of run " << run;
        std::set<int> distinct(found->second.begin(), found->second.end());
        EXPECT_EQ(found->second.size(), size_t(events)) << "run " << run;
        EXPECT_EQ(distinct.size(), size_t(events)) << "run " << run;
        if (!inOrder) return;
        const auto& numbers = record.numbers.at(run);
        for (size_t i = 0; i < numbers.size(); ++i) {
            size_t overtaken = 0;
            for (size_t j = i + 1; j < numbers.size(); ++j) overtaken += numbers[j] < numbers[i] ? 1 : 0;
            EXPECT_LT(overtaken, size_t(VondSdk::CVondEventOutbox::kMostInFlight))
                << "run " << run << ": n" << numbers[i] << " went ahead of " << overtaken << " older events";
        }
    }

    static void ExpectNoNumberTwice(const Record& record) {
        for (uint64_t number : record.all) EXPECT_EQ(record.all.count(number), 1u) << "n" << number;
    }

    void Play(const Scenario& scenario, std::mt19937& random) {
        World world;
        Point(world, scenario.kind == Kind::AtTheBound ? "600000" : "30");
        vondtest::SetEnv("VOND_PROBE_PAD", scenario.pads);
        if (scenario.inFlight != 0) vondtest::SetEnv("VOND_PROBE_IN_FLIGHT", std::to_string(scenario.inFlight));
        for (json fault : scenario.faults) {
            fault["path"] = kTrackPath;
            world.server.AddFault(fault);
        }
        switch (scenario.kind) {
            case Kind::BurstThenExit: {
                // Exit right after one update: whatever was not sent goes out at the next start.
                Burst(world, "a", scenario.events, nullptr);
                Burst(world, "b", 0, [&] {
                    Record record = Read(world.server);
                    return record.startups.size() == 2 && record.indexes["a"].size() >= size_t(scenario.events);
                });
                Record record = Read(world.server);
                ExpectWhole(record, "a", scenario.events);
                ASSERT_EQ(record.startups.size(), 2u);
                EXPECT_EQ(record.startups[0], 1u);
                EXPECT_EQ(record.startups[1], uint64_t(scenario.events) + 2);
                ExpectNoNumberTwice(record);
                break;
            }
            case Kind::RefusedThenAccepted: {
                Burst(world, "a", scenario.events, [&] {
                    Record record = Read(world.server);
                    return record.startups.size() == 1 && record.indexes["a"].size() >= size_t(scenario.events);
                });
                Record record = Read(world.server);
                ExpectWhole(record, "a", scenario.events, false);
                ExpectNoNumberTwice(record);
                // Refused posts were never recorded, so nothing was sent after an acknowledgement.
                EXPECT_EQ(world.server.EventRepeats(), 0);
                EXPECT_TRUE(world.server.Requests().size() > size_t(scenario.events));
                break;
            }
            case Kind::KilledWhilePosting: {
                const std::string markers = world.Path("markers");
                vondtest::SetEnv("VOND_PROBE_MODE", "loop");
                vondtest::SetEnv("VOND_PROBE_RUN", "a");
                vondtest::SetEnv("VOND_PROBE_MARKERS", markers);
                long long killedAt = 0;
                {
                    vondtest::ChildProcess game(kProbe);
                    ASSERT_TRUE(game.Started());
                    ASSERT_TRUE(vondtest::WaitUntil([&] {
                        std::string text;
                        return vondtest::ReadFile(markers, text) && !text.empty();
                    }, kBound));
                    // The kill's moment is what the trial draws, not a wait for something.
                    std::uniform_int_distribution<int> moment(0, 1200);
                    std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
                    game.Kill();
                    killedAt = UnixMs();
                    game.Wait(kBound);
                }
                const std::set<int> owed = Owed(markers, killedAt);
                Burst(world, "b", 0, [&] {
                    Record record = Read(world.server);
                    if (record.startups.size() < 2) return false;
                    const auto& got = record.indexes["a"];
                    std::set<int> have(got.begin(), got.end());
                    for (int i : owed) {
                        if (have.count(i) == 0) return false;
                    }
                    return true;
                });
                Record record = Read(world.server);
                const auto& got = record.indexes["a"];
                const std::set<int> have(got.begin(), got.end());
                for (int i : owed) EXPECT_EQ(have.count(i), 1u) << "event " << i << " posted before the kill is lost";
                EXPECT_EQ(have.size(), got.size()) << "an event arrived twice under two numbers";
                ExpectNoNumberTwice(record);
                ASSERT_EQ(record.startups.size(), 2u);
                // The next game's numbers continue past every number the killed one used.
                for (uint64_t number : record.numbers["a"]) EXPECT_LT(number, record.startups[1]);
                break;
            }
            case Kind::AtTheBound: {
                // Nothing is acknowledged: the outbox fills past its bound and keeps the newest.
                Burst(world, "a", scenario.events, nullptr);
                // The run ended with events unsent: its journal stays for the next start.
                const std::string appFolder = world.data.Path() + Sep() + world.server.AppId();
                const std::vector<std::string> journals = Journals(appFolder);
                ASSERT_EQ(journals.size(), 1u);
                std::string bytes;
                ASSERT_TRUE(vondtest::ReadFile(appFolder + Sep() + journals[0], bytes));
                const VondSdk::JournalContents contents = VondSdk::journal::Read(bytes);
                ASSERT_TRUE(contents.recognised);
                const uint64_t last = uint64_t(scenario.events) + 1;
                EXPECT_EQ(contents.highestNumber, last);
                std::set<uint64_t> kept;
                for (const auto& event : contents.pending) kept.insert(event.number);
                const uint64_t oldestKept = last - VondSdk::CVondEventOutbox::kMaxEvents + 1;
                for (uint64_t n = oldestKept; n <= last; ++n) ASSERT_EQ(kept.count(n), 1u) << "n" << n;
                // Besides the newest, only the first few, which may have been on the wire.
                for (uint64_t n : kept) {
                    EXPECT_TRUE(n >= oldestKept || n <= uint64_t(VondSdk::CVondEventOutbox::kMostInFlight))
                        << "n" << n << " should be dropped";
                }
                std::string conf;
                vondtest::ReadFile(world.data.Path() + Sep() + world.server.AppId() + Sep() + "AppConf", conf);
                EXPECT_NE(conf.find("\"EventOrder\":" + std::to_string(last)), std::string::npos) << conf;
                break;
            }
            case Kind::TwoAtOnce: {
                // A game started twice on one data folder: both post at once, each numbers its
                // own events, and no number is handed out twice.
                auto a = Launch(world, "a", scenario.events, true);
                auto b = Launch(world, "b", scenario.events, true);
                ASSERT_TRUE(a->Started() && b->Started());
                EXPECT_TRUE(vondtest::WaitUntil([&] {
                    Record record = Read(world.server);
                    return record.startups.size() == 2 && record.indexes["a"].size() >= size_t(scenario.events) &&
                           record.indexes["b"].size() >= size_t(scenario.events);
                }, kBound));
                vondtest::WriteFile(world.Path("stop-a"), "stop");
                vondtest::WriteFile(world.Path("stop-b"), "stop");
                EXPECT_EQ(a->Wait(kBound), 0);
                EXPECT_EQ(b->Wait(kBound), 0);
                Record record = Read(world.server);
                ExpectWhole(record, "a", scenario.events);
                ExpectWhole(record, "b", scenario.events);
                ExpectNoNumberTwice(record);
                EXPECT_EQ(world.server.EventRepeats(), 0);
                // A journal left behind holds only events whose acknowledgement had not come back
                // by Exit: every one of them is at the backend already (the next start sends it
                // again, and the backend keeps it once).
                const std::string appFolder = world.data.Path() + Sep() + world.server.AppId();
                for (const std::string& name : Journals(appFolder)) {
                    std::string bytes;
                    ASSERT_TRUE(vondtest::ReadFile(appFolder + Sep() + name, bytes)) << name;
                    for (const auto& event : VondSdk::journal::Read(bytes).pending) {
                        EXPECT_EQ(record.all.count(event.number), 1u) << name << ": n" << event.number;
                    }
                }
                break;
            }
            case Kind::KilledBesideLive: {
                const std::string appFolder = world.data.Path() + Sep() + world.server.AppId();
                auto live = Launch(world, "live", -1, false);
                ASSERT_TRUE(live->Started());
                ASSERT_TRUE(Marked(world, "live"));
                const std::vector<std::string> liveJournals = Journals(appFolder);
                ASSERT_EQ(liveJournals.size(), 1u);
                const std::string liveJournal = appFolder + Sep() + liveJournals[0];
                long long killedAt = 0;
                {
                    auto dead = Launch(world, "dead", -1, false);
                    ASSERT_TRUE(dead->Started());
                    ASSERT_TRUE(Marked(world, "dead"));
                    std::uniform_int_distribution<int> moment(0, 600);
                    std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
                    dead->Kill();
                    killedAt = UnixMs();
                    dead->Wait(kBound);
                }
                std::vector<std::string> deadJournals;
                for (const std::string& name : Journals(appFolder)) {
                    if (appFolder + Sep() + name != liveJournal) deadJournals.push_back(appFolder + Sep() + name);
                }
                ASSERT_EQ(deadJournals.size(), 1u);
                const std::set<int> owedDead = Owed(world.Path("markers-dead"), killedAt);
                // The next start delivers the killed game's events and removes its journal; the
                // live game's journal, still being written, is not its to take.
                Burst(world, "next", 0, [&] { return Arrived(Read(world.server), "dead", owedDead); });
                EXPECT_FALSE(vondtest::FileExists(deadJournals[0])) << "the killed game's journal is left behind";
                EXPECT_FALSE(vondtest::FileExists(deadJournals[0] + ".lock"));
                EXPECT_FALSE(live->Ended());
                EXPECT_TRUE(vondtest::FileExists(liveJournal)) << "the live game's journal was taken from it";
                live->Kill();
                const long long liveKilledAt = UnixMs();
                live->Wait(kBound);
                const std::set<int> owedLive = Owed(world.Path("markers-live"), liveKilledAt);
                Burst(world, "last", 0, [&] { return Arrived(Read(world.server), "live", owedLive); });
                Record record = Read(world.server);
                EXPECT_TRUE(Arrived(record, "dead", owedDead)) << "the killed game's events are lost";
                EXPECT_TRUE(Arrived(record, "live", owedLive)) << "the live game's events are lost";
                for (const char* run : {"dead", "live"}) {
                    const auto& got = record.indexes[run];
                    EXPECT_EQ(std::set<int>(got.begin(), got.end()).size(), got.size()) << run << ": an event twice";
                }
                ExpectNoNumberTwice(record);
                EXPECT_FALSE(vondtest::FileExists(liveJournal)) << "the ended game's journal is left behind";
                break;
            }
            case Kind::DiskFaultsInThisProcess:
                PlayDiskFaults(world, scenario.events);
                break;
            case Kind::RefusedForGoodBeforeSmallOnes:
                PlayRefusedForGood(world, scenario);
                break;
            case Kind::BacklogBesideLive:
                PlayBacklogBesideLive(world, scenario.events);
                break;
        }
    }

    // The padded events come first: one the endpoint refuses (413) on every try, one past the
    // writer's bound. The small ones behind them all arrive; the refused one is dropped after
    // at most three tries and the large one never leaves the writer, each with a log line
    // naming its number, and the run leaves no journal behind.
    void PlayRefusedForGood(const World& world, const Scenario& scenario) {
        std::set<int> padded;
        std::istringstream pads(scenario.pads);
        for (std::string item; std::getline(pads, item, ',');) padded.insert(std::atoi(item.c_str()));
        const int small = scenario.events - int(padded.size());
        auto log = [&] {
            std::string text;
            vondtest::ReadFile(world.Path("log"), text);
            return text;
        };
        Burst(world, "a", scenario.events, [&] {
            return Read(world.server).indexes["a"].size() >= size_t(small) &&
                   log().find(kRefusedLine) != std::string::npos;
        });
        Record record = Read(world.server);
        ExpectNoNumberTwice(record);
        const auto& got = record.indexes["a"];
        EXPECT_EQ(got.size(), size_t(small));
        for (int i : got) EXPECT_EQ(padded.count(i), 0u) << "padded event " << i << " was recorded";
        ASSERT_EQ(record.startups.size(), 1u);
        // Numbered in the order posted, after the start-up event: the refused one is n2, the
        // one past the bound n3.
        EXPECT_NE(log().find(std::string(kRefusedLine) + "2,"), std::string::npos) << log();
        EXPECT_NE(log().find(std::string(kTooLargeLine) + "3,"), std::string::npos) << log();
        int refusedTries = 0;
        for (const json& request : world.server.Requests()) {
            if (request.value("path", "") != kTrackPath) continue;
            EXPECT_LT(request.value("bodyBytes", size_t(0)), VondSdk::CVondEventOutbox::kMaxEventBytes);
            if (request.value("body", "").find(kPadded) != std::string::npos) ++refusedTries;
        }
        EXPECT_GE(refusedTries, 1);
        EXPECT_LE(refusedTries, VondSdk::CVondEventOutbox::kMostRefusals);
        const std::string appFolder = world.data.Path() + Sep() + world.server.AppId();
        EXPECT_TRUE(Journals(appFolder).empty()) << "the refused event is still owed";
    }

    // A run leaves a backlog (the endpoint was down); the next run posts while it drains over a
    // slow link: its own events arrive long before the backlog is through.
    void PlayBacklogBesideLive(const World& world, int backlog) {
        world.server.AddFault({{"path", kTrackPath}, {"kind", "status"}, {"status", 503}, {"count", 1000000}});
        Burst(world, "old", backlog, nullptr);
        ASSERT_TRUE(Read(world.server).indexes["old"].empty());
        world.server.Reset();
        world.server.AddFault({{"path", kTrackPath}, {"kind", "delay"}, {"delayMs", 20}, {"count", 1000000}});
        const int live = 20;
        Burst(world, "live", live, [&] {
            Record record = Read(world.server);
            return record.indexes["old"].size() >= size_t(backlog) && record.indexes["live"].size() >= size_t(live);
        });
        ExpectWhole(Read(world.server), "old", backlog);
        ExpectWhole(Read(world.server), "live", live);
        int oldSeen = 0;
        int oldBeforeLastLive = -1;
        int liveSeen = 0;
        for (const auto& entry : world.server.Events()) {
            const std::string run = entry.at("event").at("context").value("run", "");
            if (run == "old") ++oldSeen;
            if (run == "live" && ++liveSeen == live) oldBeforeLastLive = oldSeen;
        }
        EXPECT_GE(oldBeforeLastLive, 0);
        EXPECT_LT(oldBeforeLastLive, backlog / 2) << "the running game's events waited behind the backlog";
    }

    // This process plays the game, as only here does the file fault hook reach the SDK. A
    // journal another run left cannot be read (a scanner holds it): it stays exactly as it
    // is. Mid-run the disk fills: events still go out, and once there is space again the
    // journal holds every record of the window.
    void PlayDiskFaults(const World& world, int events) {
        const std::string appFolder = world.data.Path() + Sep() + world.server.AppId();
        ASSERT_TRUE(VondSdk::platform::CreateDir(appFolder));
        const std::string unreadable = appFolder + Sep() + "EventOutbox.00000000-0000-4000-8000-0000000dead0";
        const std::string unreadableBytes =
            VondSdk::journal::Compacted(3, {{1, "{\"eventOrder\":\"n1\"}"}, {2, "{\"eventOrder\":\"n2\"}"}});
        vondtest::WriteFile(unreadable, unreadableBytes);
        const std::string unreadableSlashed = Slashed(unreadable);
        const std::string dataSlashed = Slashed(world.data.Path());
        static std::atomic<bool> full{false};
        static std::atomic<int> refusedAppends{0};
        VondSdk::platform::SetFileFaultHook([=](VondSdk::platform::FileOp op, const std::string& path) {
            using VondSdk::platform::FileFault;
            using VondSdk::platform::FileOp;
            VondSdk::platform::FaultDecision decision;
            const std::string at = Slashed(path);
            if (op == FileOp::Read && at == unreadableSlashed) decision.fault = FileFault::Refused;
            if (full.load() && (op == FileOp::Append || op == FileOp::Replace) &&
                at.compare(0, dataSlashed.size(), dataSlashed) == 0) {
                // The first append of the window tears: a part of a record reaches the file.
                const bool torn = op == FileOp::Append && refusedAppends++ == 0;
                decision.fault = torn ? FileFault::Torn : FileFault::NoSpace;
                decision.tornAt = 10;
            }
            return decision;
        });
        auto post = [](int from, int to) {
            for (int i = from; i < to; ++i) {
                VondProxy::PostEvent(L"probe", L"{\"run\":\"disk\",\"i\":" + std::to_wstring(i) + L"}",
                                     std::numeric_limits<double>::quiet_NaN());
            }
        };
        auto arrived = [&](int count) {
            return vondtest::WaitUntil([&] {
                VondProxy::UpdateSDKEvent();
                return Read(world.server).indexes["disk"].size() >= size_t(count);
            }, kBound);
        };
        const std::wstring appId(world.server.AppId().begin(), world.server.AppId().end());
        const std::wstring appKey(world.server.AppKey().begin(), world.server.AppKey().end());
        VondProxy::Init(appId, appKey, nullptr);
        post(0, events / 4);
        EXPECT_TRUE(arrived(events / 4));
        full = true;
        post(events / 4, events * 3 / 4);
        EXPECT_TRUE(arrived(events * 3 / 4)) << "events stopped going out while the disk was full";
        full = false;
        EXPECT_GT(refusedAppends.load(), 1) << "the full window never reached the journal";
        post(events * 3 / 4, events);
        EXPECT_TRUE(arrived(events));
        // The journal holds the start's mark and, for every event, its record and its
        // acknowledgement: nothing of the full window is missing, and a torn part is passed over.
        std::vector<std::string> own;
        for (const std::string& name : Journals(appFolder)) {
            if (appFolder + Sep() + name != unreadable) own.push_back(appFolder + Sep() + name);
        }
        ASSERT_EQ(own.size(), 1u);
        const size_t sent = Read(world.server).all.size();
        size_t records = 0;
        EXPECT_TRUE(vondtest::WaitUntil([&] {
            std::string bytes;
            if (!vondtest::ReadFile(own[0], bytes)) return false;
            records = VondSdk::journal::Read(bytes).records;
            return records == 1 + 2 * sent;
        }, kBound)) << "records in the journal: " << records << ", events sent: " << sent;
        VondProxy::Exit();
        VondSdk::platform::SetFileFaultHook(nullptr);
        Record record = Read(world.server);
        ExpectWhole(record, "disk", events);
        ExpectNoNumberTwice(record);
        std::string left;
        EXPECT_TRUE(vondtest::ReadFile(unreadable, left));
        EXPECT_EQ(left, unreadableBytes) << "a journal that could not be read was written over";
        EXPECT_EQ(Journals(appFolder).size(), 1u);
        for (const std::string& name : VondSdk::platform::ListFiles(appFolder, "EventOutbox")) {
            EXPECT_EQ(name.find(".unreadable"), std::string::npos) << name;
        }
    }
};

int KillTrials() {
    const char* text = std::getenv("VOND_EVENT_KILL_TRIALS");
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : kDefaultKillTrials;
}

}  // namespace

TEST_F(EventOutbox, EveryEventArrivesOnceInOrderAcrossExitsRefusalsKillsAndTheBound) {
    const json refuse503 = {{"kind", "status"}, {"status", 503}, {"count", 3}};
    const json dropped = {{"kind", "drop"}, {"count", 3}};
    const json garbage = {{"kind", "body"}, {"body", "<html>not an envelope</html>"}, {"count", 3}};
    const json always503 = {{"kind", "status"}, {"status", 503}, {"count", 1000000}};
    // An error inside an HTTP 200 is no acknowledgement.
    const json busy = {{"kind", "envelope"}, {"code", 503}, {"msg", "System busy, try later"}, {"count", 5}};
    const json tooLarge = {{"kind", "status"}, {"status", 413}, {"match", kPadded}, {"count", 1000000}};
    std::vector<Scenario> table = {
        {"300 events, then Exit after one update", Kind::BurstThenExit, 300, {}},
        {"300 events six in flight, then Exit after one update", Kind::BurstThenExit, 300, {}, "", 6},
        {"endpoint answers 503, drops the connection, sends garbage, then accepts", Kind::RefusedThenAccepted, 20,
         {refuse503, dropped, garbage}},
        {"the same, one event in flight at a time", Kind::RefusedThenAccepted, 20, {refuse503, dropped, garbage}, "",
         1},
        {"endpoint answers HTTP 200 with a busy envelope five times, then accepts", Kind::RefusedThenAccepted, 20,
         {busy}},
        {"an event refused for good (413) and one past the bound before 20 small ones",
         Kind::RefusedForGoodBeforeSmallOnes, 22, {tooLarge}, "0:2000,1:1258291"},
        {"a backlog of 300 beside the running game's events", Kind::BacklogBesideLive, 300, {}},
        {"outbox at its bound", Kind::AtTheBound, int(VondSdk::CVondEventOutbox::kMaxEvents) + 50, {always503}},
    };
    table.push_back({"two games on one data folder at once", Kind::TwoAtOnce, 300, {}});
    table.push_back({"a killed game's journal beside a live game's", Kind::KilledBesideLive, 0, {}});
    for (int i = 0; i < KillTrials(); ++i) table.push_back({"killed while posting", Kind::KilledWhilePosting, 0, {}});
    // Last: the SDK then runs in this process, once.
    table.push_back({"an unreadable journal and a disk full for a while", Kind::DiskFaultsInThisProcess, 400, {}});

    // The setting's range, through the C interface the games use.
    EXPECT_EQ(vond_set_events_in_flight(0), -1);
    EXPECT_EQ(vond_set_events_in_flight(VondSdk::CVondEventOutbox::kMostInFlight + 1), -1);
    EXPECT_EQ(VondSdk::CVondEventOutbox::Instance().MaxInFlight(), VondSdk::CVondEventOutbox::kDefaultInFlight);

    std::mt19937 random(std::random_device{}());
    int trial = 0;
    for (const auto& scenario : table) {
        SCOPED_TRACE(std::string(scenario.name) + " (#" + std::to_string(++trial) + ")");
        Play(scenario, random);
        if (HasFatalFailure()) return;
    }
    std::printf("event outbox scenarios played: %d (kill trials: %d)\n", trial, KillTrials());
}
