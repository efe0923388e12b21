// Parsing of program command lines: "--name value" and "--name=value" options,
// "--flag" switches and positional words, checked against the options a command knows.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

struct CommandOption {
    const char* name;  // without the leading "--"
    bool takesValue;
};

struct ParsedCommandLine {
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    std::vector<std::string> positional;
};

// Parses argv[first..argc); `find` answers the option known under a name, or null.
// False with `error` set on an unknown option, a value given to a switch, or a missing value.
bool ParseCommandLine(int argc, char** argv, int first,
                      const std::function<const CommandOption*(const std::string&)>& find, ParsedCommandLine& out,
                      std::string& error);
