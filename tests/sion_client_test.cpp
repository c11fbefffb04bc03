// The HTTP client against loopback servers: what goes on the wire, how answers are framed
// and parsed, and which failures come back with which text.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/Sion.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>
#endif
#include "support/LoopbackServer.h"
#include "support/TestEnv.h"

namespace {

using vondtest::LoopbackServer;
using vondtest::ServerCert;

sion::Request Post(const std::string& body = std::string()) {
    sion::Request request;
    request.SetMethod(sion::Method::Post).SetBody(body);
    return request;
}

// The what() text of the exception Send raised, and whether it was a sion::Error.
struct Failure {
    bool raised = false;
    bool sionError = false;
    std::string text;
};

Failure SendFails(sion::Request& request, const std::string& url) {
    Failure failure;
    try {
        request.Send(url);
    } catch (const sion::Error& error) {
        failure = {true, true, error.what()};
    } catch (const std::exception& error) {
        failure = {true, false, error.what()};
    }
    return failure;
}

Failure SendFails(sion::Request&& request, const std::string& url) {
    return SendFails(request, url);
}

sion::Response Exchange(const std::string& reply, bool keepOpen = false) {
    LoopbackServer server;
    server.Reply(reply);
    server.KeepOpenAfterReply(keepOpen);
    return Post().Send(server.Url("/x"));
}

// Shortened bounds so a framing mistake fails the test fast instead of hanging it.
class SionClient : public ::testing::Test {
protected:
    void SetUp() override { sion::SetTimeouts(std::chrono::seconds(10), std::chrono::seconds(5)); }
    void TearDown() override { sion::SetTimeouts(std::chrono::seconds(10), std::chrono::seconds(30)); }
};

TEST_F(SionClient, RequestTextCarriesPathBareHostAndLength) {
    LoopbackServer server;
    server.Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");

    sion::Header header;
    header.Add("content-type", "application/x-www-form-urlencoded");
    sion::Request form = Post("a=1&b=2");
    form.SetHeader(header);
    sion::Response response = form.Send(server.Url("/sdkapi/v3/config/client.do?x=1"));
    EXPECT_EQ("200", response.StatusCode());
    EXPECT_EQ("ok", response.BodyText());
    EXPECT_EQ(server.Port(), form.port);
    EXPECT_EQ("127.0.0.1", form.ip);

    sion::Request empty;
    empty.SetMethod(sion::Method::Get);
    empty.Send("http://localhost:" + std::to_string(server.Port()));
    EXPECT_EQ("127.0.0.1", empty.ip);

    ASSERT_TRUE(server.WaitRequests(2));
    auto requests = server.Requests();
    EXPECT_EQ(
        "POST /sdkapi/v3/config/client.do?x=1 HTTP/1.1\r\n"
        "content-type: application/x-www-form-urlencoded\r\n"
        "Host: 127.0.0.1\r\n"
        "Content-Length: 7\r\n\r\na=1&b=2",
        requests[0]);
    EXPECT_EQ("GET / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n", requests[1]);
}

TEST_F(SionClient, UrlAndAddressRulesRejectWithFixedTexts) {
    Failure noMethod = SendFails(sion::Request(), "http://127.0.0.1/");
    EXPECT_FALSE(noMethod.sionError);
    EXPECT_EQ("请求方法未定义", noMethod.text);

    for (const char* url : {"ftp://127.0.0.1/a", "HTTP://127.0.0.1/a", "https//x", "http:/127.0.0.1/"}) {
        Failure bad = SendFails(Post(), url);
        EXPECT_TRUE(bad.raised && !bad.sionError) << url;
        EXPECT_EQ("url格式不对或者是用了除http(s)外的协议", bad.text) << url;
    }

    EXPECT_EQ(sion::kBadPortMessage, SendFails(Post(), "http://127.0.0.1:70000/").text);
    EXPECT_EQ("stoi argument out of range", SendFails(Post(), "http://127.0.0.1:99999999999/").text);

    for (const char* url : {"http://12345/", "http://999.1.1.1/", "https://1.2.3/"}) {
        Failure bad = SendFails(Post(), url);
        EXPECT_TRUE(bad.sionError) << url;
        EXPECT_EQ("地址转换错误", bad.text) << url;
    }

    // Default ports, seen through the refused connection to a port nobody serves here.
    sion::Request plain = Post();
    Failure refused = SendFails(plain, "http://127.0.0.1/");
    EXPECT_EQ(80, plain.port);
    EXPECT_EQ("/", plain.path);
    EXPECT_EQ(0u, refused.text.find("连接失败:\nHost:127.0.0.1\nIp:127.0.0.1\n错误码："));
    sion::Request secure = Post();
    SendFails(secure, "https://127.0.0.1?a=1");
    EXPECT_EQ(443, secure.port);
    EXPECT_EQ("?a=1", secure.path);
}

TEST_F(SionClient, HeadIsParsedIntoStatusAndHeaders) {
    sion::Response response = Exchange(
        "HTTP/1.1 404 Not Found\r\n"
        "Date: Tue, 01 Jan 2030 10:00:00 GMT\r\n"
        "X-Empty:\r\n"
        "X-Blank:   \r\n"
        "NoColon\r\n"
        ": nameless\r\n"
        "X-Dup: first\r\n"
        "x-dup: second\r\n"
        "Content-Length: 4\r\n\r\n"
        "bodyTRAILING-BYTES");
    EXPECT_EQ("HTTP/1.1", response.ProtocolVersion());
    EXPECT_EQ("404", response.StatusCode());
    EXPECT_EQ("Not Found", response.StatusText());
    EXPECT_EQ("Tue, 01 Jan 2030 10:00:00 GMT", response.GetHeader("Date"));
    EXPECT_EQ("second", response.GetHeader("X-DUP"));
    EXPECT_EQ("body", response.BodyText());
    EXPECT_EQ(4, response.content_length);

    std::vector<std::string> names;
    for (const auto& pair : response.header.Pairs()) names.push_back(pair.first);
    EXPECT_EQ((std::vector<std::string>{"date", "x-blank", "x-dup", "x-dup", "content-length"}), names);
    EXPECT_EQ("", response.header.Pairs()[1].second);

    // A body with a NUL reads as text up to it.
    EXPECT_EQ("ab",
              Exchange(std::string("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nab\0c", 42)).BodyText());
}

TEST_F(SionClient, MalformedHeadsFailWithTheirTexts) {
    LoopbackServer server;
    server.Reply("HTTP/1.1 200\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ("解析错误\nHTTP/1.1 200\r\nContent-Length: 0\r\n\r\n", SendFails(Post(), server.Url()).text);

    server.Reply("HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n");
    Failure invalid = SendFails(Post(), server.Url());
    EXPECT_TRUE(invalid.sionError);
    EXPECT_EQ("invalid stoi argument", invalid.text);

    server.Reply("HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n");
    EXPECT_EQ("stoi argument out of range", SendFails(Post(), server.Url()).text);

    server.Reply("HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nabc");
    EXPECT_EQ(sion::kBadFramingMessage, SendFails(Post(), server.Url()).text);
}

TEST_F(SionClient, ChunkedBodiesAreDecodedByTheirFraming) {
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    sion::Response wiki =
        Exchange(head + "4\r\nWiki\r\n5;note=x\r\npedia\r\n0\r\nExpires: never\r\n\r\n", true);
    EXPECT_TRUE(wiki.chunked);
    EXPECT_EQ("Wikipedia", wiki.BodyText());
    EXPECT_EQ(9, wiki.content_length);

    sion::Response last = Exchange(head + "0\r\n\r\n", true);
    EXPECT_EQ("", last.BodyText());
    EXPECT_EQ(0, last.content_length);

    // Chunk data that looks like the last chunk is data, not the end.
    sion::Response tricky = Exchange(head + "8\r\nA\r\n0\r\n\r\n\r\n3\r\nend\r\n0\r\n\r\n", true);
    EXPECT_EQ("A\r\n0\r\n\r\nend", tricky.BodyText());
    EXPECT_EQ(11, tricky.content_length);

    LoopbackServer server;
    server.Reply(head + "8\r\nA\r\n0\r\n\r\n");
    Failure cut = SendFails(Post(), server.Url());
    EXPECT_TRUE(cut.sionError);
    EXPECT_EQ("", cut.text);

    server.Reply(head + "zz\r\nabc\r\n0\r\n\r\n");
    EXPECT_EQ("invalid stoi argument", SendFails(Post(), server.Url()).text);
    server.Reply(head + "-3\r\nabc\r\n0\r\n\r\n");
    EXPECT_EQ(sion::kBadFramingMessage, SendFails(Post(), server.Url()).text);
    server.Reply(head + "7FFFFFFF\r\nabc");
    EXPECT_EQ(sion::kResponseTooLargeMessage, SendFails(Post(), server.Url()).text);

    // Only the exact lowercase token means chunked; otherwise the peer's close ends the body.
    sion::Response capital =
        Exchange("HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n4\r\nWiki\r\n0\r\n\r\n");
    EXPECT_FALSE(capital.chunked);
    EXPECT_EQ("4\r\nWiki\r\n0\r\n\r\n", capital.BodyText());
}

TEST_F(SionClient, BodyEndsAtLengthOrAtClose) {
    sion::Response empty = Exchange("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true);
    EXPECT_EQ("", empty.BodyText());
    sion::Response noContent = Exchange("HTTP/1.1 204 No Content\r\n\r\n", true);
    EXPECT_EQ("204", noContent.StatusCode());

    sion::Response untilClose = Exchange("HTTP/1.1 200 OK\r\n\r\n{\"code\":200}");
    EXPECT_EQ("{\"code\":200}", untilClose.BodyText());
    EXPECT_EQ(12, untilClose.content_length);

    std::string large(300 * 1024, 'x');
    sion::Response big =
        Exchange("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(large.size()) + "\r\n\r\n" + large);
    EXPECT_EQ(large, big.BodyText());

    LoopbackServer server;
    server.Reply("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
    Failure shortBody = SendFails(Post(), server.Url());
    EXPECT_TRUE(shortBody.sionError);
    EXPECT_EQ("", shortBody.text);
    server.Reply("");
    EXPECT_EQ("", SendFails(Post(), server.Url()).text);

    server.Reply("HTTP/1.1 200 OK\r\nContent-Length: 16777217\r\n\r\n");
    EXPECT_EQ(sion::kResponseTooLargeMessage, SendFails(Post(), server.Url()).text);
    server.Reply("HTTP/1.1 200 OK\r\n\r\n" + std::string(sion::kMaxResponseBytes, 'y'));
    EXPECT_EQ(sion::kResponseTooLargeMessage, SendFails(Post(), server.Url()).text);
}

TEST_F(SionClient, SilentServerEndsInTimeout) {
    sion::SetTimeouts(std::chrono::seconds(10), std::chrono::milliseconds(300));
    LoopbackServer server;
    server.NeverAnswer();
    Failure silent = SendFails(Post(), server.Url());
    EXPECT_TRUE(silent.sionError);
    EXPECT_EQ(sion::kIoTimeoutMessage, silent.text);
    ASSERT_TRUE(server.WaitRequests(1));
}

// Every read makes progress, so no read bound runs out; only the bound on the whole exchange
// ends it. Plain and TLS alike.
TEST_F(SionClient, TricklingPeerEndsAtTheExchangeDeadline) {
    vondtest::TrustTestCa();
    sion::SetExchangeTimeout(std::chrono::milliseconds(800));
    for (ServerCert cert : {ServerCert::None, ServerCert::Trusted}) {
        LoopbackServer server(cert);
        server.TrickleReplies(std::chrono::milliseconds(20));
        server.Reply("HTTP/1.1 200 OK\r\nContent-Length: 4000\r\n\r\n" + std::string(4000, 'x'));
        Failure trickled = SendFails(Post(), server.Url());
        EXPECT_TRUE(trickled.sionError);
        EXPECT_EQ(sion::kExchangeTimeoutMessage, trickled.text);
    }
    sion::SetExchangeTimeout(std::chrono::seconds(60));
}

#ifndef _WIN32
// A listener that never accepts, with its accept queue already full: the kernel drops every
// further connection attempt, so a connect neither succeeds nor fails on its own.
TEST_F(SionClient, ConnectThatNeverCompletesEndsInTimeout) {
    sion::SetTimeouts(std::chrono::milliseconds(300), std::chrono::seconds(10));
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        int filler = ::socket(AF_INET, SOCK_STREAM, 0);
        ::fcntl(filler, F_SETFL, O_NONBLOCK);
        ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        fillers.push_back(filler);
    }

    Failure hung = SendFails(Post(), "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/");
    EXPECT_TRUE(hung.sionError);
    EXPECT_EQ(sion::kConnectTimeoutMessage, hung.text);

    for (int filler : fillers) ::close(filler);
    ::close(listener);
}
#endif

TEST_F(SionClient, SendStopsWhenCancelled) {
    LoopbackServer server;
    server.NeverAnswer();
    std::atomic<bool> cancel{true};
    sion::Request request = Post();
    try {
        request.Send(server.Url(), &cancel);
        ADD_FAILURE() << "a cancelled exchange returned";
    } catch (const sion::Error& error) {
        EXPECT_EQ(std::string(sion::kCancelledMessage), error.what());
    }
}

TEST_F(SionClient, TlsTrustsOnlyVerifiedCertificatesForTheHost) {
    vondtest::TrustTestCa();
    const std::string reply = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n";

    LoopbackServer trusted(ServerCert::Trusted);
    trusted.Reply(reply);
    EXPECT_EQ("ok", Post("a=1").Send(trusted.Url("/p?q=1")).BodyText());
    EXPECT_EQ("ok", Post().Send("https://localhost:" + std::to_string(trusted.Port()) + "/").BodyText());
    ASSERT_TRUE(trusted.WaitRequests(2));
    EXPECT_EQ("POST /p?q=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\na=1",
              trusted.Requests()[0]);

    LoopbackServer otherHost(ServerCert::OtherHost);
    otherHost.Reply(reply);
    Failure wrongName = SendFails(Post(), otherHost.Url());
    EXPECT_TRUE(wrongName.sionError);
    EXPECT_EQ(0u, wrongName.text.find(sion::kCertificateMessage)) << wrongName.text;
    Failure wrongHost = SendFails(Post(), "https://localhost:" + std::to_string(otherHost.Port()) + "/");
    EXPECT_EQ(0u, wrongHost.text.find(sion::kCertificateMessage)) << wrongHost.text;

    LoopbackServer stranger(ServerCert::UntrustedCa);
    stranger.Reply(reply);
    Failure untrusted = SendFails(Post(), stranger.Url());
    EXPECT_EQ(0u, untrusted.text.find(sion::kCertificateMessage)) << untrusted.text;

    EXPECT_TRUE(otherHost.Requests().empty());
    EXPECT_TRUE(stranger.Requests().empty());
}

}  // namespace

namespace {

// Two requests in a row from one thread, for each kind of answer: a connection is kept only
// after an answer that ended by its own framing and did not say it closes, and a kept one the
// server closed meanwhile is noticed before the request is written. The request bytes are the
// same whether or not the connection is new.
TEST_F(SionClient, ConnectionsAreKeptOnlyAfterCleanlyFramedAnswers) {
    vondtest::TrustTestCa();
    struct Case {
        const char* name;
        std::string reply;
        bool serverClosesAfterReply;  // though the reply would let the connection persist
        std::size_t connections;      // for the two requests
    };
    const Case cases[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, 1},
        {"last chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", false, 1},
        {"says close", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok", false, 2},
        {"HTTP/1.0", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", false, 2},
        {"ends at close", "HTTP/1.1 200 OK\r\n\r\nok", false, 2},
        {"server closed the kept one", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", true, 2},
    };
    for (ServerCert cert : {ServerCert::None, ServerCert::Trusted}) {
        for (const Case& c : cases) {
            const std::string label = std::string(c.name) + (cert == ServerCert::None ? " (http)" : " (https)");
            LoopbackServer server(cert);
            server.Reply(c.reply);
            server.CloseAfterEachReply(c.serverClosesAfterReply);
            EXPECT_EQ("ok", Post("a=1").Send(server.Url("/one")).BodyText()) << label;
            // The second request waits until the server has closed what it closes, so that
            // what is checked is the client's look at the idle connection, not a race.
            if (c.connections == 2) EXPECT_TRUE(server.WaitClosed(1)) << label;
            EXPECT_EQ("ok", Post("a=1").Send(server.Url("/one")).BodyText()) << label;
            EXPECT_EQ(c.connections, server.Connections()) << label;
            ASSERT_TRUE(server.WaitRequests(2)) << label;
            const std::string expected = "POST /one HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\na=1";
            EXPECT_EQ(expected, server.Requests()[0]) << label;
            EXPECT_EQ(expected, server.Requests()[1]) << label;
        }
    }
}

// A request written on a kept connection is never sent again: when the connection dies after
// the write, the caller hears the failure (the server may have acted on the request).
TEST_F(SionClient, RequestOnAKeptConnectionIsNotSentTwice) {
    LoopbackServer server;
    server.Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ("ok", Post("n=1").Send(server.Url("/pay")).BodyText());
    server.Reply("");  // reads the next request, answers nothing, closes
    Failure dropped = SendFails(Post("n=2"), server.Url("/pay"));
    EXPECT_TRUE(dropped.sionError);
    EXPECT_EQ("", dropped.text);
    ASSERT_TRUE(server.WaitClosed(1));
    EXPECT_EQ(2u, server.Requests().size());
    EXPECT_EQ(1u, server.Connections());
}

// New connections to a server that offers session resumption resume the last session, over
// TLS 1.3 (tickets) and TLS 1.2; the certificate was verified on the first.
TEST_F(SionClient, NewTlsConnectionsResumeTheSession) {
    vondtest::TrustTestCa();
    for (bool tls12 : {false, true}) {
        LoopbackServer server(ServerCert::Trusted);
        if (tls12) server.LimitToTls12();
        server.Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        server.CloseAfterEachReply(true);
        for (std::size_t i = 1; i <= 3; ++i) {
            EXPECT_EQ("ok", Post().Send(server.Url("/")).BodyText());
            ASSERT_TRUE(server.WaitClosed(i));
        }
        EXPECT_EQ(3u, server.Connections()) << (tls12 ? "TLS 1.2" : "TLS 1.3");
        EXPECT_EQ(2u, server.ResumedSessions()) << (tls12 ? "TLS 1.2" : "TLS 1.3");
    }
}

// The system's verifier (on Windows, CryptoAPI, which may fetch over the network) decides on a
// chain OpenSSL refused, after the handshake and outside any lock: its verdict stands, and a
// verifier that hangs holds the exchange no longer than its deadline or the caller's cancel.
TEST_F(SionClient, SystemVerifierDecidesRefusedChainsWithinTheExchangeBounds) {
    vondtest::TrustTestCa();
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        int calls = 0;
        std::string host;
    };
    auto shared = std::make_shared<Shared>();
    enum class Verdict { Accept, Refuse, Hang };
    struct Case {
        const char* name;
        Verdict verdict;
        bool cancelOnEntry;
        std::string expected;  // "" for success
    };
    const Case cases[] = {
        {"accepts", Verdict::Accept, false, ""},
        {"refuses", Verdict::Refuse, false, sion::kCertificateMessage},
        {"hangs past the deadline", Verdict::Hang, false, sion::kExchangeTimeoutMessage},
        {"hangs until cancelled", Verdict::Hang, true, sion::kCancelledMessage},
    };
    for (const Case& c : cases) {
        Verdict verdict = c.verdict;
        sion::SetSystemVerifier([shared, verdict](const std::vector<std::string>& chain, const std::string& host) {
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                ++shared->calls;
                shared->host = chain.empty() ? std::string() : host;
            }
            shared->changed.notify_all();
            if (verdict == Verdict::Hang) std::this_thread::sleep_for(std::chrono::seconds(20));
            return verdict == Verdict::Accept;
        });
        sion::SetExchangeTimeout(c.cancelOnEntry ? std::chrono::seconds(60) : std::chrono::seconds(2));
        LoopbackServer stranger(ServerCert::UntrustedCa);
        stranger.Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        int before = 0;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            before = shared->calls;
        }
        std::atomic<bool> cancel{false};
        std::thread canceller;
        if (c.cancelOnEntry) {
            canceller = std::thread([&] {
                std::unique_lock<std::mutex> lock(shared->mutex);
                shared->changed.wait_for(lock, std::chrono::seconds(30), [&] { return shared->calls > before; });
                cancel = true;
            });
        }
        const auto start = std::chrono::steady_clock::now();
        std::string failure;
        try {
            sion::Request request = Post();
            EXPECT_EQ("ok", request.Send(stranger.Url("/"), &cancel).BodyText()) << c.name;
        } catch (const sion::Error& error) {
            failure = error.what();
        }
        const auto took = std::chrono::steady_clock::now() - start;
        if (canceller.joinable()) canceller.join();
        EXPECT_EQ(0u, failure.find(c.expected)) << c.name << ": " << failure;
        EXPECT_EQ(c.expected.empty(), failure.empty()) << c.name << ": " << failure;
        // The verifier would take 20 s; the bounds are 2 s and the cancel.
        EXPECT_LT(took, std::chrono::seconds(10)) << c.name;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            EXPECT_EQ(before + 1, shared->calls) << c.name;
            EXPECT_EQ("127.0.0.1", shared->host) << c.name;
        }
        // Nothing of the request leaves before the verdict.
        if (!c.expected.empty()) EXPECT_TRUE(stranger.Requests().empty()) << c.name;
    }
    sion::SetSystemVerifier(nullptr);
    sion::SetExchangeTimeout(std::chrono::seconds(60));
}

}  // namespace

#ifndef _WIN32
namespace {

std::size_t CountOf(const std::string& text, const std::string& word) {
    std::size_t count = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
    return count;
}

// A tinyproxy of the test's own on a free loopback port, logging the tunnels it opens; not
// started when tinyproxy is not installed.
class Tinyproxy {
public:
    explicit Tinyproxy(const std::string& dir) {
        const char* binary = "/usr/bin/tinyproxy";
        if (::access(binary, X_OK) != 0) return;
        int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(probe);
        port_ = ntohs(address.sin_port);
        log_ = dir + "/tinyproxy.log";
        const std::string config = dir + "/tinyproxy.conf";
        vondtest::WriteFile(config, "Port " + std::to_string(port_) + "\nListen 127.0.0.1\nTimeout 30\n"
                                    "Allow 127.0.0.1\nLogFile \"" + log_ + "\"\nLogLevel Connect\n"
                                    "MaxClients 20\n");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl(binary, binary, "-d", "-c", config.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Ready once it accepts; a bounded number of tries.
        for (int i = 0; i < 500 && pid_ > 0; ++i) {
            int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in target = address;
            target.sin_port = htons(static_cast<uint16_t>(port_));
            bool accepted = ::connect(s, reinterpret_cast<sockaddr*>(&target), sizeof(target)) == 0;
            ::close(s);
            if (accepted) {
                running_ = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Tinyproxy() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    bool Running() const { return running_; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string Log() const {
        std::string text;
        vondtest::ReadFile(log_, text);
        return text;
    }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    bool running_ = false;
    std::string log_;
};

// https through the proxy that HTTPS_PROXY names, in a CONNECT tunnel, with the backend's
// certificate and name checked through it; NO_PROXY exempts hosts; a proxy that refuses the
// connection or the tunnel fails the exchange before a byte of the request leaves.
TEST_F(SionClient, HttpsGoesThroughTheConfiguredProxy) {
    vondtest::TrustTestCa();
    vondtest::TempDir dir;
    Tinyproxy tinyproxy(dir.Path());
    if (!tinyproxy.Running()) GTEST_SKIP() << "tinyproxy is not installed";
    vondtest::RefusingPort refusing;
    LoopbackServer forbidding;
    forbidding.Reply("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
    LoopbackServer trusted(ServerCert::Trusted);
    trusted.Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    LoopbackServer otherHost(ServerCert::OtherHost);
    otherHost.Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");

    struct Case {
        const char* name;
        std::string proxy;
        std::string noProxy;
        const LoopbackServer* server;
        std::string expected;  // "" for success, else the start of the failure's text
        bool tunnelled;
    };
    const Case cases[] = {
        {"through tinyproxy", tinyproxy.Url(), "", &trusted, "", true},
        {"lowercase setting, port only", "127.0.0.1:" + tinyproxy.Url().substr(tinyproxy.Url().rfind(':') + 1),
         "example.invalid", &trusted, "", true},
        {"wrong name through tinyproxy", tinyproxy.Url(), "", &otherHost, sion::kCertificateMessage, true},
        {"proxy refuses the connection", refusing.Origin(), "", &trusted, "连接失败:", false},
        {"proxy refuses the tunnel", forbidding.Url(""), "", &trusted,
         std::string(sion::kProxyMessage) + "HTTP/1.1 403 Forbidden", false},
        {"NO_PROXY names the host", refusing.Origin(), "localhost, 127.0.0.1", &trusted, "", false},
        {"NO_PROXY is *", refusing.Origin(), "*", &trusted, "", false},
    };
    for (const Case& c : cases) {
        const bool lower = std::string(c.name).find("lowercase") != std::string::npos;
        vondtest::UnsetEnv("https_proxy");
        vondtest::UnsetEnv("HTTPS_PROXY");
        vondtest::UnsetEnv("no_proxy");
        vondtest::SetEnv(lower ? "https_proxy" : "HTTPS_PROXY", c.proxy);
        vondtest::SetEnv("NO_PROXY", c.noProxy);
        const std::size_t before = c.server->Requests().size();
        const std::size_t tunnelsBefore = CountOf(tinyproxy.Log(), "CONNECT");
        std::string failure;
        try {
            EXPECT_EQ("ok", Post("a=1").Send(c.server->Url("/p")).BodyText()) << c.name;
        } catch (const sion::Error& error) {
            failure = error.what();
        }
        EXPECT_EQ(0u, failure.find(c.expected)) << c.name << ": " << failure;
        EXPECT_EQ(c.expected.empty(), failure.empty()) << c.name << ": " << failure;
        if (c.expected.empty()) {
            ASSERT_TRUE(c.server->WaitRequests(before + 1)) << c.name;
            EXPECT_EQ("POST /p HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\na=1",
                      c.server->Requests()[before])
                << c.name;
        } else {
            EXPECT_EQ(before, c.server->Requests().size()) << c.name;
        }
        EXPECT_EQ(c.tunnelled, CountOf(tinyproxy.Log(), "CONNECT") > tunnelsBefore) << c.name;
        sion::ForgetKeptConnection();
    }
    EXPECT_TRUE(forbidding.WaitRequests(1));
    EXPECT_EQ(0u, forbidding.Requests()[0].find("CONNECT 127.0.0.1:" + std::to_string(trusted.Port()) +
                                                 " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(trusted.Port()) +
                                                 "\r\n\r\n"));
    vondtest::UnsetEnv("HTTPS_PROXY");
    vondtest::UnsetEnv("https_proxy");
    vondtest::UnsetEnv("NO_PROXY");
}

}  // namespace
#endif
