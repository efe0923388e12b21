#include "host/util/CKaFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

bool fail(std::string* error) {
    if (error) {
        *error = std::strerror(errno);
    }
    return false;
}

}  // namespace

bool CKaFile::ReadWholeFile(const std::string& path, std::string& content, std::string* error) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        return fail(error);
    }
    std::string data;
    char buffer[64 * 1024];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        data.append(buffer, count);
    }
    if (std::ferror(file.get())) {
        return fail(error);
    }
    content.swap(data);
    return true;
}
