#include "src/EventJournal.h"

#include <array>
#include <map>

namespace VondSdk {
namespace journal {
namespace {

constexpr size_t kRecordHeader = 8;     // length + checksum
constexpr size_t kPayloadHeader = 9;    // kind + number

const std::array<uint32_t, 256>& CrcTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> built{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            built[i] = c;
        }
        return built;
    }();
    return table;
}

void PutU32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void PutU64(std::string& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t GetLe(const char* data, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(data[i]);
    return value;
}

bool KnownKind(char kind) {
    return kind == kEvent || kind == kAcknowledged || kind == kDropped || kind == kMark;
}

// The size of the whole record that starts at offset at (header included), or 0 when none
// does. The cheap tests come first: on garbage most offsets fail on the length (a zeroed
// sector on a length of 0, JSON text on a length past the bound), so the checksum, the only
// costly test, runs at few of them. A place found by searching must carry a known kind.
size_t WholeRecordAt(const std::string& bytes, size_t at, bool knownKindOnly) {
    const size_t remaining = bytes.size() - at;
    if (remaining < kRecordHeader + kPayloadHeader) return 0;
    const uint64_t length = GetLe(bytes.data() + at, 4);
    if (length < kPayloadHeader || length > kMaxPayload || length > remaining - kRecordHeader) return 0;
    const char* payload = bytes.data() + at + kRecordHeader;
    if (knownKindOnly && !KnownKind(payload[0])) return 0;
    if (Crc32(payload, static_cast<size_t>(length)) != static_cast<uint32_t>(GetLe(bytes.data() + at + 4, 4))) return 0;
    return kRecordHeader + static_cast<size_t>(length);
}

}  // namespace

uint32_t Crc32(const char* data, size_t size) {
    const auto& table = CrcTable();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string Record(char kind, uint64_t number, const std::string& body) {
    std::string payload;
    payload.reserve(kPayloadHeader + body.size());
    payload.push_back(kind);
    PutU64(payload, number);
    payload += body;
    std::string out;
    out.reserve(kRecordHeader + payload.size());
    PutU32(out, static_cast<uint32_t>(payload.size()));
    PutU32(out, Crc32(payload.data(), payload.size()));
    out += payload;
    return out;
}

std::string Compacted(uint64_t highestNumber, const std::vector<JournalEvent>& pending) {
    std::string out(kMagic, kMagicSize);
    out += Record(kMark, highestNumber);
    for (const auto& event : pending) out += Record(kEvent, event.number, event.body);
    return out;
}

JournalContents Read(const std::string& bytes) {
    JournalContents contents;
    if (bytes.size() < kMagicSize || bytes.compare(0, kMagicSize, kMagic, kMagicSize) != 0) return contents;
    contents.recognised = true;
    contents.validBytes = kMagicSize;
    // Pending events by number; an event written twice (a write retried after a torn append)
    // keeps its first place.
    std::map<uint64_t, size_t> positions;
    std::vector<JournalEvent> written;
    std::vector<bool> settled;
    size_t at = kMagicSize;
    while (at < bytes.size()) {
        const size_t whole = WholeRecordAt(bytes, at, false);
        if (whole == 0) {
            size_t next = at + 1;
            while (next < bytes.size() && WholeRecordAt(bytes, next, true) == 0) ++next;
            if (next >= bytes.size()) {
                contents.tornTailBytes = bytes.size() - at;
                break;
            }
            contents.damagedBytes += next - at;
            ++contents.damagedStretches;
            at = next;
            continue;
        }
        const char* payload = bytes.data() + at + kRecordHeader;
        const size_t length = whole - kRecordHeader;
        const char kind = payload[0];
        const uint64_t number = GetLe(payload + 1, 8);
        if (kind == kEvent) {
            if (positions.emplace(number, written.size()).second) {
                written.push_back(JournalEvent{number, std::string(payload + kPayloadHeader, length - kPayloadHeader)});
                settled.push_back(false);
            }
        } else if (kind == kAcknowledged || kind == kDropped) {
            auto found = positions.find(number);
            if (found != positions.end()) settled[found->second] = true;
        }
        // A kind this build does not know still names a number that was handed out.
        if (number > contents.highestNumber) contents.highestNumber = number;
        at += whole;
        contents.validBytes += whole;
        ++contents.records;
    }
    for (size_t i = 0; i < written.size(); ++i) {
        if (!settled[i]) contents.pending.push_back(std::move(written[i]));
    }
    return contents;
}

}  // namespace journal
}  // namespace VondSdk
