// The event outbox's file format: an append-only journal of numbered events and of their
// settlements, read back after a restart, a crash or a kill.
//
// File: the 8-byte magic "VONDEVJ1", then records. Record: payload length (u32 LE), CRC-32 of
// the payload (u32 LE), payload. Payload: kind (one byte), event number (u64 LE), then for an
// event its body text. Kinds: 'E' an event to send, 'A' an event the endpoint acknowledged,
// 'D' an event dropped at the outbox's bound, 'M' the highest number handed out so far (kept
// by a compaction that removes every settled event).
//
// A kill can tear the last record, and a bad sector, a scanner or a sync tool can damage any:
// after a record that is short, too long or fails its checksum the reader looks for the next
// offset where a whole record starts, so damage loses only the records it touched. A record of
// a kind this build does not know is passed over whole. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace VondSdk {

struct JournalEvent {
    uint64_t number = 0;
    std::string body;
};

struct JournalContents {
    // False when the file does not start with the magic (another file, or torn before
    // its first record): nothing in it is trusted.
    bool recognised = false;
    // The highest number any record names (0 when none).
    uint64_t highestNumber = 0;
    // Events not yet acknowledged nor dropped, in the order they were written.
    std::vector<JournalEvent> pending;
    // Bytes of the magic and of whole records; less than the input when anything is damaged.
    size_t validBytes = 0;
    // Bytes between whole records that belong to none (damage), in how many stretches, and
    // the bytes after the last whole record (a torn append).
    size_t damagedBytes = 0;
    size_t damagedStretches = 0;
    size_t tornTailBytes = 0;
    // Whole records read, and the settled ones among them ('A', 'D' and the events they settle).
    size_t records = 0;
};

namespace journal {

constexpr char kMagic[] = "VONDEVJ1";
constexpr size_t kMagicSize = 8;
// No event body comes near this; a longer length is a torn or foreign record.
constexpr uint32_t kMaxPayload = 1u << 24;

constexpr char kEvent = 'E';
constexpr char kAcknowledged = 'A';
constexpr char kDropped = 'D';
constexpr char kMark = 'M';

uint32_t Crc32(const char* data, size_t size);
// One record of the given kind; body only for an event.
std::string Record(char kind, uint64_t number, const std::string& body = std::string());
// The magic, a mark for highestNumber, and one event record per pending event: the file a
// compaction writes.
std::string Compacted(uint64_t highestNumber, const std::vector<JournalEvent>& pending);
// Reads a whole journal file. Never throws on any input.
JournalContents Read(const std::string& bytes);

}  // namespace journal
}  // namespace VondSdk
