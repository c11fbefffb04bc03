// vond_sample_game: a console game that uses the SDK the way a shipped title does.
//
// It is linked against vondsdk_mt, started with launcher-style arguments (as the Epic
// launcher starts a game), and runs a fixed-rate game loop that calls UpdateSDKEvent every
// frame. Along the way it calls every exported function: both forms of Init, the four
// setters, Login, QueryProducts, CallPay for a product from the list, PostEvent (a reserved
// and a custom event) and Exit. Every callback is printed as it arrives, with the frame and
// the thread it came on; a one-screen summary ends the run.
//
//   vond_sample_game [--app-id=ID] [--app-key=KEY] [--product=ID] [--fps=N] [--timeout=SECONDS]
//                    -AUTH_PASSWORD=<exchange code> -AUTH_TYPE=exchangecode
//                    -epicsandboxid=<id> -epicdeploymentid=<id> [other launcher arguments]
//
// The SDK reads the launcher arguments from the process's command line itself; the game only
// shows them. Exit code 0 when the purchase was confirmed (pay result "status" 1), 1 otherwise.
#include <VondProxy.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// ---- text helpers -------------------------------------------------------------------------

// The SDK's texts are UTF-16 (Windows) or UTF-32 (elsewhere) wide strings; the console gets
// UTF-8 (Chinese messages included).
std::string Utf8(const std::wstring& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned long c = static_cast<unsigned long>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned long>(text[++i]) - 0xDC00);
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Game text is ASCII or UTF-8 here; the SDK wants wide text.
std::wstring Wide(const std::string& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        unsigned long c = b;
        int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
        if (extra > 0) c = b & (0x3F >> extra);
        ++i;
        for (; extra > 0 && i < text.size(); --extra, ++i) c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        if (sizeof(wchar_t) == 2 && c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (c >> 10));
            out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<wchar_t>(c);
        }
    }
    return out;
}

// Re-indents a JSON text for reading; text that is not JSON comes out as it went in.
std::string PrettyJson(const std::string& json, const std::string& margin) {
    if (json.empty() || (json[0] != '{' && json[0] != '[')) return margin + json;
    std::string out = margin;
    int depth = 0;
    bool inString = false;
    auto newline = [&] { out += "\n" + margin + std::string(static_cast<size_t>(depth) * 2, ' '); };
    for (size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            out += c;
            if (c == '\\' && i + 1 < json.size()) {
                out += json[++i];
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            out += c;
            break;
        case '{':
        case '[':
            out += c;
            if (i + 1 < json.size() && (json[i + 1] == '}' || json[i + 1] == ']')) {
                out += json[++i];
                break;
            }
            ++depth;
            newline();
            break;
        case '}':
        case ']':
            --depth;
            newline();
            out += c;
            break;
        case ',':
            out += c;
            newline();
            break;
        case ':':
            out += ": ";
            break;
        case ' ':
        case '\n':
        case '\r':
        case '\t':
            break;
        default:
            out += c;
        }
    }
    return out;
}

// The string values of every member named key, in order ("productId" of each product).
std::vector<std::string> StringMembers(const std::string& json, const std::string& key) {
    std::vector<std::string> values;
    const std::string needle = "\"" + key + "\":\"";
    for (size_t at = json.find(needle); at != std::string::npos; at = json.find(needle, at + 1)) {
        const size_t start = at + needle.size();
        size_t end = start;
        while (end < json.size() && json[end] != '"') end += json[end] == '\\' ? 2 : 1;
        values.push_back(json.substr(start, end - start));
    }
    return values;
}

// The number member named key, or fallback.
long long NumberMember(const std::string& json, const std::string& key, long long fallback) {
    const std::string needle = "\"" + key + "\":";
    const size_t at = json.find(needle);
    if (at == std::string::npos) return fallback;
    return std::strtoll(json.c_str() + at + needle.size(), nullptr, 10);
}

// ---- what the game heard ------------------------------------------------------------------

enum class Op { Init, InitShort, Login, QueryProducts, CallPay };

const char* OpName(Op op) {
    switch (op) {
    case Op::Init: return "Init";
    case Op::InitShort: return "Init (short form)";
    case Op::Login: return "Login";
    case Op::QueryProducts: return "QueryProducts";
    case Op::CallPay: return "CallPay";
    }
    return "?";
}

struct Result {
    Op op;
    int code;
    std::string message;
    std::string data;
    std::string thread;
    long frame;
};

std::mutex g_mutex;  // guards everything below: callbacks arrive on the SDK's threads
std::vector<Result> g_results;
std::map<std::thread::id, int> g_threadNumbers;
std::thread::id g_mainThread;
long g_frame = 0;  // written by the main thread, read under the lock
thread_local bool t_insideUpdate = false;

std::string ThreadLabel() {
    const std::thread::id self = std::this_thread::get_id();
    if (self == g_mainThread) return t_insideUpdate ? "main thread, inside UpdateSDKEvent" : "main thread";
    auto it = g_threadNumbers.find(self);
    if (it == g_threadNumbers.end()) it = g_threadNumbers.emplace(self, static_cast<int>(g_threadNumbers.size()) + 1).first;
    return "SDK thread #" + std::to_string(it->second);
}

