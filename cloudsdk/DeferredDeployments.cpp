// Deferred deployments: a VM whose disks are ready but that is not created yet, kept as a
// configuration blob ("vhds" container, VmConfigBlobName) from which DeployVMFromConfig
// creates it later, and the removal of that blob once the VM exists.
//
// The cloud keeps the configuration as a block blob of the disks' storage account: a template
// deployment of Resource Manager would create the VM at once (a deployment has no state in which
// it waits), and the plugin's failover reads the configuration back through the Blob service.
//
// The configuration is the source VM's, with its disks, size, region and zones replaced by
// the ones the deployment was asked for, plus a member "deferredDeployment" that marks it as
// written here: only a blob carrying that mark for the same VM is ever replaced or removed.
// The mark also keeps what the configuration itself cannot say: whether the VM is managed (its
// page blobs are then imported into managed disks and stay) and its key backups.
#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BlobAddress.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/VmCreation.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"

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
json DeferredDisk(rest::ArmClient& arm, rest::BlobClient& blobs, const SDisk& entry, json disk) {
    disk.erase("vhd");
    disk.erase("managedDisk");
    disk["createOption"] = "Attach";
    if (!entry.managedDiskId.empty()) {
        const rest::ArmResult md = arm.get(entry.managedDiskId, rest::kDiskVersion);
        if (!md.ok && md.code == SDK_ERR_NOT_FOUND)
            throw OperationFailure(SDK_ERR_NOT_FOUND, "ResourceNotFound: The disk '" + entry.managedDiskId +
                                                          "' of the deferred VM was not found.");
        if (!md.ok) throw OperationFailure(md.code, md.text);
        disk["name"] = md.body.value("name", "");
        disk["managedDisk"] = {{"id", md.body.value("id", entry.managedDiskId)}};
        return disk;
    }
    std::string error;
    std::optional<BlobAddress> blob = BlobAddressOf(blobs, entry, error);
    if (!blob) throw OperationFailure(SDK_ERR_GENERAL, "InvalidParameter: " + error);
    const rest::BlobResult found = blobs.send(NX_HTTP_HEAD, blob->url);
    if (!found.ok && found.code == SDK_ERR_NOT_FOUND)
        throw OperationFailure(SDK_ERR_NOT_FOUND, "BlobNotFound: The disk blob '" + blob->url +
                                                      "' of the deferred VM does not exist.");
    if (!found.ok) throw OperationFailure(found.code, found.text);
    disk["name"] = blob->name;
    disk["vhd"] = {{"uri", blob->url}};
    return disk;
}

// What blob `url` holds: nothing (none), a deferred configuration of VM `vmName` of `resourceGroup`
// (true), or anything else (false). Throws when it cannot be read.
std::optional<bool> DeferredConfigAt(rest::BlobClient& blobs, const std::string& url, const std::string& vmName,
                                     const std::string& resourceGroup) {
    const rest::BlobResult got = blobs.send(NX_HTTP_GET, url);
    if (!got.ok && got.code == SDK_ERR_NOT_FOUND) return std::nullopt;
    if (!got.ok) throw OperationFailure(got.code, got.text);
    return got.reply.header("x-ms-blob-type") == "BlockBlob" &&
           IsDeferredConfigOf(got.reply.body, vmName, resourceGroup);
}

