#include "host/util/CKaDirectory.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "host/util/ErrorText.h"

#include "host/util/FXPath.h"
#include "host/util/WildcardPattern.h"

namespace fs = std::filesystem;

bool CKaDirectory::Open(const std::string& path, const std::string& pattern, std::string* error) {
    Close();
    WildcardOptions options;
    options.delimiter.reset();
    const WildcardPattern filter(pattern, options);

    std::error_code code;
    std::vector<std::string> names;
    for (fs::directory_iterator it(path, code), end; !code && it != end; it.increment(code)) {
        std::string name = it->path().filename().string();
        if (filter.matches(name)) {
            names.push_back(std::move(name));
        }
    }
    if (code) {
        return FailWithErrorText(code, error);
    }
    std::sort(names.begin(), names.end());
    path_ = path;
    names_ = std::move(names);
    return true;
}

bool CKaDirectory::Next(SKaDirEntry& entry, std::string* error) {
    if (error) {
        error->clear();
    }
    if (next_ >= names_.size()) {
        return false;
    }
    const std::string& name = names_[next_++];
    const std::string path = FXPath::Append(path_, name);
    std::error_code code;
    const fs::file_status status = fs::status(path, code);
    if (code) {
        return FailWithErrorText(code, error);
    }
    entry.name = name;
    entry.path = path;
    entry.isDirectory = fs::is_directory(status);
    return true;
}

void CKaDirectory::Close() {
    path_.clear();
    names_.clear();
    next_ = 0;
}
