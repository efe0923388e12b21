#include "agent/snap/SnapRestoreCleanup.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include <boost/algorithm/string/predicate.hpp>
#include <pugixml.hpp>

#include "agent/restore/RestoreCleanup.h"
#include "agent/store/FolderLock.h"
#include "cloudsdk/AzureSDKCppBridge.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ArmClient.h"
#include "cloudsdk/rest/BlobClient.h"
#include "cloudsdk/rest/ResourceLookup.h"
#include "host/log/JobIdentity.h"

namespace fs = std::filesystem;
using boost::algorithm::iequals;
using nlohmann::json;

namespace vsagent {

namespace {

namespace rest = AzureSDKCppBridge::rest;
using AzureSDKCppBridge::kCreatedByJobTag;
using AzureSDKCppBridge::SDK_ERR_NOT_FOUND;

// The subscription as the agent's service principal reads it: Resource Manager and the Blob
// service of its storage accounts, at the endpoints of the settings. Each read throws
// std::runtime_error with the cloud's text when it cannot be made.
class CloudReader {
public:
    explicit CloudReader(const CloudCredentials& credentials)
        : arm_(rest::CloudEndpoints::FromSettings(), credentials.subscriptionId, credentials.applicationId,
               credentials.secret),
          blobs_(rest::CloudEndpoints::FromSettings(), credentials.applicationId, credentials.secret,
                 [this](std::string& tenant, std::string& error) {
                     rest::ArmResult failure;
                     if (arm_.tenant(tenant, failure)) return true;
                     error = failure.text;
                     return false;
                 }) {
        if (credentials.subscriptionId.empty()) throw std::runtime_error("no subscription is named");
    }
    CloudReader(const CloudReader&) = delete;
    CloudReader& operator=(const CloudReader&) = delete;

    // Every resource of `type` ("Microsoft.Compute/disks") in the subscription.
    json all(const std::string& type, const std::string& apiVersion) {
        return Checked(rest::ListOfType(arm_, type, apiVersion)).body;
    }
    // Every item of the list at `path`.
    json list(const std::string& path, const std::string& apiVersion) {
        return Checked(arm_.list(path, apiVersion)).body;
    }
    // Whether the resource at `path` exists.
    bool exists(const std::string& path, const std::string& apiVersion) {
        const rest::ArmResult got = arm_.get(path, apiVersion);
        if (!got.ok && got.code != SDK_ERR_NOT_FOUND) throw std::runtime_error(got.text);
        return got.ok;
    }
    // Whether the blob at `url` exists.
    bool blobExists(const std::string& url) {
        const rest::BlobResult got = blobs_.send(NX_HTTP_HEAD, url);
        if (!got.ok && got.code != SDK_ERR_NOT_FOUND) throw std::runtime_error(got.text);
        return got.ok;
    }
    // The URLs of the page blobs of `container` of `account` whose metadata carries `mark`.
    std::vector<std::string> markedPageBlobs(const std::string& account, const std::string& container,
                                             const std::string& mark);

private:
    static const rest::ArmResult& Checked(const rest::ArmResult& result) {
        if (!result.ok) throw std::runtime_error(result.text);
        return result;
    }

