#include "sim_files.h"

#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace eossim {

bool ReadWholeFile(const std::string& path, std::string& content) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::string text;
    char buffer[8192];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    if (ok) content.swap(text);
    return ok;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& content) {
#if defined(_WIN32)
    const std::string temp = path + ".tmp" + std::to_string(_getpid());
#else
    const std::string temp = path + ".tmp" + std::to_string(getpid());
#endif
    std::FILE* file = std::fopen(temp.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    ok = std::fflush(file) == 0 && ok;
#if defined(_WIN32)
    ok = _commit(_fileno(file)) == 0 && ok;
#else
    ok = fsync(fileno(file)) == 0 && ok;
#endif
    ok = std::fclose(file) == 0 && ok;
#if defined(_WIN32)
    ok = ok && MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
#endif
    if (!ok) std::remove(temp.c_str());
    return ok;
}

}  // namespace eossim
