// The response reader and the URL split on their own, without sockets: what the peer's bytes
// turn into however they are cut, and which URLs are taken apart how.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "http/Sion.h"

namespace {

// Hands out text in reads of at most step bytes; a read past the end is a peer close, or a
// failure when the test says the reader must not read that far.
class Feed {
public:
    Feed(std::string text, std::size_t step, bool failPastEnd = false)
        : text_(std::move(text)), step_(step), failPastEnd_(failPastEnd) {}
    sion::ReadSome Reader() {
        return [this](char* buffer, std::size_t size) -> long {
            if (offset_ >= text_.size()) {
                ++readsPastEnd_;
                return failPastEnd_ ? -1 : 0;
            }
            std::size_t count = std::min({size, step_, text_.size() - offset_});
            std::copy(text_.begin() + offset_, text_.begin() + offset_ + count, buffer);
            offset_ += count;
            return static_cast<long>(count);
        };
    }
    int ReadsPastEnd() const { return readsPastEnd_; }

private:
    std::string text_;
    std::size_t step_;
    bool failPastEnd_;
    std::size_t offset_ = 0;
    int readsPastEnd_ = 0;
};

std::string BodyOf(const sion::Response& response) {
    return std::string(response.body.begin(), response.body.end());
}

std::string FailureOf(const std::string& text) {
    Feed feed(text, 7);
    try {
        sion::ReadResponse(feed.Reader());
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no failure)";
}

}  // namespace

