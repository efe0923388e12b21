#include "host/util/FXFile.h"

#include <filesystem>
#include <system_error>

#include "host/util/ErrorText.h"

namespace fs = std::filesystem;

bool FXFile::DoesFileExist(const std::string& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

bool FXFile::RemoveFile(const std::string& path, std::string* error) {
    std::error_code code;
    if (fs::is_directory(fs::symlink_status(path, code))) {
        return FailWithErrorText(std::make_error_code(std::errc::is_a_directory), error);
    }
    fs::remove(path, code);
    return code ? FailWithErrorText(code, error) : true;
}

bool FXFile::NXGetFileSize(const std::string& path, std::uint64_t& size, std::string* error) {
    std::error_code code;
    const std::uintmax_t bytes = fs::file_size(path, code);
    if (code) {
        return FailWithErrorText(code, error);
    }
    size = bytes;
    return true;
}
