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

// Reads "a.b.c.d/n" into `address` and `bits`; false unless it has that form, parts 0-255 and n from 2 to 29.
bool ReadPrefix(const std::string& text, std::uint32_t& address, unsigned& bits) {
    std::size_t at = 0;
    unsigned part = 0;
    address = 0;
    for (int i = 0; i < 4; ++i) {
        if (!Number(text, at, 255, part) || at >= text.size() || text[at++] != (i < 3 ? '.' : '/')) return false;
        address = (address << 8) | part;
    }
    return Number(text, at, 29, bits) && at == text.size() && bits >= 2;
}

bool IsPrefix(const std::string& text) {
    std::uint32_t address = 0;
    unsigned bits = 0;
    return ReadPrefix(text, address, bits) && (address & (0xFFFFFFFFu >> bits)) == 0;
}

std::string PrefixText(std::uint32_t address, unsigned bits) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
           std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255) + "/" + std::to_string(bits);
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
    const std::string prefix = network.addressPrefix.empty() ? "10.0.0.0/16" : network.addressPrefix;
    const std::size_t held = SubnetPrefixes(prefix, network.subnets.size()).size();
    if (held < network.subnets.size())
        return "address prefix [" + prefix + "] is refused: it holds " + std::to_string(held) +
               " subnets of at least /29, not " + std::to_string(network.subnets.size());
    return std::string();
}

std::vector<std::string> SubnetPrefixes(const std::string& network, std::size_t count) {
    std::uint32_t address = 0;
    unsigned bits = 0;
    ReadPrefix(network, address, bits);
    unsigned subnetBits = bits > 24 ? bits : 24;
    while (subnetBits < 29 && (std::uint64_t{1} << (subnetBits - bits)) < count) ++subnetBits;
    const std::uint64_t fitting = std::uint64_t{1} << (subnetBits - bits);
    std::vector<std::string> out;
    for (std::uint64_t i = 0; i < count && i < fitting; ++i)
        out.push_back(PrefixText(address + static_cast<std::uint32_t>(i << (32 - subnetBits)), subnetBits));
    return out;
}

}  // namespace AzureSDKCppBridge
