// Settings store of the host framework.
//
// Values come from a settings file (INI form: "[Section]" lines, then
// "key=value" lines; '#' or ';' start a comment) and from values set in code
// by the agent or a test, which win over the file. The file is the one given
// to loadFile(), else the one named by the VSA_SETTINGS environment variable,
// read on first use. Section and key names are matched exactly. A missing key
// (or a value that does not parse) leaves the caller's value untouched.
#pragma once

#include <string>

class NXPlatformInfo {
public:
    static bool getBoolean(const std::string& section, const std::string& key, bool* value);
    static bool getNumber(const std::string& section, const std::string& key, unsigned long* value);
    static bool getString(const std::string& section, const std::string& key, std::string* value);

    // Replaces the file-backed values with the contents of `path`; false when it cannot be read.
    static bool loadFile(const std::string& path);
    static void setValue(const std::string& section, const std::string& key, const std::string& value);
    static void removeValue(const std::string& section, const std::string& key);
    // Drops every in-code value (file values stay).
    static void clearValues();
};
