// The stand-in's file access: whole-file reads and atomic replacement.
#pragma once

#include <string>

namespace eossim {

bool ReadWholeFile(const std::string& path, std::string& content);
// Writes a temporary file beside path, flushes it to disk and renames it over path, so a
// reader (another game process) sees the old or the new state, never a part of one.
bool ReplaceFileAtomically(const std::string& path, const std::string& content);

}  // namespace eossim
