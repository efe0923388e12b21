// Attaching disks to a VM that exists and detaching them again. A disk-attach
// restore adds the disks it wrote to the target VM (and takes them off when
// that fails); live browse adds disks made from a snapshot to the agent's own
// VM and releases them at unmount.
//
// Both go through Resource Manager: the VM is read, its data-disk list changed
// and the whole body put back, and the cloud checks the change (disks existing
// and free, LUNs distinct, the size's data-disk limit). A managed VM takes a
// staged page blob as a managed disk imported from it, made before the VM is put
// (and deleted again when the VM refuses it), tagged as this job's; detaching
// finds that disk by its source blob and deletes it, as this job's own. Once
// attached, the staged blobs themselves go on the storage side.
#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/VmDataDisks.h"
#include "cloudsdk/VmRemoval.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"

namespace AzureSDKCppBridge {

using boost::algorithm::iequals;
using VMInfoStructs::SDisk;

namespace {

// The entries as the caller means them. Live browse names a page blob it made from a snapshot
// by putting the blob's URL where a managed disk's id would go; such an entry names that blob.
std::vector<SDisk> Requested(const std::vector<SDisk>& disks) {
    std::vector<SDisk> out = disks;
    for (SDisk& entry : out)
        if (entry.managedDiskId.find("://") != std::string::npos) {
            entry.uri = entry.managedDiskId;
            entry.managedDiskId.clear();
        }
    return out;
}

std::string EntryText(const SDisk& entry) {
    if (!entry.managedDiskId.empty()) return entry.managedDiskId;
    if (!entry.uri.empty()) return entry.uri;
    return entry.storageAccount + "/" + entry.name;
}

nlohmann::json JournalArgs(const VMInfoStructs::SVMInfo& vm, const std::vector<SDisk>& disks) {
    nlohmann::json listed = nlohmann::json::array();
    for (const SDisk& disk : disks) listed.push_back({{"id", EntryText(disk)}, {"lun", disk.unitNumber}});
    return {{"vmName", vm.name}, {"resourceGroup", vm.resourceGroup}, {"vmGuid", vm.guid}, {"disks", listed}};
}

// The VM the record names by name and group, read when its GUID is the record's: a record of
// another VM of that name never has its disks changed.
rest::ArmResult ReadRecordedVm(rest::ArmClient& arm, const VMInfoStructs::SVMInfo& record) {
    rest::ArmResult vm =
        arm.get(VmResourceId(arm.subscriptionId(), record.resourceGroup, record.name), rest::kComputeVersion);
    if (!vm.ok) return vm;
    const std::string guid = vm.body.value("properties", nlohmann::json::object()).value("vmId", "");
    if (record.guid.empty() || !iequals(guid, record.guid)) {
        vm.ok = false;
        vm.code = SDK_ERR_GENERAL;
        vm.text = "InvalidParameter: VM '" + record.name + "' has GUID '" + guid + "', not '" + record.guid + "'.";
    }
    return vm;
}

nlohmann::json& DataDisksOf(nlohmann::json& vm) { return vm["properties"]["storageProfile"]["dataDisks"]; }

bool NamesBlob(const SDisk& entry) { return entry.managedDiskId.empty(); }

rest::ArmResult Refused(const std::string& text) {
    rest::ArmResult refused;
    refused.code = SDK_ERR_GENERAL;
    refused.text = text;
    return refused;
}

// The storage account a blob entry names: the first label of its URL's host, else its account.
std::string AccountOfEntry(const SDisk& entry) {
    if (entry.uri.empty()) return entry.storageAccount.substr(0, entry.storageAccount.find('\\'));
    const std::string::size_type host = entry.uri.find("://");
    const std::string::size_type start = host == std::string::npos ? 0 : host + 3;
    return entry.uri.substr(start, entry.uri.find('.', start) - start);
}

// The managed disk a page blob is imported into: the blob's name without ".vhd".
std::string ImportedName(const std::string& url) {
    std::string name = url.substr(url.rfind('/') + 1);
    if (boost::algorithm::iends_with(name, ".vhd")) name.resize(name.size() - 4);
    return name;
}

// The page blobs a managed VM takes as managed disks imported from them: per entry, the id of its
// disk (empty for other entries); the disks made and the staged blobs' URLs.
struct Imports {
    std::vector<std::string> ids;
    std::vector<std::string> made;
    std::vector<std::string> staged;
};

// The disk-create body that imports the blob `url` of `account` (its JSON) for `vm`, tagged as `job`'s.
nlohmann::json ImportBody(const nlohmann::json& vm, const nlohmann::json& account, const std::string& url,
                          const std::string& job) {
    const bool premium =
        boost::algorithm::istarts_with(account.value("sku", nlohmann::json::object()).value("name", ""), "Premium");
    nlohmann::json body = {
        {"location", vm.value("location", "")},
        {"sku", {{"name", premium ? "Premium_LRS" : "Standard_LRS"}}},
        {"tags", {{kCreatedByJobTag, job}}},
        {"properties",
         {{"creationData",
           {{"createOption", "Import"}, {"sourceUri", url}, {"storageAccountId", account.value("id", "")}}}}}};
    if (vm.contains("zones")) body["zones"] = vm["zones"];
    return body;
}

// The blob entries' URLs, each in a storage account of the subscription (`accounts`: their JSON)
// and listed once; `urls` gets one per entry (empty for other entries).
rest::ArmResult StagedUrls(const std::vector<SDisk>& entries, const nlohmann::json& accounts,
                           std::vector<std::string>& urls) {
    urls.assign(entries.size(), std::string());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!NamesBlob(entries[i])) continue;
        const std::string name = AccountOfEntry(entries[i]);
        const auto account = std::find_if(accounts.begin(), accounts.end(), [&](const nlohmann::json& a) {
            return iequals(a.value("name", ""), name);
        });
        if (account == accounts.end())
            return Refused("InvalidParameter: The storage account '" + name + "' of disk '" + entries[i].name +
                           "' does not exist in this subscription.");
        const nlohmann::json endpoints = account->value("properties", nlohmann::json::object())
                                             .value("primaryEndpoints", nlohmann::json::object());
        urls[i] = BlobUrlOfEntry(entries[i], endpoints.value("blob", ""));
        for (std::size_t j = 0; j < i; ++j)
            if (SameBlobUrl(urls[i], urls[j]))
                return Refused("InvalidParameter: Disk '" + entries[i].name + "' is listed more than once.");
    }
    return Done();
}

