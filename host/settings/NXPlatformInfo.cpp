#include "host/settings/NXPlatformInfo.h"

#include <boost/algorithm/string.hpp>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

namespace {

using Key = std::pair<std::string, std::string>;

struct Store {
    std::mutex mutex;
    bool fileLoaded = false;
    std::map<Key, std::string> fileValues;
    std::map<Key, std::string> codeValues;
};

Store& store() {
    static Store s;
    return s;
}

bool parseFile(const std::string& path, std::map<Key, std::string>& out) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line, section;
    while (std::getline(in, line)) {
        boost::algorithm::trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            section = boost::algorithm::trim_copy(line.substr(1, line.size() - 2));
            continue;
        }
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = boost::algorithm::trim_copy(line.substr(0, eq));
        std::string value = boost::algorithm::trim_copy(line.substr(eq + 1));
        if (!key.empty()) out[{section, key}] = value;
    }
    return true;
}

// Caller holds the store's mutex.
void loadDefaultFileOnce(Store& s) {
    if (s.fileLoaded) return;
    s.fileLoaded = true;
    const char* env = std::getenv("VSA_SETTINGS");
    if (env && *env) parseFile(env, s.fileValues);
}

bool lookup(const std::string& section, const std::string& key, std::string& value) {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    loadDefaultFileOnce(s);
    Key k{section, key};
    auto it = s.codeValues.find(k);
    if (it != s.codeValues.end()) {
        value = it->second;
        return true;
    }
    it = s.fileValues.find(k);
    if (it == s.fileValues.end()) return false;
    value = it->second;
    return true;
}

}  // namespace

bool NXPlatformInfo::getString(const std::string& section, const std::string& key, std::string* value) {
    std::string text;
    if (!value || !lookup(section, key, text)) return false;
    *value = text;
    return true;
}

bool NXPlatformInfo::getNumber(const std::string& section, const std::string& key, unsigned long* value) {
    std::string text;
    if (!value || !lookup(section, key, text) || text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long parsed = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') return false;
    *value = static_cast<unsigned long>(parsed);  // negative values wrap as a C cast would
    return true;
}

bool NXPlatformInfo::getBoolean(const std::string& section, const std::string& key, bool* value) {
    std::string text;
    if (!value || !lookup(section, key, text)) return false;
    std::string lower = boost::algorithm::to_lower_copy(text);
    if (lower == "true" || lower == "yes" || lower == "on") {
        *value = true;
        return true;
    }
    if (lower == "false" || lower == "no" || lower == "off") {
        *value = false;
        return true;
    }
    char* end = nullptr;
    long parsed = std::strtol(lower.c_str(), &end, 0);
    if (lower.empty() || *end != '\0') return false;
    *value = parsed != 0;
    return true;
}

bool NXPlatformInfo::loadFile(const std::string& path) {
    std::map<Key, std::string> values;
    if (!parseFile(path, values)) return false;
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.fileLoaded = true;
    s.fileValues = std::move(values);
    return true;
}

void NXPlatformInfo::setValue(const std::string& section, const std::string& key, const std::string& value) {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.codeValues[{section, key}] = value;
}

void NXPlatformInfo::removeValue(const std::string& section, const std::string& key) {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.codeValues.erase({section, key});
}

void NXPlatformInfo::clearValues() {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.codeValues.clear();
}
