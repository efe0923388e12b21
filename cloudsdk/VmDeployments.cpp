// Deploys and clones: a new VM from a VM record, from its OS disk, from a VM
// configuration, or as a clone of the VM a configuration describes.
//
// Each runs the checks of a restore deployment (taken name, size not offered in
// the region, missing network, disks in use, ...) and creates the VM in the same
// change of the state document, so a refusal leaves the subscription as it was.
// deployFlag false leaves the new VM deallocated.
#include <functional>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/VmCreation.h"
#include "cloudsdk/VmRemoval.h"
#include "host/sys/Time.h"

namespace AzureSDKCppBridge {

using azsim::StateDocument;
using boost::algorithm::iequals;
using nlohmann::json;
using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

namespace {

// Completes the record in the document before the checks; returns the data of disks it made.
using Preparation = std::function<std::vector<azsim::BlobKey>(StateDocument&, SVMInfo&)>;

struct DeployCall {
    SVMInfo vm;
    std::string configText;
    CreationOptions options;
    Preparation prepare;
    bool managedFromBlobs = false;  // a managed VM whose page blobs are imported into its disks and stay
};

// A VM's disks are all managed or all page blobs; its OS disk tells which.
bool ManagedTarget(const SVMInfo& vm) {
    for (const SDisk& d : vm.disks)
        if (d.isOsDisk) return !d.managedDiskId.empty();
    return vm.isManaged;
}

// Checks and creates in one change of the document; returns the new VM's GUID.
std::string Deploy(azsim::SubscriptionState& subscription, DeployCall& call) {
    azsim::PageBlobStore store = subscription.blobs();
    std::vector<azsim::BlobKey> made;
    CreatedVm created;
    try {
        subscription.mutate([&](StateDocument& doc) {
            if (call.prepare) made = call.prepare(doc, call.vm);
            const bool managed = call.managedFromBlobs || ManagedTarget(call.vm);
            const DeploymentRequest request = ResolveDeployment(doc, store, call.vm, std::string(), call.configText,
                                                                false, managed, false, false);
            const std::string refusal = FirstRefusal(request);
            if (!refusal.empty()) throw OperationFailure(SDK_ERR_GENERAL, refusal);
            CreateVm(doc, store, request, call.options, created);
            return true;
        });
    } catch (...) {
        // Nothing was saved: the data of disks made for the VM goes too.
        made.insert(made.end(), created.newBlobs.begin(), created.newBlobs.end());
        DeleteBlobData(store, made);
        throw;
    }
    return created.guid;
}

// Marks the entry that `osDiskName` names (by name, managed-disk id or the id's last segment)
// as the only OS disk; an empty name keeps the record's own marks.
void MarkOsDisk(SVMInfo& vm, const std::string& osDiskName) {
    if (osDiskName.empty()) return;
    SDisk* named = nullptr;
    for (SDisk& d : vm.disks) {
        const std::string idName = d.managedDiskId.substr(d.managedDiskId.rfind('/') + 1);
        if (iequals(d.name, osDiskName) || iequals(d.managedDiskId, osDiskName) ||
            (!idName.empty() && iequals(idName, osDiskName)))
            named = &d;
    }
    if (!named)
        throw OperationFailure(SDK_ERR_NOT_FOUND,
                               "InvalidParameter: The OS disk '" + osDiskName + "' is not among the VM's disks.");
    for (SDisk& d : vm.disks) d.isOsDisk = &d == named;
}

json ParseConfig(const std::string& configText) {
    json config = json::parse(configText, nullptr, false);
    if (!config.is_object())
        throw OperationFailure(SDK_ERR_GENERAL, "InvalidParameter: The VM configuration cannot be read: " +
                                                    std::string(config.is_discarded() ? "the text is not JSON"
                                                                                      : "the text is not a JSON object"));
    return config;
}

// One disk of a configuration's storage profile as a record entry naming the same disk.
SDisk ConfigDisk(const json& disk, bool os) {
    SDisk d;
    d.isOsDisk = os;
    d.name = disk.value("name", std::string());
    d.managedDiskId = ConfigText(disk, "/managedDisk/id");
    d.uri = ConfigText(disk, "/vhd/uri");
    d.volumeType = ConfigText(disk, "/managedDisk/storageAccountType");
    d.unitNumber = os ? 0 : disk.value("lun", 0);
    return d;
}

// Fills what the record leaves empty from the configuration: region, size, firmware, disks and
// network cards (the networks and subnets of the interfaces it names).
void CompleteFromConfig(const StateDocument& doc, const json& config, SVMInfo& vm) {
    if (vm.region.empty()) vm.region = ConfigText(config, "/location");
    if (vm.vmSize.empty()) vm.vmSize = ConfigText(config, "/properties/hardwareProfile/vmSize");
    if (vm.firmware.empty() && config.contains(json::json_pointer("/properties/securityProfile/uefiSettings")))
        vm.firmware = "efi";
    if (vm.availabilityZones.empty()) vm.availabilityZones = ConfigText(config, "/zones");
    if (vm.disks.empty()) {
        const json::json_pointer os("/properties/storageProfile/osDisk");
        const json::json_pointer data("/properties/storageProfile/dataDisks");
        if (config.contains(os) && config.at(os).is_object()) vm.disks.push_back(ConfigDisk(config.at(os), true));
        if (config.contains(data) && config.at(data).is_array())
            for (const json& disk : config.at(data))
                if (disk.is_object()) vm.disks.push_back(ConfigDisk(disk, false));
    }
    const json::json_pointer nics("/properties/networkProfile/networkInterfaces");
    if (vm.nics.empty() && config.contains(nics) && config.at(nics).is_array())
        for (const json& nic : config.at(nics)) {
            std::optional<azsim::ResourceId> id = azsim::ParseResourceId(ConfigText(nic, "/id"));
            const azsim::NetworkInterface* found = id ? doc.findNetworkInterface(id->name, id->resourceGroup) : nullptr;
            if (found) vm.nics.push_back({std::string(), found->virtualNetwork, found->subnet});
        }
}

// Copies each disk the record names into a new managed disk of the clone, tagged with the job,
// and makes the record name the copies. Returns the data of the copies.
std::vector<azsim::BlobKey> CopyDisks(StateDocument& doc, azsim::PageBlobStore& store, SVMInfo& vm, const std::string& job) {
    std::vector<azsim::BlobKey> made;
    const azsim::ResourceGroup* group = doc.findResourceGroup(vm.resourceGroup);
    if (!group)
        throw OperationFailure(SDK_ERR_NOT_FOUND,
                               "ResourceGroupNotFound: Resource group '" + vm.resourceGroup + "' could not be found.");
    const std::string groupName = group->name;
    for (SDisk& entry : vm.disks) {
        azsim::ManagedDisk copy;
        std::string sourceId;
        azsim::BlobKey from;
        if (!entry.managedDiskId.empty()) {
            const azsim::ManagedDisk* source = doc.findManagedDisk(entry.managedDiskId);
            if (!source)
                throw OperationFailure(SDK_ERR_NOT_FOUND, "NotFound: The disk '" + entry.managedDiskId +
                                                              "' of the source VM was not found.");
            copy = *source;
            from = source->blob;
            sourceId = source->id;
        } else {
            std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(entry.uri);
            azsim::BlobProperties props;
            if (!uri || !store.properties(uri->key(), std::string(), props))
                throw OperationFailure(SDK_ERR_NOT_FOUND, "BlobNotFound: The blob '" + entry.uri +
                                                              "' of the source VM does not exist.");
            from = uri->key();
            sourceId = entry.uri;
            copy.sizeBytes = props.size;
            copy.sku = "Standard_LRS";
            if (entry.isOsDisk) copy.osType = "Linux";
        }
        copy.name = vm.name + (entry.isOsDisk ? "-osdisk" : "-data" + std::to_string(entry.unitNumber));
        if (doc.findManagedDiskByName(copy.name, groupName))
            throw OperationFailure(SDK_ERR_GENERAL, "Conflict: A disk named '" + copy.name +
                                                        "' already exists in resource group '" + groupName + "'.");
        copy.resourceGroup = groupName;
        copy.id = azsim::ManagedDiskId(doc.subscription().id, groupName, copy.name);
        copy.region = vm.region.empty() ? group->region : vm.region;
        copy.tags = CreatedByJobTags(job);
        copy.sourceId = sourceId;
        copy.state = "Unattached";
        copy.grant = azsim::AccessGrant();
        copy.createdAt = NxClock::nowSeconds();
        copy.blob = azsim::NewManagedDiskBlob();
        std::string error;
        if (!store.copyBlob(from, std::string(), copy.blob, &error))
            throw OperationFailure(SDK_ERR_GENERAL, "Copying disk '" + entry.name + "' failed: " + error);
        made.push_back(copy.blob);
        doc.managedDisks.push_back(copy);
        entry.managedDiskId = copy.id;
        entry.uri.clear();
        entry.name = copy.name;
    }
    return made;
}

}  // namespace

bool CAzureSDKCppBridge::DeployVM(SVMInfo& vmInfo, const std::string& sourceVmGuid, bool deployFlag) try {
    json args = {{"vmName", vmInfo.name}, {"resourceGroup", vmInfo.resourceGroup}, {"vmSize", vmInfo.vmSize},
                 {"disks", vmInfo.disks.size()}, {"sourceVmGuid", sourceVmGuid}, {"deployFlag", deployFlag}};
    if (std::optional<Refusal> refusal = impl_->simulatedOnly("DeployVM", args)) return Fail(refusal->code, refusal->text);
    DeployCall call{vmInfo, std::string(), {impl_->jobId, deployFlag, "", "", "deploy"}, nullptr};
    // A source VM or template, when named, lends the new VM its OS type and firmware.
    call.prepare = [&](StateDocument& doc, SVMInfo& vm) {
        if (sourceVmGuid.empty()) return std::vector<azsim::BlobKey>();
        const azsim::VirtualMachine* source = doc.findVmByGuid(sourceVmGuid);
        for (const azsim::VirtualMachine& t : doc.templates)
            if (!source && iequals(t.guid, sourceVmGuid)) source = &t;
        if (!source)
            throw OperationFailure(SDK_ERR_NOT_FOUND,
                                   "ResourceNotFound: No VM or template with GUID '" + sourceVmGuid + "' exists.");
        if (vm.firmware.empty()) vm.firmware = source->firmware;
        call.configText = json{{"properties", {{"storageProfile", {{"osDisk", {{"osType", source->osType}}}}}}}}.dump();
        return std::vector<azsim::BlobKey>();
    };
    vmInfo.guid = Deploy(*impl_->subscription, call);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeployVMFromOSDisk(SVMInfo& vmInfo, const std::string& osDiskName, bool deployFlag,
                                            bool isClone) try {
    json args = {{"vmName", vmInfo.name}, {"resourceGroup", vmInfo.resourceGroup}, {"vmSize", vmInfo.vmSize},
                 {"disks", vmInfo.disks.size()}, {"osDiskName", osDiskName}, {"deployFlag", deployFlag},
                 {"isClone", isClone}};
    if (std::optional<Refusal> refusal = impl_->simulatedOnly("DeployVMFromOSDisk", args))
        return Fail(refusal->code, refusal->text);
    // A clone's deployment record says so; the VM is made alike either way.
    DeployCall call{vmInfo, std::string(), {impl_->jobId, deployFlag, "", "", isClone ? "clone" : "deploy"}, nullptr};
    MarkOsDisk(call.vm, osDiskName);
    vmInfo.guid = Deploy(*impl_->subscription, call);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeployVMFromConfig(const std::string& configText, SVMInfo& vmInfo, bool deployFlag) try {
    json args = {{"vmName", vmInfo.name}, {"resourceGroup", vmInfo.resourceGroup},
                 {"configBytes", configText.size()}, {"deployFlag", deployFlag}};
    if (std::optional<Refusal> refusal = impl_->simulatedOnly("DeployVMFromConfig", args))
        return Fail(refusal->code, refusal->text);
    const json config = ParseConfig(configText);
    // A deferred deployment's configuration says whether the VM is managed and holds its key backups.
    const json deferred = config.value(kDeferredDeploymentMember, json::object());
    DeployCall call{vmInfo, configText,
                    {impl_->jobId, deployFlag, deferred.value("dekBackup", ""), deferred.value("kekBackup", ""),
                     "deploy"},
                    nullptr};
    call.managedFromBlobs = deferred.value("managed", false);
    call.prepare = [&](StateDocument& doc, SVMInfo& vm) {
        CompleteFromConfig(doc, config, vm);
        return std::vector<azsim::BlobKey>();
    };
    vmInfo.guid = Deploy(*impl_->subscription, call);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::CloneVMFromConfig(const std::string& configText, SVMInfo& vmInfo) try {
    json args = {{"vmName", vmInfo.name}, {"resourceGroup", vmInfo.resourceGroup},
                 {"configBytes", configText.size()}};
    if (std::optional<Refusal> refusal = impl_->simulatedOnly("CloneVMFromConfig", args))
        return Fail(refusal->code, refusal->text);
    const json config = ParseConfig(configText);
    // The clone gets copies of the source's disks; the record's own disk list is not used.
    DeployCall call{vmInfo, configText, {impl_->jobId, true, "", "", "clone"}, nullptr};
    call.vm.disks.clear();
    azsim::PageBlobStore store = impl_->localState().blobs();
    const std::string job = impl_->jobId;
    call.prepare = [&](StateDocument& doc, SVMInfo& vm) {
        CompleteFromConfig(doc, config, vm);
        if (doc.findVm(vm.name, vm.resourceGroup))
            throw OperationFailure(SDK_ERR_GENERAL, "Conflict: A VM named '" + vm.name +
                                                        "' already exists in resource group '" + vm.resourceGroup +
                                                        "'.");
        return CopyDisks(doc, store, vm, job);
    };
    vmInfo.guid = Deploy(*impl_->subscription, call);
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
