#include "azsim/faults/FaultBook.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/algorithm/string/predicate.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "azsim/StateFolder.h"

namespace azsim {

namespace {

using nlohmann::json;

struct Rules {
    std::vector<SdkFault> sdk;
    std::vector<HttpFault> http;
};

const std::map<HttpFaultKind, std::string> kKindNames = {{HttpFaultKind::Status, "status"},
                                                         {HttpFaultKind::Delay, "delay"},
                                                         {HttpFaultKind::Drop, "drop"},
                                                         {HttpFaultKind::ShortBody, "short"}};

std::string KindName(HttpFaultKind kind) { return kKindNames.at(kind); }

HttpFaultKind KindFromName(const std::string& name) {
    for (const auto& entry : kKindNames)
        if (entry.second == name) return entry.first;
    return HttpFaultKind::Status;
}

json ToJson(const SdkFault& f) {
    return {{"operation", f.operation}, {"code", f.code}, {"text", f.text}, {"times", f.times}};
}

json ToJson(const HttpFault& f) {
    return {
        {"method", f.method},       {"pathPattern", f.pathPattern}, {"kind", KindName(f.kind)}, {"status", f.status},
        {"errorCode", f.errorCode}, {"delayMs", f.delayMs},         {"bodyBytes", f.bodyBytes}, {"times", f.times}};
}

SdkFault SdkFromJson(const json& j) {
    SdkFault f;
    f.operation = j.value("operation", "");
    f.code = j.value("code", 0);
    f.text = j.value("text", "");
    f.times = j.value("times", 1);
    return f;
}

HttpFault HttpFromJson(const json& j) {
    HttpFault f;
    f.method = j.value("method", "");
    f.pathPattern = j.value("pathPattern", "");
    f.kind = KindFromName(j.value("kind", "status"));
    f.status = j.value("status", 500);
    f.errorCode = j.value("errorCode", "InternalError");
    f.delayMs = j.value("delayMs", 0);
    f.bodyBytes = j.value("bodyBytes", std::uint64_t{0});
    f.times = j.value("times", 1);
    return f;
}

// Missing or unreadable rules count as no rules: a fault book never breaks the requests it watches.
Rules ReadRules(const std::string& path) {
    Rules rules;
    std::ifstream in(path);
    if (!in) return rules;
    std::stringstream text;
    text << in.rdbuf();
    json doc = json::parse(text.str(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return rules;
    try {
        for (const json& j : doc.value("sdk", json::array())) rules.sdk.push_back(SdkFromJson(j));
        for (const json& j : doc.value("http", json::array())) rules.http.push_back(HttpFromJson(j));
    } catch (const json::exception&) {
        return Rules();
    }
    return rules;
}

// Replaces the rules file atomically; no rules at all removes it, which keeps the no-rule check a failing stat.
void WriteRules(const std::string& path, const Rules& rules) {
    if (rules.sdk.empty() && rules.http.empty()) {
        std::remove(path.c_str());
        return;
    }
    json doc = {{"sdk", json::array()}, {"http", json::array()}};
    for (const SdkFault& f : rules.sdk) doc["sdk"].push_back(ToJson(f));
    for (const HttpFault& f : rules.http) doc["http"].push_back(ToJson(f));
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << doc.dump(2) << '\n';
        if (!out) throw Error("fault rules [" + tmp + "] cannot be written");
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        throw Error("fault rules [" + path + "] cannot be replaced: " + std::strerror(errno));
    }
}

// Exclusive lock that serialises every change of the rules between processes.
class RulesLock {
public:
    explicit RulesLock(const std::string& rulesPath) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(rulesPath).parent_path(), ec);
        std::string path = rulesPath + ".lock";
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) throw Error("lock [" + path + "] cannot be opened: " + std::strerror(errno));
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno == EINTR) continue;
            ::close(fd_);
            throw Error("lock [" + path + "] cannot be taken: " + std::strerror(errno));
        }
    }
    ~RulesLock() { ::close(fd_); }
    RulesLock(const RulesLock&) = delete;
    RulesLock& operator=(const RulesLock&) = delete;

private:
    int fd_;
};