void Record(Op op, int code, const std::wstring& message, const std::wstring& data) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Result result{op, code, Utf8(message), Utf8(data), ThreadLabel(), g_frame};
    std::printf("\n[frame %ld | %s] %s -> code %d, message \"%s\"\n", result.frame, result.thread.c_str(), OpName(op),
                code, result.message.c_str());
    if (!result.data.empty()) std::printf("%s\n", PrettyJson(result.data, "    ").c_str());
    std::fflush(stdout);
    g_results.push_back(std::move(result));
}

// The SDK wants plain function pointers, one per kind of operation.
void OnInit(int code, std::wstring message, std::wstring data) { Record(Op::Init, code, message, data); }
void OnInitShort(int code, std::wstring message, std::wstring data) { Record(Op::InitShort, code, message, data); }
void OnLogin(int code, std::wstring message, std::wstring data) { Record(Op::Login, code, message, data); }
void OnProducts(int code, std::wstring message, std::wstring data) { Record(Op::QueryProducts, code, message, data); }
void OnPay(int code, std::wstring message, std::wstring data) { Record(Op::CallPay, code, message, data); }

// The last result of op that is not a preliminary report, if any.
bool LastResult(Op op, Result& out) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto it = g_results.rbegin(); it != g_results.rend(); ++it) {
        if (it->op == op) {
            out = *it;
            return true;
        }
    }
    return false;
}

// ---- arguments ----------------------------------------------------------------------------

struct Options {
    std::string appId = "1001";
    std::string appKey = "demo-app-key";
    std::string product;
    int fps = 60;
    int timeoutSeconds = 60;
    std::vector<std::pair<std::string, std::string>> launcher;  // shown, not used
};

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name, std::string& into) {
            const std::string prefix = std::string(name) + "=";
            if (arg.rfind(prefix, 0) != 0) return false;
            into = arg.substr(prefix.size());
            return true;
        };
        std::string number;
        if (value("--app-id", options.appId) || value("--app-key", options.appKey) ||
            value("--product", options.product)) {
            continue;
        }
        if (value("--fps", number)) {
            options.fps = std::atoi(number.c_str());
        } else if (value("--timeout", number)) {
            options.timeoutSeconds = std::atoi(number.c_str());
        } else if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') {
            const size_t eq = arg.find('=');
            options.launcher.emplace_back(arg.substr(1, eq == std::string::npos ? std::string::npos : eq - 1),
                                          eq == std::string::npos ? "" : arg.substr(eq + 1));
        } else {
            std::fprintf(stderr, "unknown argument: %s\n", arg.c_str());
            return false;
        }
    }
    return options.fps > 0 && options.fps <= 1000 && options.timeoutSeconds > 0;
}

std::string LauncherValue(const Options& options, const std::string& name) {
    for (const auto& option : options.launcher) {
        if (option.first == name) return option.second;
    }
    return std::string();
}

std::string EnvOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

// ---- the game -----------------------------------------------------------------------------

enum class Stage { LoggingIn, ListingProducts, Buying, Settling, Done };

