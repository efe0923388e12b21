// Path text helpers of the host framework; '/' is the delimiter.
#pragma once

#include <string>

class FXPath {
public:
    static constexpr char Delimiter = '/';

    // `base` and `name` joined by exactly one delimiter (leading delimiters of
    // `name` are dropped). An empty `base` gives `name` unchanged.
    [[nodiscard]] static std::string Append(const std::string& base, const std::string& name);
    // Appends several names in turn: Append(a, b, c) is Append(Append(a, b), c).
    template <typename... More>
    [[nodiscard]] static std::string Append(const std::string& base, const std::string& name,
                                            const std::string& next, const More&... more) {
        return Append(Append(base, name), next, more...);
    }

    // `path` ending in one delimiter; an empty path stays empty.
    [[nodiscard]] static std::string AppendTrailingDelimiter(const std::string& path);

    // True when something (file, folder, ...) exists at `path`.
    static bool DoesPathExist(const std::string& path);

    // True when the last segment of `path` has the extension `extension`
    // (given with or without its dot), ignoring case.
    static bool IsFileExtnMatching(const std::string& path, const std::string& extension);
};
