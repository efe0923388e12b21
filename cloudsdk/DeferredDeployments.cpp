// Deferred deployments: a VM whose disks are ready but that is not created yet, kept as a
// configuration blob ("vhds" container, VmConfigBlobName) from which DeployVMFromConfig
// creates it later, and the removal of that blob once the VM exists.
//
// The configuration is the source VM's, with its disks, size, region and zones replaced by
// the ones the deployment was asked for, plus a member "deferredDeployment" that marks it as
// written here: only a blob carrying that mark for the same VM is ever replaced or removed.
// The mark also keeps what the configuration itself cannot say: whether the VM is managed (its
// page blobs are then imported into managed disks and stay) and its key backups.
#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/DeploymentRequest.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/VmCreation.h"

namespace AzureSDKCppBridge {

using boost::algorithm::iequals;
using nlohmann::json;
using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

namespace {

const char* const kConfigContainer = "vhds";

// Whether `text` is a configuration this wrapper deferred for VM `vmName` of `resourceGroup`.
bool IsDeferredConfigOf(const std::string& text, const std::string& vmName, const std::string& resourceGroup) {
    const json config = json::parse(text, nullptr, false);
    if (!config.is_object() || !config.contains(kDeferredDeploymentMember) ||
        !config[kDeferredDeploymentMember].is_object())
        return false;
    const json& mark = config[kDeferredDeploymentMember];
    return mark.contains(kCreatedByJobTag) && iequals(mark.value("vmName", std::string()), vmName) &&
           iequals(mark.value("resourceGroup", std::string()), resourceGroup);
}

// The entry that is the OS disk: the one `osDiskName` names, else the one marked as such.
const SDisk* DeferredOsDisk(const SVMInfo& vm, const std::string& osDiskName) {
    for (const SDisk& d : vm.disks)
        if (!osDiskName.empty() && (d.name == osDiskName || d.managedDiskId == osDiskName)) return &d;
    for (const SDisk& d : vm.disks)
        if (d.isOsDisk) return &d;
    return nullptr;
}

// One disk of the storage profile, attached as it is: a managed disk by id, a page blob by URL.
// The disk must exist now, so that the later deployment does not find it missing.
json DeferredDisk(const azsim::StateDocument& doc, const azsim::PageBlobStore& store, const SDisk& entry,
                  json disk) {
    disk.erase("vhd");
    disk.erase("managedDisk");
    disk["createOption"] = "Attach";
    if (!entry.managedDiskId.empty()) {
        const azsim::ManagedDisk* md = doc.findManagedDisk(entry.managedDiskId);
        if (!md)
            throw OperationFailure(SDK_ERR_NOT_FOUND, "ResourceNotFound: The disk '" + entry.managedDiskId +
                                                          "' of the deferred VM was not found.");
        disk["name"] = md->name;
        disk["managedDisk"] = {{"id", md->id}};
        return disk;
    }
    std::string error;
    std::optional<azsim::BlobKey> blob = PageBlobOfEntry(entry, error);
    if (!blob) throw OperationFailure(SDK_ERR_GENERAL, "InvalidParameter: " + error);
    if (!store.exists(*blob))
        throw OperationFailure(SDK_ERR_NOT_FOUND, "BlobNotFound: The disk blob '" + azsim::PageBlobUri(*blob) +
                                                      "' of the deferred VM does not exist.");
    disk["name"] = blob->name;
    disk["vhd"] = {{"uri", azsim::PageBlobUri(*blob)}};
    return disk;
}

// The source configuration with what the deployment was asked for.
json DeferredConfig(const azsim::StateDocument& doc, const azsim::PageBlobStore& store, const SVMInfo& vm,
                    const std::string& osDiskName, const std::string& configText) {
    json config = configText.empty() ? json::object() : json::parse(configText, nullptr, false);
    if (!config.is_object())
        throw OperationFailure(SDK_ERR_GENERAL, "InvalidParameter: The VM configuration cannot be read.");
    const SDisk* os = DeferredOsDisk(vm, osDiskName);
    if (!os) throw OperationFailure(SDK_ERR_GENERAL, "InvalidParameter: The deferred VM has no OS disk.");
    config["name"] = vm.name;
    if (!vm.region.empty()) config["location"] = vm.region;
    json& properties = config["properties"];
    if (!properties.is_object()) properties = json::object();
    if (!vm.vmSize.empty()) properties["hardwareProfile"]["vmSize"] = vm.vmSize;
    if (vm.availabilityZones.empty() || iequals(vm.availabilityZones, "None"))
        config.erase("zones");
    else
        config["zones"] = vm.availabilityZones;
    json& storage = properties["storageProfile"];
    if (!storage.is_object()) storage = json::object();
    const json sourceOs = storage.contains("osDisk") && storage["osDisk"].is_object() ? storage["osDisk"] : json::object();
    storage["osDisk"] = DeferredDisk(doc, store, *os, sourceOs);
    storage["dataDisks"] = json::array();
    for (const SDisk& d : vm.disks)
        if (&d != os) storage["dataDisks"].push_back(DeferredDisk(doc, store, d, {{"lun", d.unitNumber}}));
    return config;
}

}  // namespace

bool CAzureSDKCppBridge::DelayVMDeployment(const SVMInfo& vmInfo, const std::string& osDiskName,
                                           const std::string& configText, bool assignPublicIP, bool inPlaceRestore,
                                           bool restoreAsManagedVM, const std::string& dekBackup,
                                           const std::string& kekBackup) try {
    json args = {{"vmName", vmInfo.name}, {"resourceGroup", vmInfo.resourceGroup},
                 {"storageAccount", vmInfo.storageAccount}, {"osDiskName", osDiskName},
                 {"disks", vmInfo.disks.size()}, {"configBytes", configText.size()},
                 {"assignPublicIP", assignPublicIP}, {"inPlaceRestore", inPlaceRestore},
                 {"restoreAsManagedVM", restoreAsManagedVM}, {"encrypted", !dekBackup.empty() || !kekBackup.empty()}};
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("DelayVMDeployment", args, doc))
        return Fail(refusal->code, refusal->text);
    // "account" or "account\container": the configuration goes next to the disks' account.
    const std::string accountName = vmInfo.storageAccount.substr(0, vmInfo.storageAccount.find('\\'));
    const azsim::StorageAccount* account = doc.findStorageAccount(accountName);
    if (!account)
        return Fail(SDK_ERR_NOT_FOUND, "StorageAccountNotFound: The storage account '" + accountName +
                                           "' was not found.");
    azsim::PageBlobStore store = impl_->localState().blobs();
    json config = DeferredConfig(doc, store, vmInfo, osDiskName, configText);
    config[kDeferredDeploymentMember] = {{kCreatedByJobTag, impl_->jobId}, {"vmName", vmInfo.name},
                                         {"resourceGroup", vmInfo.resourceGroup}, {"assignPublicIP", assignPublicIP},
                                         {"inPlaceRestore", inPlaceRestore}, {"managed", restoreAsManagedVM},
                                         {"dekBackup", dekBackup}, {"kekBackup", kekBackup}};
    const azsim::BlobKey key{account->name, kConfigContainer, VmConfigBlobName(vmInfo.resourceGroup, vmInfo.name)};
    std::string existing;
    if (store.exists(key) &&
        !(store.getBlockBlob(key, existing) && IsDeferredConfigOf(existing, vmInfo.name, vmInfo.resourceGroup)))
        return Fail(SDK_ERR_GENERAL, "BlobAlreadyExists: The blob '" + key.name + "' in storage account '" +
                                         account->name + "' is not a deferred configuration of VM '" + vmInfo.name +
                                         "'; it is left as it is.");
    impl_->localState().mutate([&](azsim::StateDocument& d) {
        azsim::StorageAccount* target = d.findStorageAccount(account->name);
        for (const std::string& c : target->containers)
            if (c == kConfigContainer) return false;
        target->containers.push_back(kConfigContainer);
        return true;
    });
    std::string error;
    if (!store.putBlockBlob(key, config.dump(2), &error))
        return Fail(SDK_ERR_GENERAL, "Writing the configuration of VM '" + vmInfo.name + "' failed: " + error);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::CleanupStagingResources(const std::string& vmName, const std::string& resourceGroup) try {
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal =
            impl_->open("CleanupStagingResources", {{"vmName", vmName}, {"resourceGroup", resourceGroup}}, doc))
        return Fail(refusal->code, refusal->text);
    // Before the VM exists its configuration is the only way to create it: it stays.
    if (!doc.findVm(vmName, resourceGroup))
        return Fail(SDK_ERR_NOT_FOUND, "ResourceNotFound: VM '" + vmName + "' does not exist in resource group '" +
                                           resourceGroup + "'; the configuration kept for its deployment stays.");
    azsim::PageBlobStore store = impl_->localState().blobs();
    const std::string name = VmConfigBlobName(resourceGroup, vmName);
    for (const azsim::StorageAccount& account : doc.storageAccounts) {
        const azsim::BlobKey key{account.name, kConfigContainer, name};
        std::string text;
        if (store.getBlockBlob(key, text) && IsDeferredConfigOf(text, vmName, resourceGroup)) store.deleteBlob(key);
    }
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
