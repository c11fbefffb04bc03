// The response reader: frames one HTTP/1.1 response from the bytes a ReadSome hands it. No
// I/O of its own (see ResponseReader.h); the fuzz target tests/fuzz/fuzz_response_reader.cpp
// drives it directly.
#include "http/ResponseReader.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace sion {

const char* const kResponseTooLargeMessage = "响应超过16MiB上限";
const char* const kBadFramingMessage = "响应格式错误";

namespace detail {

const char* const kNetworkMessage = "网络异常,Socket错误码：";

namespace {

constexpr const char* kStoiInvalidMessage = "invalid stoi argument";
constexpr const char* kStoiRangeMessage = "stoi argument out of range";

}  // namespace

int Stoi(const std::string& text, int base) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(begin, &end, base);
    CheckOrThrow<std::invalid_argument>(end != begin, kStoiInvalidMessage);
    CheckOrThrow<std::out_of_range>(errno != ERANGE && value >= INT_MIN && value <= INT_MAX,
                                    kStoiRangeMessage);
    return static_cast<int>(value);
}

std::string Lowercase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace detail

namespace {

using detail::CheckOrThrow;
using detail::kMaxLineBytes;
using detail::kNetworkMessage;
using detail::kReadBufferBytes;
using detail::Lowercase;
using detail::Stoi;

constexpr const char* kParseMessage = "解析错误";

std::string Trim(const std::string& text) {
    const char* blanks = " \r\n";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::size_t FindCrlf(const Bytes& bytes, std::size_t from) {
    for (std::size_t i = from; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == '\r' && bytes[i + 1] == '\n') return i;
    }
    return std::string::npos;
}

void ParseHead(Response& response) {
    std::string head(response.source.data(), static_cast<std::size_t>(response.head_end));
    const std::string parseFailure = std::string(kParseMessage) + "\n" + head;
    // The status line comes first: a head that opens with an empty line is not a response.
    CheckOrThrow<Error>(head.compare(0, 2, "\r\n") != 0, parseFailure);
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < head.size();) {
        std::size_t end = head.find("\r\n", start);
        if (end == std::string::npos) end = head.size();
        if (end > start) lines.push_back(head.substr(start, end - start));
        start = end + 2;
    }
    CheckOrThrow<Error>(!lines.empty(), parseFailure);

    // Version, space, code, space, reason. The reason may be empty (common Java servers send
    // "HTTP/1.1 200 "), the space before it may not.
    const std::string& status = lines.front();
    const std::size_t npos = std::string::npos;
    std::size_t versionBegin = status.find_first_not_of(' ');
    std::size_t versionEnd = versionBegin == npos ? npos : status.find(' ', versionBegin);
    std::size_t codeBegin = versionEnd == npos ? npos : status.find_first_not_of(' ', versionEnd);
    std::size_t codeEnd = codeBegin == npos ? npos : status.find(' ', codeBegin);
    CheckOrThrow<Error>(codeEnd != npos, parseFailure);
    std::size_t textBegin = status.find_first_not_of(' ', codeEnd);
    response.protocol_version = Trim(status.substr(versionBegin, versionEnd - versionBegin));
    response.status_code = Trim(status.substr(codeBegin, codeEnd - codeBegin));
    response.status_text = textBegin == npos ? std::string() : Trim(status.substr(textBegin));

    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::size_t colon = lines[i].find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == lines[i].size()) continue;
        std::string name = Trim(lines[i].substr(0, colon));
        // "  : x" names nothing; stored, it would answer a lookup of the empty name.
        if (name.empty()) continue;
        response.header.Add(Lowercase(name), Trim(lines[i].substr(colon + 1)));
    }

    std::string length = response.header.Get("content-length");
    if (!length.empty()) response.content_length = Stoi(length, 10);
    response.chunked = response.header.Get("Transfer-Encoding") == "chunked";
    response.body.assign(response.source.begin() + response.head_end, response.source.end());
}

// Walks chunked framing as bytes arrive, so chunk data is never mistaken for the end.
class ChunkWalker {
public:
    // Consumes what it can of raw; true once the last chunk and the trailers are through.
    bool Advance(const Bytes& raw) {
        for (;;) {
            if (state_ == State::Done) return true;
            if (state_ == State::Data) {
                if (raw.size() - position_ < remaining_) return false;
                decoded_.insert(decoded_.end(), raw.begin() + position_,
                                raw.begin() + position_ + remaining_);
                position_ += remaining_;
                state_ = State::DataEnd;
                continue;
            }
            std::size_t crlf = FindCrlf(raw, position_);
            if (crlf == std::string::npos) {
                CheckOrThrow<Error>(raw.size() - position_ <= kMaxLineBytes, kBadFramingMessage);
                return false;
            }
            std::string line(raw.begin() + position_, raw.begin() + crlf);
            position_ = crlf + 2;
            switch (state_) {
                case State::SizeLine: {
                    int size = Stoi(line, 16);
                    CheckOrThrow<Error>(size >= 0, kBadFramingMessage);
                    CheckOrThrow<Error>(decoded_.size() + static_cast<std::size_t>(size) <= kMaxResponseBytes,
                                        kResponseTooLargeMessage);
                    remaining_ = static_cast<std::size_t>(size);
                    state_ = size == 0 ? State::Trailers : State::Data;
                    break;
                }
                case State::DataEnd:
                    state_ = State::SizeLine;
                    break;
                case State::Trailers:
                    if (line.empty()) state_ = State::Done;
                    break;
                default:
                    break;
            }
        }
    }
    Bytes& Decoded() { return decoded_; }
    // How many raw bytes the framing took (all of them unless more followed the last chunk).
    std::size_t Consumed() const { return position_; }

private:
    enum class State { SizeLine, Data, DataEnd, Trailers, Done };
    State state_ = State::SizeLine;
    std::size_t position_ = 0;
    std::size_t remaining_ = 0;
    Bytes decoded_;
};