    rest::ArmClient arm_;
    rest::BlobClient blobs_;
};

std::vector<std::string> CloudReader::markedPageBlobs(const std::string& account, const std::string& container,
                                                      const std::string& mark) {
    std::vector<std::string> urls;
    const std::string containerUrl = blobs_.url(account, container);
    for (std::string marker;;) {
        const rest::BlobResult page = blobs_.send(
            NX_HTTP_GET, containerUrl + "?restype=container&comp=list&include=metadata" +
                             (marker.empty() ? std::string() : "&marker=" + rest::Escaped(marker)));
        if (!page.ok) throw std::runtime_error(page.text);
        pugi::xml_document doc;
        if (!doc.load_buffer(page.reply.body.data(), page.reply.body.size()))
            throw std::runtime_error("the blobs of [" + containerUrl + "] could not be listed");
        const pugi::xml_node results = doc.child("EnumerationResults");
        for (const pugi::xml_node& blob : results.child("Blobs").children("Blob"))
            if (std::string(blob.child("Properties").child_value("BlobType")) == "PageBlob" &&
                blob.child("Metadata").child_value(kCreatedByJobTag) == mark)
                urls.push_back(blobs_.url(account, container, blob.child_value("Name")));
        marker = results.child_value("NextMarker");
        if (marker.empty()) return urls;
    }
}

bool IsSourceDisk(const SnapRestoreRecord& record, const std::string& location) {
    return std::any_of(record.sourceDisks.begin(), record.sourceDisks.end(),
                       [&](const std::string& disk) { return iequals(disk, location); });
}

bool Marked(const json& resource, const std::string& jobGuid) {
    return !jobGuid.empty() && resource.value("tags", json::object()).value(kCreatedByJobTag, "") == jobGuid;
}

// The segment of resource id `id` that follows `name` ("resourceGroups").
std::string IdPart(const std::string& id, const std::string& name) {
    const std::string key = "/" + name + "/";
    std::size_t at = 0;
    while ((at = id.find('/', at)) != std::string::npos && !iequals(id.substr(at, key.size()), key)) ++at;
    if (at == std::string::npos) return std::string();
    const std::size_t start = at + key.size();
    return id.substr(start, id.find('/', start) - start);
}

// The disks of a VM as its storage profile names them: managed disk ids and page blob URLs.
std::vector<std::string> DisksOfVm(const json& vm) {
    const json storage = vm.value("properties", json::object()).value("storageProfile", json::object());
    json disks = storage.value("dataDisks", json::array());
    if (storage.contains("osDisk")) disks.push_back(storage["osDisk"]);
    std::vector<std::string> out;
    for (const json& disk : disks) {
        const std::string id = disk.value("managedDisk", json::object()).value("id", "");
        out.push_back(id.empty() ? disk.value("vhd", json::object()).value("uri", "") : id);
    }
    return out;
}

std::vector<SDisk> DiskEntries(const MarkedLeftovers& left) {
    std::vector<SDisk> disks;
    for (const std::string& id : left.managedDiskIds) {
        SDisk disk;
        disk.managedDiskId = id;
        disk.isManaged = true;
        disks.push_back(disk);
    }
    for (const std::string& url : left.pageBlobUrls) {
        SDisk disk;
        disk.uri = url;
        disk.name = url.substr(url.rfind('/') + 1);
        disks.push_back(disk);
    }
    return disks;
}

// Removes what `left` names; false with `problem` set at the first call that failed.
bool Remove(AzureSDKCppBridge::CAzureSDKCppBridge& sdk, const MarkedLeftovers& left, std::string& problem) {
    std::vector<SVMInfo> builtOnOwnDisks;
    for (const MarkedLeftovers::Vm& vm : left.vms) {
        if (!vm.usesSourceDisk) {
            SVMInfo info;
            info.name = vm.name;
            info.guid = vm.guid;
            info.resourceGroup = vm.resourceGroup;
            builtOnOwnDisks.push_back(info);
        } else if (!sdk.DeleteVM(vm.name, vm.guid, false, false)) {
            problem = "VM [" + vm.name + "] was not deleted: " + sdk.GetLastErrorString();
            return false;
        }
    }
    if (builtOnOwnDisks.empty()) builtOnOwnDisks.emplace_back();  // the disks alone
    const std::vector<SDisk> disks = DiskEntries(left);
    for (const SVMInfo& vm : builtOnOwnDisks)
        if (!sdk.CleanupRestoreVM(vm, disks, true)) {
            problem = sdk.GetLastErrorString();
            return false;
        }
    return true;
}

// False only when the VM is known to be absent.
bool VmMayExist(const CloudCredentials& credentials, const std::string& name, const std::string& resourceGroup) {
    try {
        CloudReader cloud(credentials);
        return cloud.exists("/subscriptions/" + credentials.subscriptionId + "/resourceGroups/" + resourceGroup +
                                "/providers/Microsoft.Compute/virtualMachines/" + name,
                            rest::kComputeVersion);
    } catch (const std::exception&) {
        return true;
    }
}

}  // namespace

std::string MarkedLeftovers::text() const {
    std::string out;
    auto add = [&](const std::string& kind, const std::string& name) {
        out += (out.empty() ? "" : ", ") + kind + " [" + name + "]";
    };
    for (const Vm& vm : vms) add("VM", vm.name);
    for (const std::string& id : managedDiskIds) add("managed disk", id);
    for (const std::string& url : pageBlobUrls) add("page blob", url);
    return out.empty() ? "nothing" : out;
}

MarkedLeftovers LeftoversOf(const CloudCredentials& credentials, const SnapRestoreRecord& record) {
    CloudReader cloud(credentials);
    MarkedLeftovers left;
    for (const json& vm : cloud.all("Microsoft.Compute/virtualMachines", rest::kComputeVersion)) {
        if (!Marked(vm, record.jobGuid)) continue;
        const std::vector<std::string> disks = DisksOfVm(vm);
        const bool usesSource =
            std::any_of(disks.begin(), disks.end(), [&](const std::string& d) { return IsSourceDisk(record, d); });
        left.vms.push_back({vm.value("name", ""), vm.value("properties", json::object()).value("vmId", ""),
                            IdPart(vm.value("id", ""), "resourceGroups"), usesSource});
    }
    for (const json& disk : cloud.all("Microsoft.Compute/disks", rest::kDiskVersion))
        if (Marked(disk, record.jobGuid) && !IsSourceDisk(record, disk.value("id", "")))
            left.managedDiskIds.push_back(disk.value("id", ""));
    for (const json& account : cloud.all("Microsoft.Storage/storageAccounts", rest::kStorageVersion))
        for (const json& container :
             cloud.list(account.value("id", "") + "/blobServices/default/containers", rest::kStorageVersion))
            for (const std::string& url :
                 cloud.markedPageBlobs(account.value("name", ""), container.value("name", ""), record.jobGuid))
                if (!IsSourceDisk(record, url)) left.pageBlobUrls.push_back(url);
    return left;
}

std::vector<std::string> DetachedSourceDisks(const CloudCredentials& credentials, const SnapRestoreRecord& record) {
    CloudReader cloud(credentials);
    std::vector<std::string> used;
    for (const json& vm : cloud.all("Microsoft.Compute/virtualMachines", rest::kComputeVersion))
        for (const std::string& disk : DisksOfVm(vm)) used.push_back(disk);
    std::vector<std::string> detached;
    for (const std::string& disk : record.sourceDisks) {
        const bool managed = boost::algorithm::istarts_with(disk, "/subscriptions/");
        if (std::any_of(used.begin(), used.end(), [&](const std::string& u) { return iequals(u, disk); })) continue;
        if (managed ? cloud.exists(disk, rest::kDiskVersion) : cloud.blobExists(disk)) detached.push_back(disk);
    }
    return detached;
}

bool UndoSnapRestore(const SnapRestoreRecord& record, const CloudCredentials& credentials, std::string& problem) {
    try {
        const MarkedLeftovers left = LeftoversOf(credentials, record);
        if (left.empty()) return true;
        AzureSDKCppBridge::CAzureSDKCppBridge sdk;
        if (!OpenWrapperAsJob(sdk, record.jobId, record.jobGuid, credentials)) {
            problem = "the cloud cannot be reached under the job's identity: " + sdk.GetLastErrorString();
            return false;
        }
        if (!Remove(sdk, left, problem)) return false;
        const MarkedLeftovers after = LeftoversOf(credentials, record);
        if (after.empty()) return true;
        problem = after.text() + " still carry the job's mark";
    } catch (const std::exception& e) {
        problem = std::string("the subscription's state cannot be read: ") + e.what();
    }
    return false;
}

UndoOutcome UndoSnapRestoreFolder(const std::string& folder, const CloudCredentials& credentials) {
    UndoOutcome outcome;
    std::optional<FolderLock> lock = FolderLock::Try(folder, FolderLock::Mode::Exclusive);
    if (!lock) return outcome;  // a job that still runs
    std::optional<SnapRestoreRecord> record = SnapRestoreRecord::Read(folder);
    if (!record && fs::exists(fs::path(folder) / "snap-restore.json")) {
        outcome.line = "the record of the ended snap restore in [" + folder +
                       "] cannot be read; nothing was removed and its folder is left for a person to look at";
        return outcome;
    }
    const std::string job = record ? "snap restore job " + std::to_string(record->jobId) : std::string();
    std::string problem;
    if (record && !UndoSnapRestore(*record, credentials, problem)) {
        outcome.line = job + " did not undo what it made, and removing it failed (" + problem +
                       "); its record stays for the next run";
        outcome.left = problem;
        return outcome;
    }
    lock.reset();
    std::error_code removed;
    fs::remove_all(folder, removed);
    outcome.undone = true;
    if (!record) {
        outcome.line = "removed the work folder [" + folder + "] of a killed snap restore that had made nothing";
        return outcome;
    }
    outcome.line = "undid " + job + " that ended without undoing what it made (what carried its mark was removed)";
    if (record->revert && !VmMayExist(credentials, record->vmName, record->resourceGroup))
        outcome.line += "; VM [" + record->vmName +
                        "] is not there any more, its disks and the snapshots of snap job " +
                        std::to_string(record->snapJobId) + " are kept: 'vsagent snap revert --job " +
                        std::to_string(record->snapJobId) + " --vm " + record->sourceVmName + "' puts it back";
    return outcome;
}

std::vector<std::string> UndoDeadSnapRestores(const std::string& storeRoot, const CloudCredentials& credentials) {
    std::vector<std::string> done;
    std::error_code ec;
    for (fs::directory_iterator it(SnapRestoresFolder(storeRoot), ec), end; !ec && it != end; it.increment(ec)) {
        const UndoOutcome outcome = UndoSnapRestoreFolder(it->path().string(), credentials);
        if (!outcome.line.empty()) done.push_back(outcome.line);
    }
    return done;
}

}  // namespace vsagent
