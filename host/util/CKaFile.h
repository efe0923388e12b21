// Whole-file access of the host framework.
#pragma once

#include <string>

class CKaFile {
public:
    // Reads the file at `path` into `content` (bytes as they are). On failure
    // `content` is left untouched and `error` gets the system's message.
    static bool ReadWholeFile(const std::string& path, std::string& content, std::string* error = nullptr);
};
