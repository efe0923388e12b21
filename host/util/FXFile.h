// File helpers of the host framework. Where an error text is asked for, it is
// the system's message for the failure (e.g. "No such file or directory").
#pragma once

#include <cstdint>
#include <string>

class FXFile {
public:
    // True when `path` names a regular file (following symbolic links).
    static bool DoesFileExist(const std::string& path);

    // Removes the file at `path`. True when it is gone afterwards, also when
    // there was none; false for a folder or when removal fails.
    static bool RemoveFile(const std::string& path, std::string* error = nullptr);

    // Logical size in bytes of the file at `path` (holes of a sparse file count).
    // False, with `size` untouched, when `path` is missing or not a regular file.
    static bool NXGetFileSize(const std::string& path, std::uint64_t& size, std::string* error = nullptr);
};
