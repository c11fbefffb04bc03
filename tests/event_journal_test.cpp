// The event outbox's journal as a restart reads it: what a kill, a flipped bit, a bad sector or
// a foreign file leave behind, and what a compaction keeps. One table, one reader.
#include <gtest/gtest.h>

#include <random>
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

// Events 1..40 after the magic, and where each record starts and ends.
struct Long {
    std::string bytes = Magic();
    std::vector<std::pair<size_t, size_t>> spans{{0, 0}};
    Long() {
        for (uint64_t n = 1; n <= 40; ++n) {
            const size_t start = bytes.size();
            bytes += Event(n);
            spans.emplace_back(start, bytes.size());
        }
    }
    // The numbers whose records lie wholly outside [from, to).
    std::vector<uint64_t> Outside(size_t from, size_t to) const {
        std::vector<uint64_t> kept;
        for (uint64_t n = 1; n <= 40; ++n) {
            if (spans[n].second <= from || spans[n].first >= to) kept.push_back(n);
        }
        return kept;
    }
};

std::vector<uint64_t> Range(uint64_t from, uint64_t to) {
    std::vector<uint64_t> numbers;
    for (uint64_t n = from; n <= to; ++n) numbers.push_back(n);
    return numbers;
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
    const Long full;
    std::string bitFlip = full.bytes;
    bitFlip[full.spans[20].first + 20] ^= 0x10;
    std::string sector = full.bytes;
    sector.replace(512, 512, std::string(512, '\0'));
    std::string garbage;
    std::minstd_rand random(7);
    for (int i = 0; i < 300; ++i) garbage.push_back(static_cast<char>(random() & 0xFF));
    std::string inserted = full.bytes;
    inserted.insert(full.spans[20].second, garbage);
    std::string badAck = journal::Record(journal::kAcknowledged, 5);
    badAck[12] ^= 0x01;
    std::vector<uint64_t> tornThenWhole = Range(1, 40);
    tornThenWhole.insert(tornThenWhole.end(), {42, 43});
    const std::vector<Case> table = {
        {"a file never written", "", false, {}, 0, false},
        {"only the magic", Magic(), true, {}, 0, true},
        {"events, an acknowledgement, a drop, a mark", written, true, {9}, 10, true},
        {"the last append torn by a kill", written + Event(11).substr(0, 12), true, {9}, 10, false},
        {"a torn length field", written + "\x05\x00", true, {9}, 10, false},
        {"a flipped bit loses only its record", flipped, true, {9}, 10, false},
        {"a bit flipped in the middle of a long journal", bitFlip, true, full.Outside(full.spans[20].first, full.spans[20].first + 1), 40, false},
        {"a zeroed 512-byte sector", sector, true, full.Outside(512, 1024), 40, false},
        {"garbage inserted between records", inserted, true, Range(1, 40), 40, false},
        {"a torn tail on a long journal", full.bytes + Event(41).substr(0, 30), true, Range(1, 40), 40, false},
        {"a torn record followed by whole ones", full.bytes + Event(41).substr(0, 12) + Event(42) + Event(43), true,
         tornThenWhole, 43, false},
        {"a damaged acknowledgement leaves its event to send again", Magic() + Event(4) + Event(5) + badAck +
         journal::Record(journal::kAcknowledged, 4), true, {5}, 5, false},
        {"a length past any event", Magic() + std::string("\xff\xff\xff\x7f\0\0\0\0", 8) + Event(1), true, {1}, 1, false},
        {"a foreign file", "{\"EventOrder\":12}", false, {}, 0, false},
        {"an acknowledgement of an event never written", Magic() + journal::Record(journal::kAcknowledged, 4) + Event(5),
         true, {5}, 5, true},
        {"a kind this build does not know is passed over whole", Magic() + Event(1) + journal::Record('Z', 2) + Event(3),
         true, {1, 3}, 3, true},
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
        if (c.recognised) {
            EXPECT_EQ(contents.validBytes == c.bytes.size(), c.whole);
            EXPECT_EQ(contents.damagedBytes == 0 && contents.tornTailBytes == 0, c.whole);
            EXPECT_EQ(contents.validBytes + contents.damagedBytes + contents.tornTailBytes, c.bytes.size());
        }

        // A compaction keeps exactly the pending events and the highest number.
        const VondSdk::JournalContents again = journal::Read(journal::Compacted(contents.highestNumber, contents.pending));
        EXPECT_EQ(again.highestNumber, contents.highestNumber);
        ASSERT_EQ(again.pending.size(), contents.pending.size());
        for (size_t i = 0; i < again.pending.size(); ++i) EXPECT_EQ(again.pending[i].body, contents.pending[i].body);
    }
}
