// The URL split against the pattern the client once matched with. They must agree on every
// short input; long ones (which the pattern could not take without deep recursion) only have
// to be split in one pass without a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "http/Sion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), size);
    sion::UrlParts parts;
    const bool split = sion::SplitUrl(url, parts);
    // The parts are the URL itself, cut: nothing dropped but the one ":" before the port.
    if (split) {
        const std::string head = parts.protocol + "://" + parts.host;
        const std::string tail = parts.port + parts.path;
        if (head + tail != url && head + ":" + tail != url) std::abort();
    }
    if (size > 256) return 0;

    static const std::regex pattern(R"(^(http|https)://([\w.-]*):?(\d*)(/?.*)$)", std::regex::ECMAScript);
    std::smatch match;
    const bool matched = std::regex_match(url, match, pattern);
    if (matched != split) std::abort();
    if (matched && (match[1].str() != parts.protocol || match[2].str() != parts.host ||
                    match[3].str() != parts.port || match[4].str() != parts.path))
        std::abort();
    return 0;
}