// Imports the blob entries into managed disks of the VM's group, tagged as this job's, each into a
// name no disk of the group has. Stops at the first failure; what was made so far is in `out.made`.
rest::ArmResult ImportStagedBlobs(rest::ArmClient& arm, const std::vector<SDisk>& entries, const nlohmann::json& vm,
                                  const std::string& group, const std::string& job, Imports& out) {
    rest::ArmResult result =
        rest::ListOfType(arm, "Microsoft.Storage/storageAccounts", rest::kStorageVersion);
    const nlohmann::json accounts = result.body;
    std::vector<std::string> urls;
    if (result.ok) result = StagedUrls(entries, accounts, urls);
    out.ids.assign(entries.size(), std::string());
    for (std::size_t i = 0; i < entries.size() && result.ok; ++i) {
        if (urls[i].empty()) continue;
        const std::string name = ImportedName(urls[i]);
        const std::string id = "/subscriptions/" + arm.subscriptionId() + "/resourceGroups/" + group +
                               "/providers/Microsoft.Compute/disks/" + name;
        result = arm.get(id, rest::kDiskVersion);
        if (result.ok) return Refused("Conflict: A disk named '" + name + "' already exists in resource group '" +
                                      group + "'.");
        if (result.code != SDK_ERR_NOT_FOUND) return result;
        const std::string account = AccountOfEntry(entries[i]);
        const auto owner = std::find_if(accounts.begin(), accounts.end(), [&](const nlohmann::json& a) {
            return iequals(a.value("name", ""), account);
        });
        result = arm.put(id, rest::kDiskVersion, ImportBody(vm, *owner, urls[i], job));
        if (!result.ok) return result;
        out.ids[i] = result.body.value("id", id);
        out.made.push_back(out.ids[i]);
        out.staged.push_back(urls[i]);
    }
    return result;
}

// Deletes the disks made for an attach that failed, whose error `failure` stays the one reported,
// with the disks that could not be deleted named after it.
void RemoveImports(rest::ArmClient& arm, const std::vector<std::string>& made, rest::ArmResult& failure) {
    for (const std::string& id : made) {
        const rest::ArmResult gone = arm.remove(id, rest::kDiskVersion);
        if (!gone.ok && gone.code != SDK_ERR_NOT_FOUND)
            failure.text += " The disk " + id + " made for it is left: " + gone.text;
    }
}

// Whether a managed disk (its JSON) is one this job imported from a page blob; its source blob's URL then.
std::string ImportedByJob(const nlohmann::json& disk, const std::string& job) {
    const nlohmann::json creation =
        disk.value("properties", nlohmann::json::object()).value("creationData", nlohmann::json::object());
    if (!TaggedByJob(disk, job) || !iequals(creation.value("createOption", ""), "Import")) return std::string();
    return creation.value("sourceUri", "");
}

