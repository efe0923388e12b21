#include "host/util/FileSystem.h"

#include <filesystem>
#include <system_error>

#include "host/util/ErrorText.h"

namespace fs = std::filesystem;

bool DeleteDirRecursively(const std::string& path, std::string* error) {
    std::error_code code;
    const fs::file_status status = fs::symlink_status(path, code);
    if (status.type() == fs::file_type::not_found) {
        return true;
    }
    if (code) {
        return FailWithErrorText(code, error);
    }
    if (!fs::is_directory(status)) {
        return FailWithErrorText(std::make_error_code(std::errc::not_a_directory), error);
    }
    fs::remove_all(path, code);
    return code ? FailWithErrorText(code, error) : true;
}

bool CreateFolderIfNotPresent(const std::string& path, std::string* error) {
    std::error_code code;
    fs::create_directories(path, code);
    if (code) {
        return FailWithErrorText(code, error);
    }
    if (!fs::is_directory(path, code)) {
        return FailWithErrorText(std::make_error_code(std::errc::not_a_directory), error);
    }
    return true;
}
