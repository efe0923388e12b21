// String helpers of the host framework. Case folding is ASCII only; other
// bytes (UTF-8 included) compare as they are.
#pragma once

#include <string>

class FXString {
public:
    // FindString flag: letters match regardless of case.
    static constexpr int IgnoreCase = 1;

    // printf-style formatting.
    [[nodiscard]] static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

    [[nodiscard]] static std::string ToLower(const std::string& text);

    // Position of the first occurrence of `what` in `text`, or std::string::npos.
    // `flags` may hold IgnoreCase. An empty `what` is found at 0.
    [[nodiscard]] static std::string::size_type FindString(const std::string& text, const std::string& what,
                                                           int flags = 0);

    // Compares ignoring case: 0 when equal, negative when `a` sorts first, else positive.
    [[nodiscard]] static int CompareNoCase(const std::string& a, const std::string& b);

    // `text` without trailing white space.
    [[nodiscard]] static std::string TrimRight(const std::string& text);
    // `text` without one trailing `suffix` (exact case); unchanged when it does not end with it.
    [[nodiscard]] static std::string TrimRight(const std::string& text, const std::string& suffix);
};
