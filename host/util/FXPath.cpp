#include "host/util/FXPath.h"

#include <boost/algorithm/string/predicate.hpp>
#include <filesystem>
#include <system_error>

#include "host/util/CKaPath.h"

std::string FXPath::Append(const std::string& base, const std::string& name) {
    if (base.empty()) {
        return name;
    }
    const std::string::size_type start = name.find_first_not_of(Delimiter);
    return AppendTrailingDelimiter(base) + (start == std::string::npos ? std::string() : name.substr(start));
}

std::string FXPath::AppendTrailingDelimiter(const std::string& path) {
    if (path.empty() || path.back() == Delimiter) {
        return path;
    }
    return path + Delimiter;
}

bool FXPath::DoesPathExist(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

bool FXPath::IsFileExtnMatching(const std::string& path, const std::string& extension) {
    const std::string wanted = !extension.empty() && extension.front() == '.' ? extension.substr(1) : extension;
    const std::string actual = CKaPath(path).GetExt();
    return !actual.empty() && boost::algorithm::iequals(actual, wanted);
}
