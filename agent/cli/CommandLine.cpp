#include "agent/cli/CommandLine.h"

#include <cerrno>
#include <cstdlib>

namespace vsagent {

namespace {

const std::vector<OptionSpec> kGlobalOptions = {
    {"cloud", true}, {"azure", false}, {"settings", true}, {"log", true}, {"json", false}, {"help", false}};

const OptionSpec* Find(const std::vector<OptionSpec>& specs, const std::string& name) {
    for (const OptionSpec& spec : specs)
        if (name == spec.name) return &spec;
    for (const OptionSpec& spec : kGlobalOptions)
        if (name == spec.name) return &spec;
    return nullptr;
}

}  // namespace

bool CommandLine::parse(int argc, char** argv, int first, const std::vector<OptionSpec>& specs,
                        std::size_t maxPositional, std::string& error) {
    ParsedCommandLine parsed;
    if (!ParseCommandLine(argc, argv, first, [&](const std::string& name) { return Find(specs, name); }, parsed,
                          error))
        return false;
    values_ = std::move(parsed.values);
    flags_ = std::move(parsed.flags);
    positional_ = std::move(parsed.positional);
    if (!has("help") && positional_.size() > maxPositional) {
        error = "unexpected argument [" + positional_[maxPositional] + "]";
        return false;
    }
    return true;
}

std::string CommandLine::value(const std::string& name, const std::string& fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

bool CommandLine::number(const std::string& name, long long min, long long max, long long& out,
                         std::string& error) const {
    std::string text = value(name);
    char* end = nullptr;
    errno = 0;
    long long parsed = text.empty() ? 0 : std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || parsed < min || parsed > max) {
        error = "--" + name + " must be a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
                ", not [" + text + "]";
        return false;
    }
    out = parsed;
    return true;
}

}  // namespace vsagent