// The source configuration with what the deployment was asked for.
json DeferredConfig(rest::ArmClient& arm, rest::BlobClient& blobs, const SVMInfo& vm, const std::string& osDiskName,
                    const std::string& configText) {
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
    storage["osDisk"] = DeferredDisk(arm, blobs, *os, sourceOs);
    storage["dataDisks"] = json::array();
    for (const SDisk& d : vm.disks)
        if (&d != os) storage["dataDisks"].push_back(DeferredDisk(arm, blobs, d, {{"lun", d.unitNumber}}));
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
    if (std::optional<Refusal> refusal = impl_->begin("DelayVMDeployment", args))
        return Fail(refusal->code, refusal->text);
    rest::ArmClient& arm = *impl_->arm;
    rest::BlobClient& blobs = *impl_->blob;
    // "account" or "account\container": the configuration goes next to the disks' account.
    const std::string accountName = vmInfo.storageAccount.substr(0, vmInfo.storageAccount.find('\\'));
    const rest::ArmResult account =
        rest::FindByName(arm, "Microsoft.Storage/storageAccounts", rest::kStorageVersion, accountName, "storage account");
    if (!account.ok && account.code == SDK_ERR_NOT_FOUND)
        return Fail(SDK_ERR_NOT_FOUND, "StorageAccountNotFound: The storage account '" + accountName +
                                           "' was not found.");
    if (!account.ok) return Fail(account.code, account.text);
    const std::string name = account.body.value("name", accountName);
    json config = DeferredConfig(arm, blobs, vmInfo, osDiskName, configText);
    config[kDeferredDeploymentMember] = {{kCreatedByJobTag, impl_->jobId}, {"vmName", vmInfo.name},
                                         {"resourceGroup", vmInfo.resourceGroup}, {"assignPublicIP", assignPublicIP},
                                         {"inPlaceRestore", inPlaceRestore}, {"managed", restoreAsManagedVM},
                                         {"dekBackup", dekBackup}, {"kekBackup", kekBackup}};
    const std::string blobName = VmConfigBlobName(vmInfo.resourceGroup, vmInfo.name);
    const std::string url = blobs.url(name, kConfigContainer, blobName);
    if (DeferredConfigAt(blobs, url, vmInfo.name, vmInfo.resourceGroup) == false)
        return Fail(SDK_ERR_GENERAL, "BlobAlreadyExists: The blob '" + blobName + "' in storage account '" + name +
                                         "' is not a deferred configuration of VM '" + vmInfo.name +
                                         "'; it is left as it is.");
    const rest::BlobResult container = blobs.send(NX_HTTP_PUT, rest::WithQuery(blobs.url(name, kConfigContainer),
                                                                               "restype=container"));
    if (!container.ok && container.reply.status != 409) return Fail(container.code, container.text);
    const rest::BlobResult written =
        blobs.send(NX_HTTP_PUT, url, {"x-ms-blob-type: BlockBlob", "Content-Type: application/json"}, config.dump(2));
    if (!written.ok)
        return Fail(written.code, "Writing the configuration of VM '" + vmInfo.name + "' failed: " + written.text);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::CleanupStagingResources(const std::string& vmName, const std::string& resourceGroup) try {
    if (std::optional<Refusal> refusal =
            impl_->begin("CleanupStagingResources", {{"vmName", vmName}, {"resourceGroup", resourceGroup}}))
        return Fail(refusal->code, refusal->text);
    rest::ArmClient& arm = *impl_->arm;
    rest::BlobClient& blobs = *impl_->blob;
    // Before the VM exists its configuration is the only way to create it: it stays.
    const rest::ArmResult vm = arm.get("/subscriptions/" + arm.subscriptionId() + "/resourceGroups/" + resourceGroup +
                                           "/providers/Microsoft.Compute/virtualMachines/" + vmName,
                                       rest::kComputeVersion);
    if (!vm.ok && vm.code == SDK_ERR_NOT_FOUND)
        return Fail(SDK_ERR_NOT_FOUND, "ResourceNotFound: VM '" + vmName + "' does not exist in resource group '" +
                                           resourceGroup + "'; the configuration kept for its deployment stays.");
    if (!vm.ok) return Fail(vm.code, vm.text);
    const rest::ArmResult accounts = rest::ListOfType(arm, "Microsoft.Storage/storageAccounts", rest::kStorageVersion);
    if (!accounts.ok) return Fail(accounts.code, accounts.text);
    const std::string name = VmConfigBlobName(resourceGroup, vmName);
    for (const json& account : accounts.body) {
        const std::string url = blobs.url(account.value("name", ""), kConfigContainer, name);
        if (DeferredConfigAt(blobs, url, vmName, resourceGroup) != true) continue;
        const rest::BlobResult removed = blobs.send(NX_HTTP_DELETE, url);
        if (!removed.ok && removed.code != SDK_ERR_NOT_FOUND) return Fail(removed.code, removed.text);
    }
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
