#include "host/util/OptionParser.h"

bool ParseCommandLine(int argc, char** argv, int first,
                      const std::function<const CommandOption*(const std::string&)>& find, ParsedCommandLine& out,
                      std::string& error) {
    for (int i = first; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) != 0 || word.size() == 2) {
            out.positional.push_back(word);
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
        const CommandOption* spec = find(name);
        if (!spec) {
            error = "unknown option --" + name;
            return false;
        }
        if (!spec->takesValue) {
            if (hasInlineValue) {
                error = "option --" + name + " takes no value";
                return false;
            }
            out.flags.insert(name);
        } else if (hasInlineValue) {
            out.values[name] = inlineValue;
        } else if (i + 1 < argc) {
            out.values[name] = argv[++i];
        } else {
            error = "option --" + name + " needs a value";
            return false;
        }
    }
    return true;
}
