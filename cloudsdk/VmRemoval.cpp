#include "cloudsdk/VmRemoval.h"

#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BlobAddress.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/ListedPageBlob.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"

namespace AzureSDKCppBridge {

using boost::algorithm::iequals;
using nlohmann::json;

namespace {

const json kNone = json::object();

// Deletes the resource `id`; with `onlyJob` it is read first and goes only when it carries the job's tag.
rest::ArmResult RemoveIfOwn(rest::ArmClient& arm, const std::string& id, const char* version,
                            const std::optional<std::string>& onlyJob) {
    if (onlyJob) {
        const rest::ArmResult read = arm.get(id, version);
        if (!read.ok) return read.code == SDK_ERR_NOT_FOUND ? Done() : read;
        if (!TaggedByJob(read.body, *onlyJob)) return Done();
    }
    const rest::ArmResult gone = arm.remove(id, version);
    return gone.ok || gone.code == SDK_ERR_NOT_FOUND ? Done() : gone;
}

// The interfaces the VM lists that name it as their VM (read before it goes); one not there is skipped.
rest::ArmResult HeldInterfaces(rest::ArmClient& arm, const json& vm, std::vector<json>& out) {
    const json properties = vm.value("properties", kNone);
    for (const json& card : properties.value("networkProfile", kNone).value("networkInterfaces", json::array())) {
        const rest::ArmResult nic = arm.get(card.value("id", ""), rest::kNetworkVersion);
        if (!nic.ok && nic.code == SDK_ERR_NOT_FOUND) continue;
        if (!nic.ok) return nic;
        const json owner = nic.body.value("properties", kNone).value("virtualMachine", kNone);
        if (iequals(owner.value("id", ""), vm.value("id", ""))) out.push_back(nic.body);
    }
    return Done();
}

rest::ArmResult RemoveDisk(rest::ArmClient& arm, const json& disk, const VmRemoval& what,
                           std::vector<std::string>& vhds) {
    const std::string managed = disk.value("managedDisk", kNone).value("id", "");
    if (!managed.empty()) return RemoveIfOwn(arm, managed, rest::kDiskVersion, what.onlyJob);
    const std::string vhd = disk.value("vhd", kNone).value("uri", "");
    if (!vhd.empty()) vhds.push_back(vhd);
    return Done();
}

// The interface, then its public addresses: an address in use by an interface cannot go before it.
rest::ArmResult RemoveInterface(rest::ArmClient& arm, const json& nic, const VmRemoval& what) {
    if (what.onlyJob && !TaggedByJob(nic, *what.onlyJob)) return Done();
    rest::ArmResult result = RemoveIfOwn(arm, nic.value("id", ""), rest::kNetworkVersion, std::nullopt);
    for (const json& config : nic.value("properties", kNone).value("ipConfigurations", json::array())) {
        if (!result.ok) break;
        const std::string ip = config.value("properties", kNone).value("publicIPAddress", kNone).value("id", "");
        if (!ip.empty()) result = RemoveIfOwn(arm, ip, rest::kNetworkVersion, what.onlyJob);
    }
    return result;
}

}  // namespace

rest::ArmResult Done() {
    rest::ArmResult done;
    done.ok = true;
    return done;
}

bool TaggedByJob(const json& resource, const std::string& job) {
    const json tags = resource.value("tags", kNone);
    const auto tag = tags.find(kCreatedByJobTag);
    return !job.empty() && tag != tags.end() && tag->is_string() && tag->get<std::string>() == job;
}

bool SameBlobUrl(const std::string& a, const std::string& b) {
    // The slash before the blob's name in "https://host/container/name".
    auto nameStart = [](const std::string& url) {
        const std::string::size_type scheme = url.find("://");
        const std::string::size_type host = scheme == std::string::npos ? scheme : url.find('/', scheme + 3);
        return host == std::string::npos ? host : url.find('/', host + 1);
    };
    const std::string::size_type split = nameStart(a);
    if (a.empty() || split == std::string::npos || a.find('?') != std::string::npos || split != nameStart(b))
        return false;
    return iequals(a.substr(0, split), b.substr(0, split)) && a.substr(split) == b.substr(split);
}

rest::ArmResult RemoveVmOverRest(rest::ArmClient& arm, const json& vm, const VmRemoval& what,
                                 std::vector<std::string>& vhds) {
    std::vector<json> nics;
    rest::ArmResult result = what.network ? HeldInterfaces(arm, vm, nics) : Done();
    if (result.ok) result = arm.remove(vm.value("id", ""), rest::kComputeVersion);
    if (!result.ok) return result;
    if (what.disks) {
        const json storage = vm.value("properties", kNone).value("storageProfile", kNone);
        std::vector<json> disks = storage.value("dataDisks", json::array());
        if (storage.contains("osDisk")) disks.insert(disks.begin(), storage["osDisk"]);
        for (const json& disk : disks)
            if (!(result = RemoveDisk(arm, disk, what, vhds)).ok) return result;
    }
    for (const json& nic : nics)
        if (!(result = RemoveInterface(arm, nic, what)).ok) return result;
    return result;
}

rest::ArmResult RemovePageBlobs(rest::BlobClient& blob, const std::vector<std::string>& urls,
                                const std::optional<std::string>& onlyJob) {
    for (const std::string& url : urls) {
        if (!rest::QueryValue(url, "snapshot").empty()) continue;
        VMInfoStructs::SDisk named;
        named.uri = url;
        rest::ArmResult result;
        const std::optional<BlobAddress> address = BlobAddressOf(blob, named, result.text);
        if (!address) {
            result.code = SDK_ERR_GENERAL;
            return result;
        }
        if (onlyJob) {
            ListedPageBlob listed;
            result = ListPageBlob(blob, *address, listed);
            if (!result.ok) return result;
            if (!listed.found || listed.value(kCreatedByJobTag) != *onlyJob) continue;
        }
        const rest::BlobResult gone = blob.send(NX_HTTP_DELETE, address->url, {"x-ms-delete-snapshots: include"});
        // 412: a VM holds the blob's lease, and so the blob, which is its disk.
        if (!gone.ok && gone.code != SDK_ERR_NOT_FOUND && gone.reply.status != 412) {
            result.code = gone.code;
            result.text = gone.text;
            return result;
        }
    }
    return Done();
}

}  // namespace AzureSDKCppBridge
