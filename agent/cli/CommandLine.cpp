#include "agent/cli/CommandLine.h"

#include <cerrno>
#include <cstdlib>

namespace vsagent {

namespace {

const std::vector<OptionSpec> kGlobalOptions = {
    {"cloud", true}, {"settings", true}, {"log", true}, {"json", false}, {"help", false}};

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
    for (int i = first; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) != 0 || word.size() == 2) {
            positional_.push_back(word);
            continue;
        }
        std::string name = word.substr(2);
        std::string inlineValue;
        bool hasInline = false;
        if (std::size_t eq = name.find('='); eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasInline = true;
        }
        const OptionSpec* spec = Find(specs, name);
        if (!spec) {
            error = "unknown option --" + name;
            return false;
        }
        if (!spec->takesValue) {
            if (hasInline) {
                error = "--" + name + " takes no value";
                return false;
            }
            flags_.insert(name);
        } else if (hasInline) {
            values_[name] = inlineValue;
        } else if (i + 1 < argc) {
            values_[name] = argv[++i];
        } else {
            error = "--" + name + " needs a value";
            return false;
        }
    }
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
