// Restore deployments: a new VM from prepared disks, the clean-up of a failed
// one, and whether a backed-up VM comes from another subscription.
//
// A deployment goes over Resource Manager (ArmDeployment.h): a refusal, or a
// failure before the VM exists, leaves the subscription as it was. What follows
// the creation (deallocating a VM not to be started, the fault point
// "RestoreVM.AfterCreate" for tests, then deleting the staged blobs the VM's
// disks were imported from) fails with code 3: the VM stays.
#include <boost/algorithm/string/find.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>

#include "cloudsdk/ArmDeployment.h"
#include "cloudsdk/BlobAddress.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/VmDataDisks.h"
#include "cloudsdk/VmRemoval.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"

namespace AzureSDKCppBridge {

using boost::algorithm::iequals;
using nlohmann::json;

bool CAzureSDKCppBridge::RestoreVM(VMInfoStructs::SVMInfo& vmInfo, const std::string& osDiskName,
                                   const std::string& configText, bool assignPublicIP, bool inPlaceRestore,
                                   bool restoreAsManagedVM, bool deployFlag, const std::string& dekBackup,
                                   const std::string& kekBackup, bool convertStagedBlobs,
                                   bool restoreWithoutConfig) try {
    json args = {{"vmName", vmInfo.name}, {"resourceGroup", vmInfo.resourceGroup}, {"region", vmInfo.region},
                 {"vmSize", vmInfo.vmSize}, {"disks", vmInfo.disks.size()}, {"osDiskName", osDiskName},
                 {"assignPublicIP", assignPublicIP}, {"inPlaceRestore", inPlaceRestore},
                 {"restoreAsManagedVM", restoreAsManagedVM}, {"deployFlag", deployFlag},
                 {"encrypted", !dekBackup.empty() || !kekBackup.empty()}, {"convertStagedBlobs", convertStagedBlobs},
                 {"restoreWithoutConfig", restoreWithoutConfig}};
    if (std::optional<Refusal> refusal = impl_->begin("RestoreVM", args)) return Fail(refusal->code, refusal->text);
    DeploymentAsk ask;
    ask.vm = vmInfo;
    ask.osDiskName = osDiskName;
    ask.managed = restoreAsManagedVM;
    ask.publicIp = assignPublicIP;
    ask.powerOn = deployFlag;
    ask.dekBackup = dekBackup;
    ask.kekBackup = kekBackup;
    ask.job = impl_->jobId;
    if (!restoreWithoutConfig && !configText.empty()) {
        ask.config = json::parse(configText, nullptr, false);
        if (!ask.config.is_object())
            return Fail(SDK_ERR_GENERAL, std::string("InvalidParameter: The VM configuration cannot be read: ") +
                                             (ask.config.is_discarded() ? "the text is not JSON"
                                                                        : "the text is not a JSON object"));
    }
    DeployedVm deployed;
    rest::ArmResult result = DeployOverRest(*impl_->arm, *impl_->blob, ask, deployed);
    const std::string createdText = "VM '" + vmInfo.name + "' was created, but ";
    if (deployed.created) vmInfo.guid = deployed.guid;
    if (!result.ok)
        return deployed.created ? Fail(SDK_ERR_VM_CREATED_LATER_STEP_FAILED, createdText + result.text)
                                : Fail(result.code, result.text);
    // Injected faults exist on the simulated subscription only.
    std::optional<azsim::SdkFault> fault;
    if (impl_->faults) fault = impl_->faults->takeSdkFault("RestoreVM.AfterCreate");
    if (fault)
        return Fail(SDK_ERR_VM_CREATED_LATER_STEP_FAILED, createdText + fault->text);
    // Converted: the staged blobs the VM's disks were imported from go.
    if (convertStagedBlobs) result = RemovePageBlobs(*impl_->blob, deployed.importedFrom, std::nullopt);
    if (!result.ok)
        return Fail(SDK_ERR_VM_CREATED_LATER_STEP_FAILED,
                    createdText + "deleting the staged blobs it was made from failed: " + result.text);
    return true;
} catch (...) {
    return FailOnException();
}

namespace {

// The VM a restore clean-up removes, its JSON the body (null when there is none): the one with the
// GUID the deployment returned, or, when the caller never learned it (a job killed during its
// deployment), the VM of that name in its group.
rest::ArmResult VmToClean(rest::ArmClient& arm, const VMInfoStructs::SVMInfo& vmInfo) {
    if (vmInfo.guid.empty()) {
        if (vmInfo.name.empty() || vmInfo.resourceGroup.empty()) return Done();
        rest::ArmResult vm = arm.get(VmResourceId(arm.subscriptionId(), vmInfo.resourceGroup, vmInfo.name),
                                     rest::kComputeVersion);
        return vm.ok || vm.code != SDK_ERR_NOT_FOUND ? vm : Done();
    }
    rest::ArmResult vms = rest::ListOfType(arm, "Microsoft.Compute/virtualMachines", rest::kComputeVersion);
    if (!vms.ok) return vms;
    rest::ArmResult found = Done();
    for (const json& vm : vms.body)
        if (iequals(vm.value("properties", json::object()).value("vmId", ""), vmInfo.guid)) found.body = vm;
    return found;
}

// The resource group a resource id names ("/subscriptions/{sub}/resourceGroups/{group}/..."), empty when none.
std::string GroupOfId(const std::string& id) {
    const auto marker = boost::algorithm::ifind_first(id, "/resourceGroups/");
    if (marker.empty()) return std::string();
    const std::string::size_type start = marker.end() - id.begin();
    return id.substr(start, id.find('/', start) - start);
}

// Whether a managed disk (its JSON) is what a listed entry names: by id, by name in the VM's group,
// or imported from the listed page blob.
bool ListsDisk(const VMInfoStructs::SDisk& entry, const json& disk, const std::string& resourceGroup) {
    const std::string id = disk.value("id", "");
    if (!entry.managedDiskId.empty()) return iequals(id, entry.managedDiskId);
    if (entry.isManaged)
        return !entry.name.empty() && disk.value("name", "") == entry.name && iequals(GroupOfId(id), resourceGroup);
    const json creation = disk.value("properties", json::object()).value("creationData", json::object());
    const std::string source = creation.value("sourceUri", "");
    return iequals(creation.value("createOption", ""), "Import") && SameBlobUrl(source, BlobUrlOfEntry(entry, source));
}

// The paths of the job's own managed disks among the listed entries, in the connected subscription.
// Never one a VM still uses.
rest::ArmResult ListedManagedDisks(rest::ArmClient& arm, const std::vector<VMInfoStructs::SDisk>& disks,
                                   const std::string& resourceGroup, const std::string& job,
                                   std::vector<std::string>& ids) {
    if (disks.empty()) return Done();
    const rest::ArmResult all = rest::ListOfType(arm, "Microsoft.Compute/disks", rest::kDiskVersion);
    if (!all.ok) return all;
    for (const json& disk : all.body) {
        const bool listed = std::any_of(disks.begin(), disks.end(), [&](const VMInfoStructs::SDisk& entry) {
            return ListsDisk(entry, disk, resourceGroup);
        });
        if (listed && TaggedByJob(disk, job) && disk.value("managedBy", "").empty())
            ids.push_back("/subscriptions/" + arm.subscriptionId() + "/resourceGroups/" +
                          GroupOfId(disk.value("id", "")) + "/providers/Microsoft.Compute/disks/" +
                          disk.value("name", ""));
    }
    return all;
}

// The URLs of the page blobs among the listed entries (the job's tag and the lease are checked where
// they are removed).
std::vector<std::string> ListedPageBlobs(const rest::BlobClient& blob, const std::vector<VMInfoStructs::SDisk>& disks) {
    std::vector<std::string> out;
    for (const VMInfoStructs::SDisk& entry : disks) {
        if (!entry.managedDiskId.empty() || entry.isManaged) continue;
        std::string error;
        if (std::optional<BlobAddress> address = BlobAddressOf(blob, entry, error)) out.push_back(address->url);
    }
    return out;
}

}  // namespace

// The VM and the listed managed disks go through Resource Manager; the listed page blobs, and an
// unmanaged VM's, through the Blob service.
bool CAzureSDKCppBridge::CleanupRestoreVM(const VMInfoStructs::SVMInfo& vmInfo,
                                          const std::vector<VMInfoStructs::SDisk>& disks,
                                          bool restoreAsManagedVM) try {
    json args = {{"vmName", vmInfo.name}, {"vmGuid", vmInfo.guid}, {"disks", disks.size()},
                 {"restoreAsManagedVM", restoreAsManagedVM}};
    if (std::optional<Refusal> refusal = impl_->begin("CleanupRestoreVM", args))
        return Fail(refusal->code, refusal->text);
    rest::ArmClient& arm = *impl_->arm;
    const std::string job = impl_->jobId;
    std::vector<std::string> vhds;
    std::string leftInPlace;
    rest::ArmResult result = VmToClean(arm, vmInfo);
    if (result.ok && result.body.is_object()) {
        if (TaggedByJob(result.body, job)) {
            result = RemoveVmOverRest(arm, result.body, {true, true, job}, vhds);
        } else if (!vmInfo.guid.empty()) {
            // Found by name only, another's VM is simply not this job's business.
            leftInPlace = "VM '" + result.body.value("name", "") + "' was not created by job " + job +
                          "; it is left in place.";
        }
    }
    std::vector<std::string> ids;
    if (result.ok) result = ListedManagedDisks(arm, disks, vmInfo.resourceGroup, job, ids);
    for (const std::string& id : ids) {
        if (!result.ok) break;
        result = arm.remove(id, rest::kDiskVersion);
        if (result.code == SDK_ERR_NOT_FOUND) result.ok = true;
    }
    if (!result.ok) return Fail(result.code, result.text);
    for (const std::string& url : ListedPageBlobs(*impl_->blob, disks)) vhds.push_back(url);
    result = RemovePageBlobs(*impl_->blob, vhds, job);
    if (!result.ok) return Fail(result.code, result.text);
    if (!leftInPlace.empty()) return Fail(SDK_ERR_GENERAL, leftInPlace);
    return true;
} catch (...) {
    return FailOnException();
}

namespace {

// The subscription of a resource id "/subscriptions/{sub}/resourceGroups/{group}/providers/...", or empty.
std::string SubscriptionOfResourceId(const std::string& id) {
    std::vector<std::string> parts;
    boost::algorithm::split(parts, id, [](char c) { return c == '/'; });
    const bool shaped = parts.size() >= 8 && parts[0].empty() && iequals(parts[1], "subscriptions") &&
                        !parts[2].empty() && iequals(parts[3], "resourceGroups") && !parts[4].empty() &&
                        iequals(parts[5], "providers");
    return shaped ? parts[2] : std::string();
}

}  // namespace

// Needs nothing of the cloud: the configuration names the subscription the VM was backed up from.
bool CAzureSDKCppBridge::IsCrossSubscriptionRestore(const std::string& configText) try {
    if (std::optional<Refusal> refusal = impl_->begin("IsCrossSubscriptionRestore", {{"configBytes", configText.size()}}))
        return Fail(refusal->code, refusal->text);
    const json config = json::parse(configText, nullptr, false);
    const json id = config.is_object() ? config.value("id", json()) : json();
    const std::string subscription = SubscriptionOfResourceId(id.is_string() ? id.get<std::string>() : "");
    if (subscription.empty())
        return Fail(SDK_ERR_GENERAL, "The VM configuration names no VM resource id; its subscription is unknown.");
    if (iequals(subscription, impl_->subscriptionId)) return false;
    impl_->lastErrors.set(SDK_ERR_GENERAL, "The VM was backed up from subscription [" + subscription +
                                               "], not from the connected subscription [" + impl_->subscriptionId +
                                               "]; an encrypted VM cannot be restored into another subscription.");
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
