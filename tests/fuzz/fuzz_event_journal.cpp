// The event outbox's journal, read from whatever the file holds: a torn append, a flipped
// bit, a foreign file. Reading never throws or crashes, never reports more than it read,
// accounts for every byte, and what it keeps survives a compaction unchanged: the compacted
// file reads back to the same pending events and the same highest number.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "src/EventJournal.h"

namespace journal = VondSdk::journal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const VondSdk::JournalContents contents = journal::Read(bytes);
    if (contents.validBytes > bytes.size()) std::abort();
    if (!contents.recognised && (contents.records != 0 || !contents.pending.empty())) std::abort();
    for (const auto& event : contents.pending) {
        if (event.number > contents.highestNumber) std::abort();
    }

    const std::string compacted = journal::Compacted(contents.highestNumber, contents.pending);
    const VondSdk::JournalContents again = journal::Read(compacted);
    if (!again.recognised || again.validBytes != compacted.size()) std::abort();
    if (again.highestNumber != contents.highestNumber) std::abort();
    if (again.pending.size() != contents.pending.size()) std::abort();
    for (size_t i = 0; i < again.pending.size(); ++i) {
        if (again.pending[i].number != contents.pending[i].number || again.pending[i].body != contents.pending[i].body)
            std::abort();
    }

    // Every byte is accounted for once: whole records, damage passed over, or a torn tail.
    if (contents.recognised &&
        contents.validBytes + contents.damagedBytes + contents.tornTailBytes != bytes.size()) {
        std::abort();
    }
    // Without damage before it, the valid prefix alone reads the same as the whole input.
    if (contents.damagedBytes == 0) {
        const VondSdk::JournalContents prefix = journal::Read(bytes.substr(0, contents.validBytes));
        if (prefix.records != contents.records || prefix.pending.size() != contents.pending.size()) std::abort();
    }
    return 0;
}
