#include "azsim/tool/CommandLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace azsimtool {

bool CommandLine::parse(int argc, char** argv, int first, const std::vector<OptionSpec>& specs, std::string& error) {
    for (int i = first; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) != 0 || word.size() == 2) {
            positional_.push_back(word);
            continue;
        }
        std::string name = word.substr(2);
        std::string inlineValue;
        bool hasInlineValue = false;
        std::string::size_type eq = name.find('=');
        if (eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
            hasInlineValue = true;
        }
        auto spec = std::find_if(specs.begin(), specs.end(), [&](const OptionSpec& s) { return name == s.name; });
        if (spec == specs.end()) {
            error = "unknown option --" + name;
            return false;
        }
        if (!spec->takesValue) {
            if (hasInlineValue) {
                error = "option --" + name + " takes no value";
                return false;
            }
            flags_.insert(name);
        } else if (hasInlineValue) {
            values_[name] = inlineValue;
        } else if (i + 1 < argc) {
            values_[name] = argv[++i];
        } else {
            error = "option --" + name + " needs a value";
            return false;
        }
    }
    return true;
}

std::string CommandLine::value(const std::string& name, const std::string& fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

bool CommandLine::signedNumber(const std::string& name, std::int64_t& out, std::string& error) const {
    std::string text = value(name);
    char* end = nullptr;
    errno = 0;
    long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE) {
        error = "option --" + name + " needs a number, not [" + text + "]";
        return false;
    }
    out = parsed;
    return true;
}

bool CommandLine::number(const std::string& name, std::uint64_t& out, std::string& error) const {
    std::int64_t parsed = 0;
    if (!signedNumber(name, parsed, error)) return false;
    if (parsed < 0) {
        error = "option --" + name + " must not be negative";
        return false;
    }
    out = static_cast<std::uint64_t>(parsed);
    return true;
}

}  // namespace azsimtool
