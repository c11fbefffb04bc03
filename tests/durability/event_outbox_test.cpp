// The event outbox across game processes, judged by the backend emulator's own record (which
// keeps each app, device and event number once and counts repeats). One harness plays every
// scenario of the table: a burst cut short by Exit, an endpoint that refuses for a while, games
// killed at random moments while posting, and an outbox at its bound.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

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

enum class Kind { BurstThenExit, RefusedThenAccepted, KilledWhilePosting, AtTheBound };

struct Scenario {
    const char* name;
    Kind kind;
    int events;
    std::vector<json> faults;  // on the tracking path, in order
};

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
    }

    // Runs one burst game to its end; with stopWhen, the game pumps until it holds.
    void Burst(const World& world, const std::string& run, int events, const std::function<bool()>& stopWhen) {
        const std::string stop = world.Path("stop-" + run);
        vondtest::SetEnv("VOND_PROBE_MODE", "burst");
        vondtest::SetEnv("VOND_PROBE_RUN", run);
        vondtest::SetEnv("VOND_PROBE_EVENTS", std::to_string(events));
        vondtest::SetEnv("VOND_PROBE_STOP", stopWhen ? stop : std::string());
        vondtest::ChildProcess game(kProbe);
        ASSERT_TRUE(game.Started());
        if (stopWhen) {
            EXPECT_TRUE(vondtest::WaitUntil(stopWhen, kBound)) << "run " << run << " never saw its events arrive";
            vondtest::WriteFile(stop, "stop");
        }
        EXPECT_EQ(game.Wait(kBound), 0) << "run " << run;
    }

    // Every event of the run arrived once, its numbers in arrival order rising.
    static void ExpectWhole(const Record& record, const std::string& run, int events) {
        auto found = record.indexes.find(run);
        ASSERT_NE(found, record.indexes.end()) << "nothing of run " << run;
        std::set<int> distinct(found->second.begin(), found->second.end());
        EXPECT_EQ(found->second.size(), size_t(events)) << "run " << run;
        EXPECT_EQ(distinct.size(), size_t(events)) << "run " << run;
        const auto& numbers = record.numbers.at(run);
        for (size_t i = 1; i < numbers.size(); ++i) EXPECT_LT(numbers[i - 1], numbers[i]) << "run " << run;
    }

    static void ExpectNoNumberTwice(const Record& record) {
        for (uint64_t number : record.all) EXPECT_EQ(record.all.count(number), 1u) << "n" << number;
    }

    void Play(const Scenario& scenario, std::mt19937& random) {
        World world;
        Point(world, scenario.kind == Kind::AtTheBound ? "600000" : "30");
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
                ExpectWhole(record, "a", scenario.events);
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
                std::string text;
                vondtest::ReadFile(markers, text);
                std::set<int> owed;
                std::istringstream lines(text);
                int index = 0;
                long long at = 0;
                while (lines >> index >> at) {
                    if (at < killedAt - kOwedBeforeKillMs) owed.insert(index);
                }
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
                std::string bytes;
                ASSERT_TRUE(vondtest::ReadFile(world.data.Path() + Sep() + world.server.AppId() + Sep() + "EventOutbox",
                                               bytes));
                const VondSdk::JournalContents contents = VondSdk::journal::Read(bytes);
                ASSERT_TRUE(contents.recognised);
                const uint64_t last = uint64_t(scenario.events) + 1;
                EXPECT_EQ(contents.highestNumber, last);
                std::set<uint64_t> kept;
                for (const auto& event : contents.pending) kept.insert(event.number);
                const uint64_t oldestKept = last - VondSdk::CVondEventOutbox::kMaxEvents + 1;
                for (uint64_t n = oldestKept; n <= last; ++n) ASSERT_EQ(kept.count(n), 1u) << "n" << n;
                // Besides the newest, only the start-up event, which may have been on the wire.
                for (uint64_t n : kept) EXPECT_TRUE(n >= oldestKept || n == 1) << "n" << n << " should be dropped";
                std::string conf;
                vondtest::ReadFile(world.data.Path() + Sep() + world.server.AppId() + Sep() + "AppConf", conf);
                EXPECT_NE(conf.find("\"EventOrder\":" + std::to_string(last)), std::string::npos) << conf;
                break;
            }
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
    std::vector<Scenario> table = {
        {"300 events, then Exit after one update", Kind::BurstThenExit, 300, {}},
        {"endpoint answers 503, drops the connection, sends garbage, then accepts", Kind::RefusedThenAccepted, 20,
         {refuse503, dropped, garbage}},
        {"outbox at its bound", Kind::AtTheBound, int(VondSdk::CVondEventOutbox::kMaxEvents) + 50, {always503}},
    };
    for (int i = 0; i < KillTrials(); ++i) table.push_back({"killed while posting", Kind::KilledWhilePosting, 0, {}});

    std::mt19937 random(std::random_device{}());
    int trial = 0;
    for (const auto& scenario : table) {
        SCOPED_TRACE(std::string(scenario.name) + " (#" + std::to_string(++trial) + ")");
        Play(scenario, random);
        if (HasFatalFailure()) return;
    }
    std::printf("event outbox scenarios played: %d (kill trials: %d)\n", trial, KillTrials());
}
