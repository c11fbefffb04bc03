#include "http/CVondHttp.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <nlohmann/json.hpp>
#include <sstream>
#include <utility>

#include "easylogging++.h"
#include "utils/VondJson.h"
#include "utils/VondUtils.h"

namespace VondSdk {
namespace {

constexpr int32_t kEnvelopeUnreadable = -501;
constexpr int32_t kExchangeFailed = -502;
constexpr const char* kFormContentTypeName = "content-type";
constexpr const char* kFormContentType = "application/x-www-form-urlencoded";

// The status line's code is kept as text by the client; anything that is not a number
// (including the empty text of a failed exchange) reads as 0, never as success.
long StatusNumber(const std::string& text) {
    errno = 0;
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (errno == ERANGE) return 0;
    return value;
}

// The envelope's code as a 32-bit integer. A value that does not fit would otherwise wrap
// (or, for a floating-point value, be undefined) and could turn into a success code.
int32_t EnvelopeCode(const nlohmann::json& envelope) {
    const nlohmann::json& code = envelope.at("code");
    if (code.is_number_float()) {
        double value = code.get<double>();
        if (!(value > double(INT32_MIN) - 1.0 && value < double(INT32_MAX) + 1.0)) {
            throw nlohmann::json::out_of_range::create(
                406, "number overflow reading code as a 32-bit integer", &code);
        }
        return static_cast<int32_t>(std::trunc(value));
    }
    if (code.is_number_integer()) return static_cast<int32_t>(IntegerIn(code, INT32_MIN, INT32_MAX, "code"));
    // Booleans read as 0 or 1; strings, null, objects and arrays raise the library's
    // type error.
    return code.get<int32_t>();
}

HttpResp ReadEnvelope(const std::string& body) {
    HttpResp result;
    try {
        nlohmann::json envelope = nlohmann::json::parse(body);
        result.code = EnvelopeCode(envelope);
        if (envelope.contains("msg")) {
            result.msg = ToWide(envelope.at("msg").get<std::string>());
        } else if (envelope.contains("message")) {
            result.msg = ToWide(envelope.at("message").get<std::string>());
        }
        result.data = ToWide(body);
    } catch (const std::exception& e) {
        result.code = kEnvelopeUnreadable;
        result.msg = ToWide(e.what());
        result.data.clear();
    }
    return result;
}

}  // namespace

HttpResp CVondHttp::ToHttpResp(const sion::AsyncResponse& response) {
    const long status = StatusNumber(response.resp.StatusCode());
    if (status == 200) {
        HttpResp result = ReadEnvelope(response.resp.BodyText());
        result.httpStatus = 200;
        return result;
    }
    HttpResp result;
    // A status line is three digits; anything else is no answer at all.
    result.httpStatus = status >= 100 && status <= 999 ? static_cast<int32_t>(status) : 0;
    result.code = kExchangeFailed;
    result.msg = ToWide("Http Code:" + response.resp.StatusCode() + ", Msg:" + response.err);
    return result;
}

sion::Completion CVondHttp::SionCallback(Callback callback, std::string url) {
    return [callback = std::move(callback), url = std::move(url)](sion::AsyncResponse response) {
        long status = StatusNumber(response.resp.StatusCode());
        std::ostringstream line;
        line << "\n请求地址:" << url << "     响应:" << status << "\n";
        if (status == 200) line << "请求结果:" << response.resp.BodyText();
        line << "\n";
        LOG(INFO) << line.str();

        HttpResp result = ToHttpResp(response);
        if (callback) callback(std::move(result));
    };
}

void CVondHttp::PostCallback(const std::string& url, const std::string& data, Callback callback,
                             const sion::Header* header, sion::Lane lane) {
    sion::Header formHeader;
    if (header == nullptr) {
        formHeader.Add(kFormContentTypeName, kFormContentType);
        header = &formHeader;
    }
    LOG(INFO) << "\n请求地址：" << url << "\n请求数据：" << data << "\n";

    sion::Completion completion = SionCallback(std::move(callback), url);
    // The builder runs inside Enqueue, so the header and the strings are still alive.
    sion::Pool().Enqueue(
        [&url, &data, header]() {
            sion::Request request;
            request.SetUrl(url).SetBody(data).SetHeader(*header).SetMethod(sion::Method::Post);
            return request;
        },
        std::move(completion), lane);
}

}  // namespace VondSdk