TEST(SionReader, StatusLinesWithAndWithoutReason) {
    // Common Java servers send the code and its separator but no reason phrase.
    Feed empty("HTTP/1.1 200 \r\nContent-Length: 2\r\n\r\nok", 3);
    sion::Response response = sion::ReadResponse(empty.Reader());
    EXPECT_EQ(response.StatusCode(), "200");
    EXPECT_EQ(response.StatusText(), "");
    EXPECT_EQ(BodyOf(response), "ok");

    Feed spaced("HTTP/1.1   404   Not  Found \r\nContent-Length: 0\r\n\r\n", 1);
    response = sion::ReadResponse(spaced.Reader());
    EXPECT_EQ(response.StatusCode(), "404");
    EXPECT_EQ(response.StatusText(), "Not  Found");

    // Without the separator after the code, and heads that do not open with a status line,
    // are parse errors that name the head, never an answer.
    EXPECT_EQ(FailureOf("HTTP/1.1 200\r\n\r\n"), "解析错误\nHTTP/1.1 200\r\n\r\n");
    EXPECT_EQ(FailureOf("\r\nHTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"),
              "解析错误\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(FailureOf("\r\n\r\n"), "解析错误\n\r\n\r\n");
}

TEST(SionReader, HeaderLinesWithoutANameAreDropped) {
    Feed feed("HTTP/1.1 200 OK\r\n   : ghost\r\nX-A:  1 \r\n:x\r\nContent-Length: 1\r\n\r\n!", 5);
    sion::Response response = sion::ReadResponse(feed.Reader());
    EXPECT_EQ(response.GetHeader("x-a"), "1");
    EXPECT_EQ(response.GetHeader(""), "");
    for (const auto& pair : response.header.Pairs()) EXPECT_FALSE(pair.first.empty()) << pair.second;
    EXPECT_EQ(BodyOf(response), "!");
}

TEST(SionReader, NoContentAndNotModifiedCarryNoBodyWhateverTheirLength) {
    for (const char* status : {"204 No Content", "304 Not Modified"}) {
        // The peer keeps the connection open: reading on would fail the test's feed.
        Feed feed(std::string("HTTP/1.1 ") + status + "\r\nContent-Length: 10\r\n\r\n", 64, true);
        sion::Response response = sion::ReadResponse(feed.Reader());
        EXPECT_EQ(feed.ReadsPastEnd(), 0) << status;
        EXPECT_TRUE(response.body.empty()) << status;
        EXPECT_EQ(response.content_length, 0) << status;
    }
    // Bytes that came with the head are not a body either.
    Feed extra("HTTP/1.1 204 \r\nContent-Length: 3\r\n\r\nabc", 64, true);
    EXPECT_TRUE(sion::ReadResponse(extra.Reader()).body.empty());
    // A 200 with the same head still waits for its ten bytes.
    Feed ok("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789", 4, true);
    EXPECT_EQ(BodyOf(sion::ReadResponse(ok.Reader())), "0123456789");
}

TEST(SionReader, FramingHoldsForAnyCutOfTheBytes) {
    const std::string chunked =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4;ext=1\r\nWiki\r\n5\r\npedia\r\n0\r\nX-T: "
        "1\r\n\r\n";
    for (std::size_t step : {1u, 2u, 3u, 5u, 8u, 4096u}) {
        Feed feed(chunked, step, true);
        sion::Response response = sion::ReadResponse(feed.Reader());
        EXPECT_EQ(BodyOf(response), "Wikipedia") << step;
        EXPECT_EQ(response.content_length, 9) << step;
        EXPECT_EQ(feed.ReadsPastEnd(), 0) << step;
    }
    EXPECT_EQ(FailureOf("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nab"), "");  // the peer closed early
    EXPECT_EQ(FailureOf("HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n"), "invalid stoi argument");
}

TEST(SionUrl, FormsAreTakenApartAsTheClientAlwaysDid) {
    struct Case {
        std::string url;
        bool accepted;
        std::string protocol, host, port, path;
    };
    const std::vector<Case> cases = {
        {"https://sdkapi.vondgame.com/sdkapi/v3/config/client.do?a=1", true, "https", "sdkapi.vondgame.com",
         "", "/sdkapi/v3/config/client.do?a=1"},
        {"http://127.0.0.1:8080/x", true, "http", "127.0.0.1", "8080", "/x"},
        {"http://host", true, "http", "host", "", ""},
        {"http://", true, "http", "", "", ""},
        {"http://a:b/c", true, "http", "a", "", "b/c"},
        {"http://h/p:80", true, "http", "h", "", "/p:80"},
        {"http://[::1]:80/", true, "http", "", "", "[::1]:80/"},
        {"http://under_score-x.y:1", true, "http", "under_score-x.y", "1", ""},
        {"https://h:443?q", true, "https", "h", "443", "?q"},
        {"ftp://h/", false},
        {"HTTP://h/", false},
        {"http:/h", false},
        {" http://h", false},
        {"http://h/\nx", false},
        {"http://h/\rx", false},
        {"", false},
    };
    // The pattern the client once matched with; the split must agree with it on every form.
    const std::regex pattern(R"(^(http|https)://([\w.-]*):?(\d*)(/?.*)$)", std::regex::ECMAScript);
    for (const Case& c : cases) {
        sion::UrlParts parts;
        std::smatch match;
        ASSERT_EQ(std::regex_match(c.url, match, pattern), c.accepted) << c.url;
        ASSERT_EQ(sion::SplitUrl(c.url, parts), c.accepted) << c.url;
        if (!c.accepted) continue;
        EXPECT_EQ(parts.protocol, c.protocol) << c.url;
        EXPECT_EQ(parts.host, c.host) << c.url;
        EXPECT_EQ(parts.port, c.port) << c.url;
        EXPECT_EQ(parts.path, c.path) << c.url;
        EXPECT_EQ(parts.host, match[2].str()) << c.url;
        EXPECT_EQ(parts.port, match[3].str()) << c.url;
        EXPECT_EQ(parts.path, match[4].str()) << c.url;
    }
}

TEST(SionUrl, LongMalformedUrlsFailWithTheirTextsAtOnce) {
    // Tens of thousands of characters: the old pattern recursed once a character and could
    // overflow a worker's stack, or backtrack for seconds.
    sion::Request request;
    request.SetMethod(sion::Method::Post);
    auto failure = [&](const std::string& url) {
        try {
            request.Send(url);
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string("(no failure)");
    };
    EXPECT_EQ(failure("http://" + std::string(60000, 'a') + "\n"), "url格式不对或者是用了除http(s)外的协议");
    EXPECT_EQ(failure("https://host:" + std::string(5000, '9') + "/x"), "stoi argument out of range");
    EXPECT_EQ(failure("http://h:" + std::string(40000, '0') + "70000"), "端口超出范围");
    EXPECT_EQ(failure(std::string(50000, 'h') + "://x"), "url格式不对或者是用了除http(s)外的协议");

    sion::UrlParts parts;
    ASSERT_TRUE(sion::SplitUrl("http://" + std::string(100000, '1') + ":" + std::string(100000, '2'), parts));
    EXPECT_EQ(parts.host.size(), 100000u);
    EXPECT_EQ(parts.port.size(), 100000u);
}
