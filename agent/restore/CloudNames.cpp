#include "agent/restore/CloudNames.h"

#include <cctype>

namespace vsagent {

namespace {

bool Alnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }
bool LowerAlnum(char c) {
    return std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c));
}

struct Rule {
    const char* what;
    std::size_t min;
    std::size_t max;
    bool (*inner)(char);  // every character
    bool (*first)(char);
    bool (*last)(char);
    bool noDoubleHyphen;
    const char* text;  // the rule, as the user reads it
};

const Rule& RuleOf(CloudName kind) {
    static const Rule kVm{"VM name",
                          1,
                          64,
                          [](char c) { return Alnum(c) || c == '_' || c == '.' || c == '-'; },
                          Alnum,
                          [](char c) { return Alnum(c) || c == '_'; },
                          false,
                          "1 to 64 letters, digits, '_', '.' or '-', starting with a letter or digit and ending "
                          "with a letter, digit or '_'"};
    static const Rule kDisk{"managed disk name",
                            1,
                            80,
                            kVm.inner,
                            Alnum,
                            kVm.last,
                            false,
                            "1 to 80 letters, digits, '_', '.' or '-', starting with a letter or digit and ending "
                            "with a letter, digit or '_'"};
    static const Rule kBlob{"page blob name",
                            1,
                            1024,
                            kVm.inner,
                            Alnum,
                            kVm.last,
                            false,
                            "1 to 1024 letters, digits, '_', '.' or '-', starting with a letter or digit and "
                            "ending with a letter, digit or '_'"};
    static const Rule kGroup{
        "resource group name",
        1,
        90,
        [](char c) { return Alnum(c) || c == '_' || c == '.' || c == '-' || c == '(' || c == ')'; },
        [](char c) { return Alnum(c) || c == '_' || c == '-' || c == '(' || c == ')'; },
        [](char c) { return c != '.'; },
        false,
        "1 to 90 letters, digits, '_', '.', '-', '(' or ')', not ending with '.'"};
    static const Rule kAccount{"storage account name",
                               3,
                               24,
                               LowerAlnum,
                               LowerAlnum,
                               LowerAlnum,
                               false,
                               "3 to 24 lower-case letters or digits"};
    static const Rule kContainer{"container name",
                                 3,
                                 63,
                                 [](char c) { return LowerAlnum(c) || c == '-'; },
                                 LowerAlnum,
                                 LowerAlnum,
                                 true,
                                 "3 to 63 lower-case letters, digits or '-', starting and ending with a letter or "
                                 "digit, without '--'"};
    switch (kind) {
        case CloudName::Vm:
            return kVm;
        case CloudName::ManagedDisk:
            return kDisk;
        case CloudName::PageBlob:
            return kBlob;
        case CloudName::ResourceGroup:
            return kGroup;
        case CloudName::StorageAccount:
            return kAccount;
        case CloudName::Container:
            return kContainer;
    }
    return kVm;
}

// The name as it can be shown on one line; a long one is cut.
std::string Shown(const std::string& name) {
    std::string shown;
    for (char c : name.substr(0, 100)) shown += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    return name.size() > 100 ? shown + "... (" + std::to_string(name.size()) + " characters)" : shown;
}

bool Follows(const Rule& rule, const std::string& name) {
    if (name.size() < rule.min || name.size() > rule.max) return false;
    if (!rule.first(name.front()) || !rule.last(name.back())) return false;
    for (char c : name)
        if (!rule.inner(c)) return false;
    return !rule.noDoubleHyphen || name.find("--") == std::string::npos;
}

}  // namespace

std::string CloudNameProblem(CloudName kind, const std::string& name) {
    const Rule& rule = RuleOf(kind);
    if (Follows(rule, name)) return std::string();
    return std::string(rule.what) + " [" + Shown(name) + "] is not one the cloud accepts: " + rule.text;
}

std::string PlacementProblem(const std::string& placement) {
    const std::string::size_type slash = placement.find('\\');
    std::string problem = CloudNameProblem(CloudName::StorageAccount, placement.substr(0, slash));
    if (problem.empty() && slash != std::string::npos)
        problem = CloudNameProblem(CloudName::Container, placement.substr(slash + 1));
    return problem;
}

}  // namespace vsagent
