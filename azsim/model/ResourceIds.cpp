#include "azsim/model/ResourceIds.h"

#include <boost/algorithm/string/predicate.hpp>
#include <cctype>
#include <random>
#include <vector>

namespace azsim {

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (true) {
        std::string::size_type at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

bool IsPrintable(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

bool IsValidSegment(const std::string& segment) {
    return !segment.empty() && IsPrintable(segment) && segment.find_first_of("?#") == std::string::npos;
}

bool IsUnreserved(unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

std::string EscapePath(const std::string& path) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (IsUnreserved(c) || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> Unescape(const std::string& text) {
    std::string out;
    for (std::string::size_type i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int high = HexValue(text[i + 1]);
        int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

bool IsHostLabel(const std::string& label) {
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
    for (unsigned char c : label)
        if (!std::isalnum(c) && c != '-') return false;
    return true;
}

bool IsContainerName(const std::string& name) {
    if (name.empty() || name.size() > 63) return false;
    for (unsigned char c : name)
        if (!std::islower(c) && !std::isdigit(c) && c != '-' && c != '$') return false;
    return true;
}

// Blob names are kept as given, but empty, "." and ".." segments could escape a folder of the store.
bool IsBlobName(const std::string& name) {
    if (name.empty() || name.size() > 1024 || !IsPrintable(name)) return false;
    for (const std::string& segment : Split(name, '/'))
        if (segment.empty() || segment == "." || segment == "..") return false;
    return true;
}

bool ParseQuery(const std::string& text, std::map<std::string, std::string>& out) {
    if (text.empty()) return true;
    for (const std::string& pair : Split(text, '&')) {
        if (pair.empty()) continue;
        std::string::size_type eq = pair.find('=');
        auto key = Unescape(pair.substr(0, eq));
        auto value = Unescape(eq == std::string::npos ? std::string() : pair.substr(eq + 1));
        if (!key || !value || key->empty()) return false;
        out.emplace(*key, *value);
    }
    return true;
}

std::mt19937_64& Generator() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return generator;
}

std::string ComputeId(const std::string& subscription, const std::string& resourceGroup, const std::string& type,
                      const std::string& name) {
    return BuildResourceId({subscription, resourceGroup, "Microsoft.Compute", type, name, "", ""});
}

std::string NetworkId(const std::string& subscription, const std::string& resourceGroup, const std::string& type,
                      const std::string& name) {
    return BuildResourceId({subscription, resourceGroup, "Microsoft.Network", type, name, "", ""});
}

}  // namespace

std::string BuildResourceId(const ResourceId& id) {
    std::string text = "/subscriptions/" + id.subscription + "/resourceGroups/" + id.resourceGroup + "/providers/" +
                       id.provider + "/" + id.type + "/" + id.name;
    if (!id.childType.empty()) text += "/" + id.childType + "/" + id.childName;
    return text;
}

std::string ManagedDiskId(const std::string& subscription, const std::string& resourceGroup, const std::string& name) {
    return ComputeId(subscription, resourceGroup, "disks", name);
}

std::string SnapshotId(const std::string& subscription, const std::string& resourceGroup, const std::string& name) {
    return ComputeId(subscription, resourceGroup, "snapshots", name);
}

std::string VirtualMachineId(const std::string& subscription, const std::string& resourceGroup,
                             const std::string& name) {
    return ComputeId(subscription, resourceGroup, "virtualMachines", name);
}

std::string VirtualNetworkId(const std::string& subscription, const std::string& resourceGroup,
                             const std::string& name) {
    return NetworkId(subscription, resourceGroup, "virtualNetworks", name);
}

std::string SubnetId(const std::string& subscription, const std::string& resourceGroup, const std::string& network,
                     const std::string& subnet) {
    return BuildResourceId(
        {subscription, resourceGroup, "Microsoft.Network", "virtualNetworks", network, "subnets", subnet});
}

std::string SecurityGroupId(const std::string& subscription, const std::string& resourceGroup,
                            const std::string& name) {
    return NetworkId(subscription, resourceGroup, "networkSecurityGroups", name);
}

std::string NetworkInterfaceId(const std::string& subscription, const std::string& resourceGroup,
                               const std::string& name) {
    return NetworkId(subscription, resourceGroup, "networkInterfaces", name);
}

std::string PublicIpId(const std::string& subscription, const std::string& resourceGroup, const std::string& name) {
    return NetworkId(subscription, resourceGroup, "publicIPAddresses", name);
}

std::string DeploymentId(const std::string& subscription, const std::string& resourceGroup, const std::string& name) {
    return BuildResourceId({subscription, resourceGroup, "Microsoft.Resources", "deployments", name, "", ""});
}

std::optional<ResourceId> ParseResourceId(const std::string& id) {
    std::vector<std::string> parts = Split(id, '/');
    if (parts.size() != 9 && parts.size() != 11) return std::nullopt;
    if (!parts[0].empty()) return std::nullopt;
    for (std::size_t i = 1; i < parts.size(); ++i)
        if (!IsValidSegment(parts[i])) return std::nullopt;
    if (!boost::algorithm::iequals(parts[1], "subscriptions") ||
        !boost::algorithm::iequals(parts[3], "resourceGroups") || !boost::algorithm::iequals(parts[5], "providers"))
        return std::nullopt;
    ResourceId out{parts[2], parts[4], parts[6], parts[7], parts[8], "", ""};
    if (parts.size() == 11) {
        out.childType = parts[9];
        out.childName = parts[10];
    }
    return out;
}

std::string PageBlobUri(const BlobKey& key, const std::string& snapshot) {
    std::string uri =
        "https://" + key.account + "." + kPublicBlobSuffix + "/" + key.container + "/" + EscapePath(key.name);
    if (!snapshot.empty()) uri += "?snapshot=" + snapshot;
    return uri;
}

std::string ManagedDiskAccessUrl(const BlobKey& key) {
    return "https://" + key.account + "." + kManagedDiskBlobSuffix + "/" + key.container + "/" + EscapePath(key.name);
}

std::optional<BlobUri> ParseBlobUri(const std::string& uri) {
    std::string rest;
    if (boost::algorithm::istarts_with(uri, "https://"))
        rest = uri.substr(8);
    else if (boost::algorithm::istarts_with(uri, "http://"))
        rest = uri.substr(7);
    else
        return std::nullopt;
    rest = rest.substr(0, rest.find('#'));

    std::string::size_type pathStart = rest.find_first_of("/?");
    if (pathStart == std::string::npos || rest[pathStart] != '/') return std::nullopt;
    std::string host = rest.substr(0, pathStart);
    std::string::size_type queryStart = rest.find('?', pathStart);
    std::string path =
        rest.substr(pathStart + 1, queryStart == std::string::npos ? std::string::npos : queryStart - pathStart - 1);
    std::string query = queryStart == std::string::npos ? std::string() : rest.substr(queryStart + 1);

    std::string::size_type colon = host.find(':');
    if (colon != std::string::npos) {
        std::string port = host.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        host.resize(colon);
    }
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::vector<std::string> labels = Split(host, '.');
    if (labels.size() < 2) return std::nullopt;
    for (const std::string& label : labels)
        if (!IsHostLabel(label)) return std::nullopt;

    BlobUri out;
    out.account = labels[0];
    out.suffix = host.substr(out.account.size() + 1);
    std::string::size_type slash = path.find('/');
    if (slash == std::string::npos) return std::nullopt;
    auto container = Unescape(path.substr(0, slash));
    auto blob = Unescape(path.substr(slash + 1));
    if (!container || !blob || !IsContainerName(*container) || !IsBlobName(*blob)) return std::nullopt;
    out.container = *container;
    out.blob = *blob;
    if (!ParseQuery(query, out.query)) return std::nullopt;
    auto snapshot = out.query.find("snapshot");
    if (snapshot != out.query.end()) out.snapshot = snapshot->second;
    return out;
}

bool IsNewContainerName(const std::string& name) {
    if (name.size() < 3 || name.size() > 63) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) continue;
        if (c != '-' || i == 0 || i + 1 == name.size() || name[i - 1] == '-') return false;
    }
    return true;
}

std::string NewGuid() {
    std::string hex = RandomHex(32);
    hex[12] = '4';
    hex[16] = "89ab"[HexValue(hex[16]) & 3];
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20);
}

std::string RandomHex(std::size_t count) {
    static const char* kDigits = "0123456789abcdef";
    std::string out;
    std::uniform_int_distribution<int> digit(0, 15);
    for (std::size_t i = 0; i < count; ++i) out += kDigits[digit(Generator())];
    return out;
}

BlobKey NewManagedDiskBlob() { return BlobKey{"md-" + RandomHex(12), RandomHex(12), "abcd"}; }

}  // namespace azsim
