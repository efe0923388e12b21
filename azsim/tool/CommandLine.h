// The command line of one azsim command: "--name value" options, "--flag"
// switches and positional words, checked against the options the command knows.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/util/OptionParser.h"

namespace azsimtool {

using OptionSpec = CommandOption;

class CommandLine {
public:
    // Parses argv[first..argc); false with `error` set on an unknown option or a missing value.
    bool parse(int argc, char** argv, int first, const std::vector<OptionSpec>& specs, std::string& error);

    bool has(const std::string& name) const { return values_.count(name) || flags_.count(name); }
    std::string value(const std::string& name, const std::string& fallback = std::string()) const;
    // The option's value as a non-negative number; false with `error` set when it is not one.
    bool number(const std::string& name, std::uint64_t& out, std::string& error) const;
    bool signedNumber(const std::string& name, std::int64_t& out, std::string& error) const;
    const std::vector<std::string>& positional() const { return positional_; }

private:
    std::map<std::string, std::string> values_;
    std::set<std::string> flags_;
    std::vector<std::string> positional_;
};

}  // namespace azsimtool