// Responses that never carry a body whatever their head says.
bool HasNoBody(const std::string& status) {
    return status == "204" || status == "304" || (status.size() == 3 && status[0] == '1');
}

}  // namespace

Response ReadResponse(const ReadSome& readSome) {
    bool reusable = false;
    return ReadResponse(readSome, reusable);
}

Response ReadResponse(const ReadSome& readSome, bool& reusable) {
    reusable = false;
    bool framedExactly = false;
    Response response;
    std::vector<char> buffer(kReadBufferBytes);
    std::size_t total = 0;
    auto read = [&]() -> long {
        long count = readSome(buffer.data(), buffer.size());
        CheckOrThrow<Error>(count <= static_cast<long>(buffer.size()),
                            kNetworkMessage + std::to_string(count));
        if (count > 0) {
            total += static_cast<std::size_t>(count);
            CheckOrThrow<Error>(total <= kMaxResponseBytes, kResponseTooLargeMessage);
        }
        return count;
    };
    auto fail = [](long count) {
        if (count == 0) throw PeerConnectionClose();
        throw Error(kNetworkMessage + std::to_string(count));
    };

    static const char kHeadEnd[] = "\r\n\r\n";
    std::size_t searchFrom = 0;
    while (response.head_end < 0) {
        long count = read();
        if (count <= 0) fail(count);
        response.source.insert(response.source.end(), buffer.data(), buffer.data() + count);
        auto found =
            std::search(response.source.begin() + searchFrom, response.source.end(), kHeadEnd, kHeadEnd + 4);
        if (found != response.source.end()) {
            response.head_end = static_cast<int32_t>(found - response.source.begin()) + 4;
        } else {
            searchFrom = response.source.size() >= 3 ? response.source.size() - 3 : 0;
        }
    }
    ParseHead(response);

    auto append = [&](long count) {
        response.body.insert(response.body.end(), buffer.data(), buffer.data() + count);
    };
    if (HasNoBody(response.status_code)) {
        // Whatever length the head names is that of a body these answers never carry; waiting
        // for it would hold the exchange until the peer gives up.
        framedExactly = response.body.empty() && response.status_code[0] != '1';
        response.body.clear();
        response.content_length = 0;
    } else if (response.chunked) {
        ChunkWalker walker;
        while (!walker.Advance(response.body)) {
            long count = read();
            if (count <= 0) fail(count);
            append(count);
        }
        framedExactly = walker.Consumed() == response.body.size();
        response.body.swap(walker.Decoded());
        response.content_length = static_cast<int32_t>(response.body.size());
    } else if (!response.header.Get("content-length").empty()) {
        CheckOrThrow<Error>(response.content_length >= 0, kBadFramingMessage);
        std::size_t length = static_cast<std::size_t>(response.content_length);
        CheckOrThrow<Error>(length <= kMaxResponseBytes, kResponseTooLargeMessage);
        while (response.body.size() < length) {
            long count = read();
            if (count <= 0) fail(count);
            append(count);
        }
        framedExactly = response.body.size() == length;
        response.body.resize(length);
    } else {
        // Without a length or chunking the peer's close is the end of the body.
        for (;;) {
            long count = read();
            if (count == 0) break;
            if (count < 0) fail(count);
            append(count);
        }
        response.content_length = static_cast<int32_t>(response.body.size());
    }
    // The connection can carry another exchange when this answer's end is known from its own
    // framing, nothing followed it, and the server did not say it closes.
    std::string connection = Lowercase(response.header.Get("connection"));
    reusable = framedExactly && response.protocol_version == "HTTP/1.1" &&
               connection.find("close") == std::string::npos;
    return response;
}

void Header::Add(const std::string& name, const std::string& value) {
    pairs_.emplace_back(name, value);
}

std::string Header::Get(const std::string& name) const {
    std::string wanted = Lowercase(name);
    for (auto pair = pairs_.rbegin(); pair != pairs_.rend(); ++pair) {
        if (pair->first == wanted) return pair->second;
    }
    return std::string();
}

std::string Response::BodyText() const {
    auto nul = std::find(body.begin(), body.end(), '\0');
    return std::string(body.begin(), nul);
}

}  // namespace sion
