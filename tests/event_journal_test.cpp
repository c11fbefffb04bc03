// The event outbox's journal as a restart reads it: what a kill, a flipped bit or a foreign
// file leave behind, and what a compaction keeps. One table, one reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/EventJournal.h"

namespace journal = VondSdk::journal;

namespace {

std::string Event(uint64_t number) {
    return journal::Record(journal::kEvent, number, "{\"eventOrder\":\"n" + std::to_string(number) + "\"}");
}

std::string Magic() {
    return std::string(journal::kMagic, journal::kMagicSize);
}

struct Case {
    const char* what;
    std::string bytes;
    bool recognised;
    std::vector<uint64_t> pending;
    uint64_t highest;
    bool whole;  // every byte belongs to a whole record
};

}  // namespace

TEST(EventJournal, RestartKeepsWhatWasWrittenWholeAndDropsOnlyWhatWasSettledOrTorn) {
    const std::string written = Magic() + journal::Record(journal::kMark, 7) + Event(8) + Event(9) + Event(10) +
                                journal::Record(journal::kAcknowledged, 8) + journal::Record(journal::kDropped, 10);
    std::string flipped = written;
    flipped[Magic().size() + 30] ^= 0x01;  // inside the first event's payload
    const std::vector<Case> table = {
        {"a file never written", "", false, {}, 0, false},
        {"only the magic", Magic(), true, {}, 0, true},
        {"events, an acknowledgement, a drop, a mark", written, true, {9}, 10, true},
        {"the last append torn by a kill", written + Event(11).substr(0, 12), true, {9}, 10, false},
        {"a torn length field", written + "\x05\x00", true, {9}, 10, false},
        {"a flipped bit stops the reading there", flipped, true, {}, 7, false},
        {"a length past any event", Magic() + std::string("\xff\xff\xff\x7f\0\0\0\0", 8) + Event(1), true, {}, 0, false},
        {"a foreign file", "{\"EventOrder\":12}", false, {}, 0, false},
        {"an acknowledgement of an event never written", Magic() + journal::Record(journal::kAcknowledged, 4) + Event(5),
         true, {5}, 5, true},
        {"a kind this build does not know", Magic() + Event(1) + journal::Record('Z', 2) + Event(3), true, {1}, 1, false},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.what);
        const VondSdk::JournalContents contents = journal::Read(c.bytes);
        EXPECT_EQ(contents.recognised, c.recognised);
        std::vector<uint64_t> numbers;
        for (const auto& event : contents.pending) {
            numbers.push_back(event.number);
            EXPECT_EQ(event.body, "{\"eventOrder\":\"n" + std::to_string(event.number) + "\"}");
        }
        EXPECT_EQ(numbers, c.pending);
        EXPECT_EQ(contents.highestNumber, c.highest);
        if (c.recognised) EXPECT_EQ(contents.validBytes == c.bytes.size(), c.whole);

        // A compaction keeps exactly the pending events and the highest number.
        const VondSdk::JournalContents again = journal::Read(journal::Compacted(contents.highestNumber, contents.pending));
        EXPECT_EQ(again.highestNumber, contents.highestNumber);
        ASSERT_EQ(again.pending.size(), contents.pending.size());
        for (size_t i = 0; i < again.pending.size(); ++i) EXPECT_EQ(again.pending[i].body, contents.pending[i].body);
    }
}
