// The account: login with the player's Epic account, answered with the backend's user id and
// a fresh token.
#include <openssl/rand.h>

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <vector>

#include "Backend.h"
#include "Endpoints.h"

namespace devserver {
namespace {

std::string RandomHex(size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1)
        throw std::runtime_error("no random bytes");
    std::string hex;
    char byte[3];
    for (unsigned char b : raw) {
        std::snprintf(byte, sizeof byte, "%02x", b);
        hex += byte;
    }
    return hex;
}

}  // namespace

Backend::Answer Backend::AnswerLogin(const App&, const Form& form, Answer answer) {
    if (FormText(form, "puserId").empty())
        return Refused(answer, kBadParameter, "bad-parameter", "Bad Param: puserId");
    if (FormText(form, "accessToken").empty())
        return Refused(answer, kBadParameter, "bad-parameter", "Bad Param: accessToken");
    std::optional<int64_t> configured;
    auto mapped = epicAccounts_.find(FormText(form, "puserId"));
    if (mapped != epicAccounts_.end()) configured = mapped->second;
    const std::string token = RandomHex(16);
    const int64_t userId = store_.LoginUser(FormText(form, "puserId"), configured, firstUserId_, token);
    answer.body = Envelope(kOk, "Success", {{"token", token}, {"userId", userId}});
    return answer;
}

}  // namespace devserver
