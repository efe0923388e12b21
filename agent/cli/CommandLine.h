// The command line of one vsagent command: "--name value" options, "--flag"
// switches and positional words, checked against what the command knows.
// Every command also knows the global options --cloud, --settings, --log,
// --json and --help.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/util/OptionParser.h"

namespace vsagent {

using OptionSpec = CommandOption;

class CommandLine {
public:
    // Parses argv[first..argc); false with `error` set on an unknown option, a
    // missing value or more positional words than `maxPositional`.
    bool parse(int argc, char** argv, int first, const std::vector<OptionSpec>& specs, std::size_t maxPositional,
               std::string& error);

    bool has(const std::string& name) const { return values_.count(name) || flags_.count(name); }
    std::string value(const std::string& name, const std::string& fallback = std::string()) const;
    // The option's value as a whole number in [min, max]; false with `error` set otherwise.
    bool number(const std::string& name, long long min, long long max, long long& out, std::string& error) const;
    const std::vector<std::string>& positional() const { return positional_; }

private:
    std::map<std::string, std::string> values_;
    std::set<std::string> flags_;
    std::vector<std::string> positional_;
};

}  // namespace vsagent
