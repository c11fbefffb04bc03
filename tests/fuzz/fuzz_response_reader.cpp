// The response reader and the envelope reading behind it, fed a peer's bytes cut into reads of
// a size the input picks. Whatever arrives, the reader either frames a response that keeps its
// promises or throws; it never crashes, hangs, or reads past what it was given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "http/CVondHttp.h"
#include "http/ResponseReader.h"

namespace {

bool NoBodyStatus(const std::string& status) {
    return status == "204" || status == "304" || (status.size() == 3 && status[0] == '1');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the read size: 1 to 255 bytes, or 0 for as much as is asked.
    const std::size_t step = data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;
    std::size_t offset = 0;
    auto read = [&](char* buffer, std::size_t room) -> long {
        if (offset >= length) return 0;
        std::size_t count = length - offset;
        if (step != 0 && count > step) count = step;
        if (count > room) count = room;
        std::memcpy(buffer, bytes + offset, count);
        offset += count;
        return static_cast<long>(count);
    };

    sion::AsyncResponse outcome;
    try {
        outcome.resp = sion::ReadResponse(read);
    } catch (const std::exception&) {
        outcome.resp = sion::Response();
        outcome.err = "failed";
    }
    const sion::Response& response = outcome.resp;
    if (outcome.err.empty()) {
        if (response.body.size() > sion::kMaxResponseBytes) std::abort();
        if (NoBodyStatus(response.status_code) && !response.body.empty()) std::abort();
        if (response.chunked && static_cast<std::size_t>(response.content_length) != response.body.size())
            std::abort();
        if (!response.chunked && !NoBodyStatus(response.status_code) &&
            !response.GetHeader("content-length").empty() &&
            static_cast<std::size_t>(response.content_length) != response.body.size())
            std::abort();
    }
    // The envelope reading turns every outcome into a record, never an exception; only an
    // answer it could read carries data.
    VondSdk::HttpResp record = VondSdk::CVondHttp::ToHttpResp(outcome);
    if ((record.code == -501 || record.code == -502) && !record.data.empty()) std::abort();
    return 0;
}