void PrintSummary(const Options& options, const std::string& product, const std::vector<std::string>& events,
                  long frames, double seconds, bool confirmed) {
    std::printf("\n==================== vondsdk sample game: summary ====================\n");
    std::printf(" app id        %s\n", options.appId.c_str());
    std::printf(" backend       %s\n", EnvOr("VOND_SDK_ORIGIN", "(built-in origin)").c_str());
    const std::string code = LauncherValue(options, "AUTH_PASSWORD");
    std::printf(" launcher      exchange code %s, sandbox %s, deployment %s\n",
                code.empty() ? "(none: not started by the launcher)" : code.c_str(),
                LauncherValue(options, "epicsandboxid").c_str(), LauncherValue(options, "epicdeploymentid").c_str());
    for (Op op : {Op::Init, Op::InitShort, Op::Login, Op::QueryProducts, Op::CallPay}) {
        Result result{};
        if (!LastResult(op, result)) {
            std::printf(" %-17s (not reached)\n", OpName(op));
            continue;
        }
        std::string message = result.message;  // one line per operation
        for (char& c : message) {
            if (c == '\n' || c == '\r') c = ' ';
        }
        std::printf(" %-17s %5d  %-34s  %s\n", OpName(op), result.code, message.c_str(), result.thread.c_str());
    }
    Result products{};
    if (LastResult(Op::QueryProducts, products)) {
        const auto ids = StringMembers(products.data, "productId");
        std::string list;
        for (const auto& id : ids) list += (list.empty() ? "" : ", ") + id;
        std::printf(" products      %zu: %s\n", ids.size(), list.c_str());
    }
    Result pay{};
    if (LastResult(Op::CallPay, pay)) {
        const auto orders = StringMembers(pay.data, "orderId");
        const auto currency = StringMembers(pay.data, "currency");
        std::printf(" purchase      %s, order %s, amount %lld %s, status %lld\n", product.c_str(),
                    orders.empty() ? "-" : orders[0].c_str(), NumberMember(pay.data, "amount", 0),
                    currency.empty() ? "" : currency[0].c_str(), NumberMember(pay.data, "status", 0));
    }
    std::string posted;
    for (const auto& event : events) posted += (posted.empty() ? "" : ", ") + event;
    std::printf(" events        %s\n", posted.c_str());
    std::printf(" frames        %ld at %d fps (%.1f s)\n", frames, options.fps, seconds);
    std::printf(" result        %s\n", confirmed ? "PURCHASE CONFIRMED" : "no confirmed purchase");
    std::printf("=======================================================================\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
#endif
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s [--app-id=ID] [--app-key=KEY] [--product=ID] [--fps=N] [--timeout=SECONDS] "
                     "[-AUTH_PASSWORD=<code> -epicsandboxid=<id> -epicdeploymentid=<id> ...]\n",
                     argv[0]);
        return 2;
    }
    g_mainThread = std::this_thread::get_id();
    std::printf("vondsdk sample game: app %s, %d fps\n", options.appId.c_str(), options.fps);
    for (const auto& option : options.launcher) {
        std::printf("  launcher argument %s = %s\n", option.first.c_str(), option.second.c_str());
    }

    // Start-up blocks until the backend's client configuration has answered. The long form
    // takes what the game knows of its EOS identifiers; empty fields are filled by the SDK.
    auto gameInfo = std::make_shared<EosGameInfo>();
    gameInfo->productVersion = "1.0.0";
    VondProxy::Init(Wide(options.appId), Wide(options.appKey), gameInfo, &OnInit);
    // The short form again: a started SDK only answers "Sdk already init.".
    VondProxy::Init(Wide(options.appId), Wide(options.appKey), &OnInitShort);
    std::printf("\nEOS product %s, sandbox %s, deployment %s\n", gameInfo->productId.c_str(),
                gameInfo->sandboxId.c_str(), gameInfo->deploymentId.c_str());

    VondProxy::SetServerId(L"s1");
    VondProxy::SetGameUserId(L"player-42");
    VondProxy::SetNickName(L"\x52C7\x8005");  // 勇者
    VondProxy::SetLevel(7);
    std::vector<std::string> events;
    VondProxy::PostEvent(L"qlx_level_achieved", L"", 7);
    events.push_back("qlx_level_achieved");
    VondProxy::PostEvent(L"tutorial_done", L"{\"step\":3}", 1.0);
    events.push_back("tutorial_done");

    Result init{};
    Stage stage = Stage::Done;
    if (LastResult(Op::Init, init) && init.code == 200) {
        VondProxy::Login(&OnLogin);
        stage = Stage::LoggingIn;
    }

    const auto frameTime = std::chrono::microseconds(1000000 / options.fps);
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + std::chrono::seconds(options.timeoutSeconds);
    auto nextFrame = started;
    std::string product;
    bool confirmed = false;
    long settleFrames = 0;
    long frames = 0;
    while (stage != Stage::Done && std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_frame = ++frames;
        }
        t_insideUpdate = true;
        VondProxy::UpdateSDKEvent();
        t_insideUpdate = false;

        // The game's own frame logic: one step of the purchase journey at a time.
        Result result{};
        switch (stage) {
        case Stage::LoggingIn:
            if (LastResult(Op::Login, result)) {
                if (result.code == 200) {
                    VondProxy::QueryProducts(&OnProducts);
                    stage = Stage::ListingProducts;
                } else {
                    stage = Stage::Done;
                }
            }
            break;
        case Stage::ListingProducts:
            if (LastResult(Op::QueryProducts, result)) {
                const auto ids = StringMembers(result.data, "productId");
                product = ids.empty() ? std::string() : ids[0];
                for (const auto& id : ids) {
                    if (id == options.product) product = id;
                }
                if (result.code == 200 && !product.empty()) {
                    std::printf("\nbuying %s\n", product.c_str());
                    VondProxy::CallPay(Wide(product), L"{\"from\":\"sample_game\"}", &OnPay);
                    stage = Stage::Buying;
                } else {
                    stage = Stage::Done;
                }
            }
            break;
        case Stage::Buying:
            if (LastResult(Op::CallPay, result)) {
                confirmed = result.code == 200 && NumberMember(result.data, "status", 0) == 1;
                if (confirmed) {
                    VondProxy::PostEvent(L"purchase_done", L"{\"productId\":\"" + Wide(product) + L"\"}", 1.0);
                    events.push_back("purchase_done");
                }
                // The entitlement is redeemed in the frames after the report: keep pumping
                // for a moment, as a game keeps running after a purchase.
                settleFrames = options.fps;
                stage = Stage::Settling;
            }
            break;
        case Stage::Settling:
            if (--settleFrames <= 0) stage = Stage::Done;
            break;
        case Stage::Done:
            break;
        }

        nextFrame += frameTime;
        std::this_thread::sleep_until(nextFrame);
    }
    if (stage != Stage::Done) std::printf("\ntime-out after %d s\n", options.timeoutSeconds);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    VondProxy::Exit();
    PrintSummary(options, product, events, frames, seconds, confirmed);
    return confirmed ? 0 : 1;
}
