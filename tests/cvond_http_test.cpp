// The backend call wrapper: how every kind of answer becomes an HttpResp.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "http/CVondHttp.h"
#include "support/LoopbackServer.h"

namespace VondSdk {
namespace {

sion::AsyncResponse Answer(const std::string& status, const std::string& body, const std::string& err = "") {
    sion::AsyncResponse response;
    response.resp.status_code = status;
    response.resp.body.assign(body.begin(), body.end());
    response.err = err;
    return response;
}

// The JSON library's own text for a failure, made independently of the wrapper.
template <typename F>
std::wstring JsonErrorText(F&& fail) {
    try {
        fail();
    } catch (const nlohmann::json::exception& e) {
        std::string text = e.what();
        return std::wstring(text.begin(), text.end());
    }
    return L"(no exception)";
}

TEST(CVondHttpTest, EnvelopeOfA200AnswerIsRead) {
    const std::string okBody = R"({"code":0,"msg":"ok","data":{}})";
    HttpResp ok = CVondHttp::ToHttpResp(Answer("200", okBody));
    EXPECT_EQ(ok.code, 0);
    EXPECT_EQ(ok.msg, L"ok");
    EXPECT_EQ(ok.data, L"{\"code\":0,\"msg\":\"ok\",\"data\":{}}");

    HttpResp message = CVondHttp::ToHttpResp(Answer("200", R"({"code":200,"message":"m"})"));
    EXPECT_EQ(message.code, 200);
    EXPECT_EQ(message.msg, L"m");

    HttpResp both = CVondHttp::ToHttpResp(Answer("200", R"({"message":"second","code":7,"msg":"first"})"));
    EXPECT_EQ(both.code, 7);
    EXPECT_EQ(both.msg, L"first");

    HttpResp neither = CVondHttp::ToHttpResp(Answer("200", R"({"code":-3,"token":"t"})"));
    EXPECT_EQ(neither.code, -3);
    EXPECT_EQ(neither.msg, L"");
    EXPECT_EQ(neither.data, L"{\"code\":-3,\"token\":\"t\"}");

    HttpResp wide = CVondHttp::ToHttpResp(Answer("200", "{\"code\":1,\"msg\":\"未登录\"}"));
    EXPECT_EQ(wide.msg, L"未登录");

    // Numbers the backend might write loosely still give the 32-bit code.
    EXPECT_EQ(CVondHttp::ToHttpResp(Answer("200", R"({"code":200.9})")).code, 200);
    EXPECT_EQ(CVondHttp::ToHttpResp(Answer("200", R"({"code":-2.7})")).code, -2);
    EXPECT_EQ(CVondHttp::ToHttpResp(Answer("200", R"({"code":true})")).code, 1);
    EXPECT_EQ(CVondHttp::ToHttpResp(Answer("200", R"({"code":-2147483648})")).code, -2147483647 - 1);
}

TEST(CVondHttpTest, UnreadableEnvelopeIs501WithTheJsonLibraryText) {
    HttpResp nullMsg = CVondHttp::ToHttpResp(Answer("200", R"({"code":0,"msg":null})"));
    EXPECT_EQ(nullMsg.code, -501);
    EXPECT_EQ(nullMsg.msg, JsonErrorText([] { nlohmann::json(nullptr).get<std::string>(); }));
    EXPECT_EQ(nullMsg.data, L"");

    HttpResp empty = CVondHttp::ToHttpResp(Answer("200", ""));
    EXPECT_EQ(empty.code, -501);
    EXPECT_EQ(empty.msg, JsonErrorText([] { nlohmann::json parsed = nlohmann::json::parse(""); }));
    EXPECT_EQ(empty.data, L"");

    const char* unreadable[] = {
        "<html>busy</html>",
        "[1,2]",
        R"({"msg":"no code"})",
        R"({"code":"200"})",
        R"({"code":null})",
        R"({"code":{}})",
        R"({"code":200,"message":5})",
        R"({"code":200,"msg":"ok")",
        // Codes that do not fit 32 bits must not wrap into another code: 4294967496
        // would otherwise read as 200, a success.
        R"({"code":4294967496})",
        R"({"code":-2147483649})",
        R"({"code":1e20})",
    };
    for (const char* body : unreadable) {
        HttpResp r = CVondHttp::ToHttpResp(Answer("200", body));
        EXPECT_EQ(r.code, -501) << body;
        EXPECT_EQ(r.msg.rfind(L"[json.exception.", 0), 0u) << body;
        EXPECT_EQ(r.data, L"") << body;
    }
}

TEST(CVondHttpTest, AnyStatusButExactly200Is502) {
    HttpResp notFound = CVondHttp::ToHttpResp(Answer("404", R"({"code":200,"msg":"ok"})"));
    EXPECT_EQ(notFound.code, -502);
    EXPECT_EQ(notFound.msg, L"Http Code:404, Msg:");
    EXPECT_EQ(notFound.data, L"");

    for (const char* status : {"201", "204", "500", "2000", "abc"}) {
        HttpResp r = CVondHttp::ToHttpResp(Answer(status, R"({"code":200})"));
        EXPECT_EQ(r.code, -502) << status;
        EXPECT_EQ(r.msg, L"Http Code:" +
                             std::wstring(status, status + std::char_traits<char>::length(status)) +
                             L", Msg:");
    }

    // A failed exchange has no status line at all: only the transport's text.
    HttpResp failed =
        CVondHttp::ToHttpResp(Answer("", "", "连接失败:\nHost:127.0.0.1\nIp:127.0.0.1\n错误码：111"));
    EXPECT_EQ(failed.code, -502);
    EXPECT_EQ(failed.msg, L"Http Code:, Msg:连接失败:\nHost:127.0.0.1\nIp:127.0.0.1\n错误码：111");
    EXPECT_EQ(failed.data, L"");
}

struct Delivery {
    HttpResp resp;
    std::thread::id thread;
};

// Posts through the pool and waits, with a bound, for the one callback.
bool PostAndWait(const std::string& url, const std::string& body, const sion::Header* header,
                 Delivery& delivery) {
    if (!sion::Pool().Started()) sion::Pool().Start();
    auto promise = std::make_shared<std::promise<Delivery>>();
    std::future<Delivery> future = promise->get_future();
    CVondHttp::PostCallback(
        url, body,
        [promise](HttpResp resp) {
            promise->set_value(Delivery{std::move(resp), std::this_thread::get_id()});
        },
        header);
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return false;
    delivery = future.get();
    return true;
}

TEST(CVondHttpTest, PostCallbackSendsAFormAndDeliversTheEnvelopeOnAWorker) {
    vondtest::LoopbackServer server;
    const std::string envelope = "{\"code\":200,\"msg\":\"成功\",\"userId\":5}";
    server.Reply("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(envelope.size()) + "\r\n\r\n" +
                 envelope);

    Delivery delivery;
    ASSERT_TRUE(PostAndWait(server.Url("/sdkapi/v9/pay/products.do"), "a=1&b=%E4", nullptr, delivery));
    EXPECT_EQ(delivery.resp.code, 200);
    EXPECT_EQ(delivery.resp.msg, L"成功");
    EXPECT_EQ(delivery.resp.data, L"{\"code\":200,\"msg\":\"成功\",\"userId\":5}");
    EXPECT_NE(delivery.thread, std::this_thread::get_id());

    ASSERT_TRUE(server.WaitRequests(1));
    EXPECT_EQ(server.Requests()[0],
              "POST /sdkapi/v9/pay/products.do HTTP/1.1\r\n"
              "content-type: application/x-www-form-urlencoded\r\n"
              "Host: 127.0.0.1\r\nContent-Length: 9\r\n\r\na=1&b=%E4");

    // A caller's own header list goes out unchanged, without the form type beside it.
    sion::Header plainText;
    plainText.Add("Content-Type", "text/plain;charset=UTF-8");
    ASSERT_TRUE(PostAndWait(server.Url("/data/h5/v1.do"), "{}", &plainText, delivery));
    ASSERT_TRUE(server.WaitRequests(2));
    EXPECT_EQ(server.Requests()[1],
              "POST /data/h5/v1.do HTTP/1.1\r\nContent-Type: text/plain;charset=UTF-8\r\n"
              "Host: 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}");
}

TEST(CVondHttpTest, PostCallbackReportsHttpAndTransportFailuresAs502) {
    vondtest::LoopbackServer server;
    server.Reply("HTTP/1.1 404 Not Found\r\nContent-Length: 12\r\n\r\n{\"code\":200}");
    Delivery delivery;
    ASSERT_TRUE(PostAndWait(server.Url("/missing"), "x=1", nullptr, delivery));
    EXPECT_EQ(delivery.resp.code, -502);
    EXPECT_EQ(delivery.resp.msg, L"Http Code:404, Msg:");
    EXPECT_EQ(delivery.resp.data, L"");

    // Nothing listens on port 1 of the loopback address.
    ASSERT_TRUE(PostAndWait("http://127.0.0.1:1/sdkapi/v20/init.do", "x=1", nullptr, delivery));
    EXPECT_EQ(delivery.resp.code, -502);
    const std::wstring prefix = L"Http Code:, Msg:";
    EXPECT_EQ(delivery.resp.msg.rfind(prefix, 0), 0u);
    EXPECT_NE(delivery.resp.msg.find(L"连接失败"), std::wstring::npos) << delivery.resp.msg.size();
    EXPECT_EQ(delivery.resp.data, L"");
}

}  // namespace
}  // namespace VondSdk
