// Text conversions at the exported boundary and the client identity.
#pragma once

#include <string>

namespace VondSdk {

// UTF-16 text from the game to UTF-8, cut at the first U+0000; unpaired surrogates become
// U+FFFD. Never throws.
std::string ToUtf8(const std::wstring& text);
// UTF-8 to wide text, cut at the first NUL; invalid bytes become U+FFFD. Never throws.
std::wstring ToWide(const std::string& text);

class VondUtils {
public:
    // The machine's client id: the stored one, else the machine id or a random UUID without
    // dashes, stored for every game on the machine. Called during Init on the game's thread.
    static std::string GetClientId();
};

}  // namespace VondSdk
