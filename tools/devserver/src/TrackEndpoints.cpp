// Tracking events: the analytics endpoint, which takes an event as a JSON object (unsigned)
// and counts a repeat of one it already has.
#include "Backend.h"
#include "Endpoints.h"

namespace devserver {

using nlohmann::json;

Backend::Answer Backend::ProcessTrack(const std::string& appId, const std::string& body) {
    Answer answer;
    answer.signature = "unsigned";
    json event = json::parse(body, nullptr, false);
    if (!event.is_object()) {
        answer.verdict = "bad-event";
        answer.body = Envelope(kBadEvent, "Event body is not a JSON object");
        return answer;
    }
    auto text = [&event](const char* key) {
        auto it = event.find(key);
        return it != event.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    // A client that sends an event again (its acknowledgement was lost) is answered as the
    // first time; the repeat is only counted.
    store_.AddEvent(appId, text("deviceId"), text("eventOrder"), Dump(event));
    answer.verdict = "ok";
    answer.body = Envelope(kOk, "Success");
    return answer;
}

}  // namespace devserver
