// Configuration and attribution: the client configuration Init asks for, and the install
// attribution the SDK reports once per device.
#include "Backend.h"
#include "Endpoints.h"

namespace devserver {

using nlohmann::json;

Backend::Answer Backend::AnswerConfig(const App& app, const Form&, Answer answer) {
    answer.body = Envelope(kOk, "Success", app.clientConfig);
    return answer;
}

Backend::Answer Backend::AnswerAttribution(const App& app, const Form& form, Answer answer) {
    json recorded = json::object();
    for (const auto& [name, v] : form) recorded[name] = v;
    const bool first = store_.RecordAttribution(app.appId, FormText(form, "clientId"), Dump(recorded));
    answer.verdict = first ? "ok" : "ok-repeat";
    answer.body = Envelope(kOk, "Success");
    return answer;
}

}  // namespace devserver
