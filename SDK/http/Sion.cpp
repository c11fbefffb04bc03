// The HTTP/1.1 client's request: its URL read, its text built, and the exchange run over a
// channel (SocketConnection.h, TLS from TlsChannel.h), every wait bounded; the answer framed by
// the response reader (ResponseReader.h).
#include "http/Sion.h"

#include "http/SocketConnection.h"
#include "http/TlsChannel.h"

namespace sion {

const char* const kConnectTimeoutMessage = "连接超时";
const char* const kIoTimeoutMessage = "网络读写超时";
const char* const kTlsHandshakeMessage = "TLS握手失败";
const char* const kCertificateMessage = "证书验证失败:";
const char* const kBadPortMessage = "端口超出范围";
const char* const kSocketMessage = "创建socket失败";
const char* const kCancelledMessage = "请求已取消";
const char* const kExchangeTimeoutMessage = "请求总时长超时";
const char* const kProxyMessage = "代理连接失败:";

namespace {

using detail::CheckOrThrow;

constexpr const char* kNoMethodMessage = "请求方法未定义";
constexpr const char* kBadUrlMessage = "url格式不对或者是用了除http(s)外的协议";

bool IsUrlHostChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-';
}

}  // namespace

bool SplitUrl(const std::string& url, UrlParts& parts) {
    std::size_t at = 0;
    if (url.compare(0, 7, "http://") == 0) {
        parts.protocol = "http";
        at = 7;
    } else if (url.compare(0, 8, "https://") == 0) {
        parts.protocol = "https";
        at = 8;
    } else {
        return false;
    }
    // Host, port and path are all that may follow, and none of them holds a line break.
    if (url.find_first_of("\r\n", at) != std::string::npos) return false;
    std::size_t hostEnd = at;
    while (hostEnd < url.size() && IsUrlHostChar(url[hostEnd])) ++hostEnd;
    std::size_t portBegin = hostEnd < url.size() && url[hostEnd] == ':' ? hostEnd + 1 : hostEnd;
    std::size_t portEnd = portBegin;
    while (portEnd < url.size() && url[portEnd] >= '0' && url[portEnd] <= '9') ++portEnd;
    parts.host = url.substr(at, hostEnd - at);
    parts.port = url.substr(portBegin, portEnd - portBegin);
    parts.path = url.substr(portEnd);
    return true;
}

Request::Request() : version("HTTP/1.1") {}

Request& Request::SetUrl(const std::string& value) {
    url = value;
    return *this;
}

Request& Request::SetBody(const std::string& value) {
    body.assign(value.begin(), value.end());
    return *this;
}

Request& Request::SetHeader(const Header& value) {
    header = value;
    return *this;
}

Request& Request::SetMethod(Method value) {
    switch (value) {
        case Method::Get:
            method = "GET";
            break;
        case Method::Post:
            method = "POST";
            break;
        case Method::Put:
            method = "PUT";
            break;
        case Method::Delete:
            method = "DELETE";
            break;
        default:
            break;
    }
    return *this;
}

Response Request::Send(const std::string& target) {
    return Send(target, nullptr);
}

Response Request::Send(const std::string& target, const std::atomic<bool>* cancel) {
    CheckOrThrow<std::invalid_argument>(!method.empty(), kNoMethodMessage);
    UrlParts parts;
    CheckOrThrow<std::invalid_argument>(SplitUrl(target, parts), kBadUrlMessage);
    protocol = parts.protocol;
    if (parts.port.empty()) {
        port = protocol == "http" ? 80 : 443;
    } else {
        port = detail::Stoi(parts.port, 10);
        // htons would silently fold a larger number onto some other port.
        CheckOrThrow<std::out_of_range>(port <= 65535, kBadPortMessage);
    }
    host = parts.host;
    path = parts.path.empty() ? std::string("/") : parts.path;

    detail::NetworkSession session;
    try {
        // https goes through the proxy the system names, in a CONNECT tunnel; the backend's
        // certificate and name are checked through it as on a direct connection.
        detail::Channel channel(cancel);
        VondSdk::net::ProxyAddress proxy;
        const bool viaProxy = protocol == "https" && channel.FindProxy(target, host, proxy);
        const std::string origin = protocol + "://" + host + ":" + std::to_string(port) +
                                   (viaProxy ? " via " + proxy.host + ":" + std::to_string(proxy.port) : "");
        // A kept connection is used only when the server has not closed it meanwhile; once a
        // byte of the request is written nothing is ever sent again, since the server may
        // have received it (a create-order or a pay-result must not arrive twice).
        if (!channel.AdoptKept(origin, ip)) {
            if (viaProxy) {
                channel.Connect(proxy.host, ip, proxy.port);
                channel.Tunnel(host, port);
            } else {
                channel.Connect(host, ip, port);
            }
        }

        header.Add("Host", host);
        header.Add("Content-Length", std::to_string(body.size()));
        std::string text = method + " " + path + " " + version + "\r\n";
        for (const auto& pair : header.Pairs()) text += pair.first + ": " + pair.second + "\r\n";
        text += "\r\n";
        source.insert(source.end(), text.begin(), text.end());
        source.insert(source.end(), body.begin(), body.end());

        if (protocol != "http" && !channel.Secure())
            detail::StartTls(channel.Current(), host, origin, channel.ExchangeBounds());
        channel.Write(source);
        bool reusable = false;
        Response response = ReadResponse(
            [&channel](char* buffer, std::size_t size) { return channel.Read(buffer, size); }, reusable);
        if (reusable) channel.Keep(origin);
        return response;
    } catch (const std::exception& failure) {
        throw Error(failure.what());
    }
}

}  // namespace sion
