#include "host/util/FXString.h"

#include <algorithm>
#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <cctype>
#include <cstdarg>
#include <locale>

#include "host/log/EvDebug.h"

namespace {

char lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool equalNoCase(char a, char b) {
    return lower(a) == lower(b);
}

}  // namespace

std::string FXString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = EvDebug::vformat(format, args);
    va_end(args);
    return text;
}

std::string FXString::ToLower(const std::string& text) {
    return boost::algorithm::to_lower_copy(text, std::locale::classic());
}

std::string::size_type FXString::FindString(const std::string& text, const std::string& what, int flags) {
    if ((flags & IgnoreCase) == 0) {
        return text.find(what);
    }
    const auto found = std::search(text.begin(), text.end(), what.begin(), what.end(), equalNoCase);
    if (found == text.end() && !what.empty()) {
        return std::string::npos;
    }
    return static_cast<std::string::size_type>(found - text.begin());
}

int FXString::CompareNoCase(const std::string& a, const std::string& b) {
    const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end(), equalNoCase);
    if (ia == a.end()) {
        return ib == b.end() ? 0 : -1;
    }
    if (ib == b.end()) {
        return 1;
    }
    return static_cast<unsigned char>(lower(*ia)) < static_cast<unsigned char>(lower(*ib)) ? -1 : 1;
}

std::string FXString::TrimRight(const std::string& text) {
    return boost::algorithm::trim_right_copy(text);
}

std::string FXString::TrimRight(const std::string& text, const std::string& suffix) {
    if (!boost::algorithm::ends_with(text, suffix)) {
        return text;
    }
    return text.substr(0, text.size() - suffix.size());
}
