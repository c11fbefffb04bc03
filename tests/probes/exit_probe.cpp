// A game in miniature that ends in one of the ways games end:
//   (no argument)      starts the SDK and returns from main without calling Exit
//   unload <library>   loads the library itself, starts it, posts events, calls Exit and
//                      unloads the library before returning (built as vond_unload_probe,
//                      which is not linked against the library, so the unload is real)
// Its process must still end, without a crash: the test that starts it waits for that.
#ifndef VOND_UNLOAD_ONLY
#include <VondProxy.h>
#endif
#include <vondsdk_c.h>

#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

#ifndef VOND_UNLOAD_ONLY
void Report(int code, std::wstring, std::wstring) {
    std::printf("callback %d\n", code);
}
#endif

using InitFn = void(VONDSDK_C_CALL*)(const char*, const char*, VondResultCallback, void*);
using PostEventFn = void(VONDSDK_C_CALL*)(const char*, const char*, double);
using ExitFn = void(VONDSDK_C_CALL*)();

#ifdef _WIN32
void* Load(const char* path) {
    return reinterpret_cast<void*>(::LoadLibraryA(path));
}
void* Find(void* library, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}
bool Unload(void* library) {
    return ::FreeLibrary(static_cast<HMODULE>(library)) != 0;
}
#else
void* Load(const char* path) {
    return ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
}
void* Find(void* library, const char* name) {
    return ::dlsym(library, name);
}
bool Unload(void* library) {
    return ::dlclose(library) == 0;
}
#endif

int LoadRunUnload(const char* path) {
    void* library = Load(path);
    if (library == nullptr) {
        std::printf("cannot load %s\n", path);
        return 3;
    }
    auto init = reinterpret_cast<InitFn>(Find(library, "vond_init"));
    auto post = reinterpret_cast<PostEventFn>(Find(library, "vond_post_event"));
    auto exit = reinterpret_cast<ExitFn>(Find(library, "vond_exit"));
    if (init == nullptr || post == nullptr || exit == nullptr) return 4;
    init("exit-probe", "key", nullptr, nullptr);
    for (int i = 0; i < 50; ++i) post("unload", "{\"a\":1}", 1.0);
    exit();
    if (!Unload(library)) return 5;
    std::printf("unloaded\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "unload") == 0) return LoadRunUnload(argv[2]);
#ifdef VOND_UNLOAD_ONLY
    std::printf("usage: vond_unload_probe unload <library>\n");
    return 2;
#else
    VondProxy::Init(L"exit-probe", L"key", &Report);
    std::printf("ending without Exit\n");
    std::fflush(stdout);
    return 0;
#endif
}
