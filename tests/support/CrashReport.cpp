// Windows test programs say where they crashed. A MinGW program that faults inside a
// destructor or a noexcept function, or that drops a joinable thread, ends with only
// "terminate called without an active exception"; these hooks add the faulting address and
// the calling frames as module+offset (addr2line -e <module> maps them to lines).
#ifdef _WIN32

// clang-format off
#include <windows.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

void Write(const char* text, int length) {
    if (length <= 0) return;
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written, nullptr);
}

// "name+0xoffset" for an address, or the bare address outside any module.
void Describe(const void* address, char* out, size_t size) {
    HMODULE module = nullptr;
    char name[MAX_PATH] = "?";
    if (::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             static_cast<LPCSTR>(address), &module) &&
        ::GetModuleFileNameA(module, name, MAX_PATH) > 0) {
        const char* base = name;
        for (const char* c = name; *c != '\0'; ++c) {
            if (*c == '\\' || *c == '/') base = c + 1;
        }
        std::snprintf(out, size, "%s+0x%llx", base,
                      static_cast<unsigned long long>(reinterpret_cast<const char*>(address) -
                                                      reinterpret_cast<const char*>(module)));
        return;
    }
    std::snprintf(out, size, "%p", address);
}

void WriteFrames(int skip) {
    void* frames[48] = {};
    const USHORT count = ::RtlCaptureStackBackTrace(static_cast<DWORD>(skip), 48, frames, nullptr);
    char line[MAX_PATH + 64];
    for (USHORT i = 0; i < count; ++i) {
        char where[MAX_PATH + 32];
        Describe(frames[i], where, sizeof(where));
        Write(line, std::snprintf(line, sizeof(line), "  #%u %s\n", static_cast<unsigned>(i), where));
    }
}

bool IsFault(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_ILLEGAL_INSTRUCTION:
        case EXCEPTION_PRIV_INSTRUCTION:
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
        case EXCEPTION_STACK_OVERFLOW:
        case EXCEPTION_DATATYPE_MISALIGNMENT:
            return true;
        default:
            return false;
    }
}

// First chance: the frames are still those of the fault. Reported, then left to whatever
// handles it.
LONG CALLBACK ReportFault(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (!IsFault(record->ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
    char where[MAX_PATH + 32];
    Describe(record->ExceptionAddress, where, sizeof(where));
    char line[MAX_PATH + 160];
    Write(line, std::snprintf(line, sizeof(line), "fault 0x%08lx at %s (data 0x%llx) on thread %lu\n",
                              static_cast<unsigned long>(record->ExceptionCode), where,
                              record->NumberParameters > 1
                                  ? static_cast<unsigned long long>(record->ExceptionInformation[1])
                                  : 0ULL,
                              static_cast<unsigned long>(::GetCurrentThreadId())));
    WriteFrames(1);
    return EXCEPTION_CONTINUE_SEARCH;
}

void ReportTerminate() {
    char line[96];
    Write(line, std::snprintf(line, sizeof(line), "std::terminate on thread %lu, called from:\n",
                              static_cast<unsigned long>(::GetCurrentThreadId())));
    WriteFrames(1);
    std::abort();
}

const bool kInstalled = [] {
    ::AddVectoredExceptionHandler(1, &ReportFault);
    std::set_terminate(&ReportTerminate);
    return true;
}();

}  // namespace

#endif  // _WIN32
