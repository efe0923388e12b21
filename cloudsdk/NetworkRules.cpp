#include "cloudsdk/NetworkRules.h"

#include <cctype>
#include <cstdint>

namespace AzureSDKCppBridge {

namespace {

bool Alnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

// Empty when `name` has `shortest` to `longest` characters and the form the header gives.
std::string NameProblem(const std::string& what, const std::string& name, std::size_t shortest, std::size_t longest) {
    bool charset = true;
    for (char c : name) charset = charset && (Alnum(c) || c == '_' || c == '.' || c == '-');
    const bool fits = name.size() >= shortest && name.size() <= longest && charset && Alnum(name.front()) &&
                      (Alnum(name.back()) || name.back() == '_');
    if (fits) return std::string();
    return what + " [" + name + "] is refused: it must have " + std::to_string(shortest) + " to " +
           std::to_string(longest) + " characters, only letters, digits, '_', '.' and '-', begin with a letter or "
           "digit and end with a letter, digit or '_'";
}

// A decimal number of 1 to 3 digits at `at`, no more than `most`; advances `at`.
bool Number(const std::string& text, std::size_t& at, unsigned most, unsigned& value) {
    std::size_t digits = 0;
    value = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) && digits < 4) {
        value = value * 10 + static_cast<unsigned>(text[at++] - '0');
        ++digits;
    }
    return digits >= 1 && digits <= 3 && value <= most;
}

bool IsPrefix(const std::string& text) {
    std::size_t at = 0;
    std::uint32_t address = 0;
    unsigned part = 0;
    for (int i = 0; i < 4; ++i) {
        if (!Number(text, at, 255, part) || at >= text.size() || text[at++] != (i < 3 ? '.' : '/')) return false;
        address = (address << 8) | part;
    }
    unsigned bits = 0;
    if (!Number(text, at, 29, bits) || at != text.size() || bits < 2) return false;
    return (address & (0xFFFFFFFFu >> bits)) == 0;
}

}  // namespace

std::string NetworkRequestProblem(const VMInfoStructs::SNetworkInfo& network) {
    std::string problem = NameProblem("virtual network name", network.name, 2, 64);
    if (!problem.empty()) return problem;
    if (!network.addressPrefix.empty() && !IsPrefix(network.addressPrefix))
        return "address prefix [" + network.addressPrefix +
               "] is refused: it must be a.b.c.d/n with parts 0-255, n from 2 to 29, and no bits set past the first n "
               "(10.0.0.0/16, not 10.0.0.1/16)";
    for (const std::string& subnet : network.subnets) {
        problem = NameProblem("subnet name", subnet, 1, 80);
        if (!problem.empty()) return problem;
    }
    return std::string();
}

}  // namespace AzureSDKCppBridge
