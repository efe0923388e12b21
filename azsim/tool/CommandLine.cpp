#include "azsim/tool/CommandLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace azsimtool {

bool CommandLine::parse(int argc, char** argv, int first, const std::vector<OptionSpec>& specs, std::string& error) {
    auto find = [&](const std::string& name) -> const CommandOption* {
        auto spec = std::find_if(specs.begin(), specs.end(), [&](const OptionSpec& s) { return name == s.name; });
        return spec == specs.end() ? nullptr : &*spec;
    };
    ParsedCommandLine parsed;
    if (!ParseCommandLine(argc, argv, first, find, parsed, error)) return false;
    values_ = std::move(parsed.values);
    flags_ = std::move(parsed.flags);
    positional_ = std::move(parsed.positional);
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
