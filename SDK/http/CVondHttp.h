// CVondHttp: the one door to the backend. Posts a ready-made body on the request pool and
// turns the answer into an HttpResp by reading the backend's JSON envelope.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "http/Sion.h"
#include "http/SionAsync.h"

namespace VondSdk {

// The outcome of one backend call.
//   code: the envelope's "code" (HTTP 200 and a readable envelope), -501 (HTTP 200 but
//         the body is not a readable envelope), -502 (any other status, or a failed exchange)
//   msg:  the envelope's "msg" (else "message"), the JSON error text, or the transport text
//   data: the whole body when code comes from the envelope; empty otherwise
//   httpStatus: the answer's HTTP status, 0 when the exchange failed (a refusal of the
//         request itself, 413 or 400, tells a caller not to send the same body again)
struct HttpResp {
    int32_t code = 0;
    std::wstring msg;
    std::wstring data;
    int32_t httpStatus = 0;
};

class CVondHttp {
public:
    using Callback = std::function<void(HttpResp)>;

    // Queues a POST of data to url on sion::Pool() and returns at once. callback runs exactly
    // once, on a pool worker thread, unless the pool is stopped first (then never). With no
    // header the body goes out as a form; a caller's header list is sent unchanged and only
    // needs to live for the duration of this call. lane: sion::Lane::Background for work that
    // may wait behind every other request (analytics). Callable from any thread.
    static void PostCallback(const std::string& url, const std::string& data, Callback callback,
                             const sion::Header* header = nullptr, sion::Lane lane = sion::Lane::Foreground);

    // Reads the pool's outcome of one exchange as an HttpResp. Pure; never throws.
    static HttpResp ToHttpResp(const sion::AsyncResponse& response);

private:
    // The completion the pool runs: logs the answer, converts it and calls callback.
    static sion::Completion SionCallback(Callback callback, std::string url);
};

}  // namespace VondSdk