// Whether a data disk of the VM (`id`: a managed disk's id, with its JSON `disk` when read, or a
// page blob's URL) is what a listed entry names: a managed disk by its id; a page blob by its URL,
// or the managed disk this job imported from it.
bool Names(const SDisk& entry, const std::string& id, const nlohmann::json& disk, const std::string& job) {
    if (!NamesBlob(entry)) return iequals(id, entry.managedDiskId);
    const std::string source = disk.is_object() ? ImportedByJob(disk, job) : id;
    if (source.empty()) return false;
    const std::string url = BlobUrlOfEntry(entry, source);
    if (url.empty())
        throw OperationFailure(SDK_ERR_GENERAL, "InvalidParameter: Disk '" + entry.name + "' names no page blob.");
    return SameBlobUrl(source, url);
}

}  // namespace

bool CAzureSDKCppBridge::AddDisksToVM(const VMInfoStructs::SVMInfo& vm, const std::vector<SDisk>& disks) try {
    if (std::optional<Refusal> refusal = impl_->begin("AddDisksToVM", JournalArgs(vm, disks)))
        return Fail(refusal->code, refusal->text);
    const std::vector<SDisk> entries = Requested(disks);
    rest::ArmClient& arm = *impl_->arm;
    rest::ArmResult result = ReadRecordedVm(arm, vm);
    if (!result.ok) return Fail(result.code, result.text);
    nlohmann::json target = result.body;
    const bool imports = HasManagedDisks(target) && std::any_of(entries.begin(), entries.end(), NamesBlob);
    Imports imported;
    if (imports) result = ImportStagedBlobs(arm, entries, target, vm.resourceGroup, impl_->jobId, imported);
    if (!result.ok) {
        RemoveImports(arm, imported.made, result);
        return Fail(result.code, result.text);
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SDisk entry = entries[i];
        if (imports && !imported.ids[i].empty()) entry.managedDiskId = imported.ids[i];
        DataDisksOf(target).push_back(DataDiskOf(target, entry));
    }
    result = arm.put(target.value("id", ""), rest::kComputeVersion, target);
    if (!result.ok) {
        RemoveImports(arm, imported.made, result);
        return Fail(result.code, result.text);
    }
    // Attached: the staged blobs the disks were imported from go.
    result = RemovePageBlobs(*impl_->blob, imported.staged, std::nullopt);
    return result.ok || Fail(result.code, result.text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeleteDisksFromVM(const VMInfoStructs::SVMInfo& vm, const std::vector<SDisk>& disks) try {
    if (std::optional<Refusal> refusal = impl_->begin("DeleteDisksFromVM", JournalArgs(vm, disks)))
        return Fail(refusal->code, refusal->text);
    const std::vector<SDisk> entries = Requested(disks);
    rest::ArmClient& arm = *impl_->arm;
    rest::ArmResult result = ReadRecordedVm(arm, vm);
    if (!result.ok) return Fail(result.code, result.text);
    nlohmann::json target = result.body;
    const std::string job = impl_->jobId;
    // A blob entry may name a managed disk this job imported from it: the VM's managed disks are read then.
    const bool byBlob = std::any_of(entries.begin(), entries.end(), NamesBlob);
    nlohmann::json kept = nlohmann::json::array();
    std::vector<std::pair<std::string, nlohmann::json>> detached;
    for (const nlohmann::json& disk : DataDisksOf(target)) {
        const nlohmann::json none = nlohmann::json::object();
        const std::string managed = disk.value("managedDisk", none).value("id", "");
        const std::string id = managed.empty() ? disk.value("vhd", none).value("uri", "") : managed;
        nlohmann::json read;
        if (byBlob && !managed.empty()) {
            result = arm.get(managed, rest::kDiskVersion);
            if (!result.ok) return Fail(result.code, result.text);
            read = result.body;
        }
        const bool listed = std::any_of(entries.begin(), entries.end(),
                                        [&](const SDisk& entry) { return Names(entry, id, read, job); });
        if (!listed)
            kept.push_back(disk);
        else if (!managed.empty())
            detached.emplace_back(managed, read);
        else
            detached.emplace_back(std::string(), nullptr);
    }
    if (detached.empty()) return true;
    DataDisksOf(target) = kept;
    result = arm.put(target.value("id", ""), rest::kComputeVersion, target);
    if (!result.ok) return Fail(result.code, result.text);
    // Only a disk this job imported from a page blob is its own to delete.
    for (auto& [id, disk] : detached) {
        if (id.empty()) continue;
        if (disk.is_null()) {
            result = arm.get(id, rest::kDiskVersion);
            if (!result.ok && result.code == SDK_ERR_NOT_FOUND) continue;
            if (!result.ok) return Fail(result.code, result.text);
            disk = result.body;
        }
        if (ImportedByJob(disk, job).empty()) continue;
        result = arm.remove(id, rest::kDiskVersion);
        if (!result.ok && result.code != SDK_ERR_NOT_FOUND) return Fail(result.code, result.text);
    }
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
