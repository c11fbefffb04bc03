// Text conversions at the exported boundary and the client identity.
#pragma once

#include <string>

#include "VondProxy.h"

namespace VondSdk {

// UTF-16 text from the game to UTF-8, cut at the first U+0000; unpaired surrogates become
// U+FFFD. Never throws.
std::string ToUtf8(const std::wstring& text);
// UTF-8 to wide text, cut at the first NUL; invalid bytes become U+FFFD. Never throws.
std::wstring ToWide(const std::string& text);

// Calls the game's callback unless it is null; an exception the game throws is logged and
// stopped here, so it never unwinds through a pool worker or the EOS tick. Inside the EOS tick
// the call waits until the SDK has released its locks (utils/GameCalls.h).
void AnswerGame(ResultCallback callback, int code, const std::wstring& message, const std::wstring& data);

class VondUtils {
public:
    // The machine's client id: the stored one, else the machine id or a random UUID without
    // dashes, stored for every game on the machine. Called during Init on the game's thread.
    static std::string GetClientId();
};

}  // namespace VondSdk