// Glob match with '*' (any run) and '?' (one character).
bool WildcardMatch(const std::string& pattern, const std::string& text) {
    std::size_t p = 0, t = 0, starP = std::string::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool Matches(const HttpFault& f, const std::string& method, const std::string& path) {
    return f.times != 0 && (f.method.empty() || boost::algorithm::iequals(f.method, method)) &&
           (f.pathPattern.empty() || WildcardMatch(f.pathPattern, path));
}

// Uses up one firing of `rules[index]`; a rule with no firings left disappears.
// Returns false when the rules did not change (a rule that always fires).
template <class Fault>
bool UseRule(std::vector<Fault>& rules, std::size_t index) {
    if (rules[index].times < 0) return false;
    if (--rules[index].times <= 0) rules.erase(rules.begin() + index);
    return true;
}

// HTTP rules as last read, per file version, so requests need no lock and no parse
// while the rules do not change. A version is the file's identity, size and modification time.
struct FileVersion {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedNs = 0;
    bool operator==(const FileVersion& o) const {
        return device == o.device && inode == o.inode && size == o.size && modifiedNs == o.modifiedNs;
    }
};

bool CurrentVersion(const std::string& path, FileVersion& out) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    out = {st.st_dev, st.st_ino, st.st_size,
           static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    return true;
}

// File times tick coarsely, so two versions written within one tick may look alike;
// a file changed that recently is read again rather than trusted from the cache.
bool RecentlyModified(const FileVersion& version) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    std::int64_t nowNs = static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    return nowNs - version.modifiedNs < 100 * 1000000;
}

struct CachedHttpRules {
    FileVersion version;
    std::vector<HttpFault> rules;
};

std::mutex cacheMutex;
std::map<std::string, CachedHttpRules> httpRuleCache;

// True when the rules file may hold a rule matching the request.
bool MayMatch(const std::string& path, const std::string& method, const std::string& requestPath) {
    FileVersion version;
    if (!CurrentVersion(path, version)) return false;
    std::lock_guard<std::mutex> guard(cacheMutex);
    auto it = httpRuleCache.find(path);
    if (it == httpRuleCache.end() || !(it->second.version == version) || RecentlyModified(version)) {
        CachedHttpRules fresh{version, ReadRules(path).http};
        it = httpRuleCache.insert_or_assign(path, std::move(fresh)).first;
    }
    for (const HttpFault& f : it->second.rules)
        if (Matches(f, method, requestPath)) return true;
    return false;
}

}  // namespace

FaultBook::FaultBook(std::string stateDir) : path_((std::filesystem::path(stateDir) / "faults.json").string()) {}

void FaultBook::addSdkFault(const SdkFault& fault) {
    RulesLock lock(path_);
    Rules rules = ReadRules(path_);
    rules.sdk.push_back(fault);
    WriteRules(path_, rules);
}

void FaultBook::addHttpFault(const HttpFault& fault) {
    RulesLock lock(path_);
    Rules rules = ReadRules(path_);
    rules.http.push_back(fault);
    WriteRules(path_, rules);
}

void FaultBook::clear() {
    RulesLock lock(path_);
    WriteRules(path_, Rules());
}

std::vector<SdkFault> FaultBook::sdkFaults() const { return ReadRules(path_).sdk; }

std::vector<HttpFault> FaultBook::httpFaults() const { return ReadRules(path_).http; }

std::optional<SdkFault> FaultBook::takeSdkFault(const std::string& operation) {
    if (::access(path_.c_str(), F_OK) != 0) return std::nullopt;
    RulesLock lock(path_);
    Rules rules = ReadRules(path_);
    for (std::size_t i = 0; i < rules.sdk.size(); ++i) {
        if (rules.sdk[i].operation != operation || rules.sdk[i].times == 0) continue;
        SdkFault fault = rules.sdk[i];
        if (UseRule(rules.sdk, i)) WriteRules(path_, rules);
        return fault;
    }
    return std::nullopt;
}

std::optional<HttpFault> FaultBook::takeHttpFault(const std::string& method, const std::string& path) {
    if (!MayMatch(path_, method, path)) return std::nullopt;
    RulesLock lock(path_);
    Rules rules = ReadRules(path_);
    for (std::size_t i = 0; i < rules.http.size(); ++i) {
        if (!Matches(rules.http[i], method, path)) continue;
        HttpFault fault = rules.http[i];
        if (UseRule(rules.http, i)) WriteRules(path_, rules);
        return fault;
    }
    return std::nullopt;
}

}  // namespace azsim
