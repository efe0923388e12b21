// Deploys and clones: a new VM from a VM record, from its OS disk, from a VM
// configuration, or as a clone of the VM a configuration describes.
//
// Each is a deployment over Resource Manager (ArmDeployment.h): the cloud checks
// the VM (size offered in the region, zones, disks free, ...), and a refusal
// leaves the subscription as it was. deployFlag false leaves the new VM
// deallocated.
#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/ArmDeployment.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/VmCreation.h"
#include "cloudsdk/VmRemoval.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"

namespace AzureSDKCppBridge {

using boost::algorithm::iequals;
using nlohmann::json;
using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

namespace {

// A VM's disks are all managed or all page blobs; its OS disk tells which.
bool ManagedTarget(const SVMInfo& vm) {
    for (const SDisk& d : vm.disks)
        if (d.isOsDisk) return !d.managedDiskId.empty();
    return vm.isManaged;
}

DeploymentAsk AskFor(const SVMInfo& vm, bool powerOn, const std::string& job) {
    DeploymentAsk ask;
    ask.vm = vm;
    ask.managed = ManagedTarget(vm);
    ask.powerOn = powerOn;
    ask.job = job;
    return ask;
}

// Deploys `ask`; the new VM's GUID goes to `vm`. A failure after the VM exists says it does.
bool Deployed(rest::ArmClient& arm, rest::BlobClient& blob, const DeploymentAsk& ask, SVMInfo& vm,
              rest::ArmResult& failure) {
    DeployedVm deployed;
    failure = DeployOverRest(arm, blob, ask, deployed);
    if (deployed.created) vm.guid = deployed.guid;
    if (!failure.ok && deployed.created) {
        failure.code = SDK_ERR_VM_CREATED_LATER_STEP_FAILED;
        failure.text = "VM '" + vm.name + "' was created, but " + failure.text;
    }
    return failure.ok;
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

// The zones of a configuration, as a record lists them ("1,2").
std::string ConfigZones(const json& config) {
    const json zones = config.value("zones", json());
    if (zones.is_string()) return zones.get<std::string>();
    std::string out;
    for (const json& zone : zones.is_array() ? zones : json::array())
        if (zone.is_string()) out += (out.empty() ? "" : ",") + zone.get<std::string>();
    return out;
}

// Fills what the record leaves empty from the configuration: region, size, firmware, zones, disks
// and network cards (the networks and subnets of the interfaces it names that are still there).
rest::ArmResult CompleteFromConfig(rest::ArmClient& arm, const json& config, SVMInfo& vm) {
    if (vm.region.empty()) vm.region = ConfigText(config, "/location");
    if (vm.vmSize.empty()) vm.vmSize = ConfigText(config, "/properties/hardwareProfile/vmSize");
    if (vm.firmware.empty() && config.contains(json::json_pointer("/properties/securityProfile/uefiSettings")))
        vm.firmware = "efi";
    if (vm.availabilityZones.empty()) vm.availabilityZones = ConfigZones(config);
    if (vm.disks.empty()) {
        const json::json_pointer os("/properties/storageProfile/osDisk");
        const json::json_pointer data("/properties/storageProfile/dataDisks");
        if (config.contains(os) && config.at(os).is_object()) vm.disks.push_back(ConfigDisk(config.at(os), true));
        if (config.contains(data) && config.at(data).is_array())
            for (const json& disk : config.at(data))
                if (disk.is_object()) vm.disks.push_back(ConfigDisk(disk, false));
    }
    const json::json_pointer nics("/properties/networkProfile/networkInterfaces");
    if (!vm.nics.empty() || !config.contains(nics) || !config.at(nics).is_array()) return Done();
    for (const json& nic : config.at(nics)) {
        const std::string id = ConfigText(nic, "/id");
        const rest::ArmResult read = id.empty() ? Done() : arm.get(id, rest::kNetworkVersion);
        if (!read.ok && read.code == SDK_ERR_NOT_FOUND) continue;
        if (!read.ok) return read;
        const json configs = read.body.value("properties", json::object()).value("ipConfigurations", json::array());
        const std::string subnet = configs.empty() ? "" : ConfigText(configs[0], "/properties/subnet/id");
        // ".../virtualNetworks/{network}/subnets/{subnet}"
        const std::string::size_type end = subnet.rfind("/subnets/");
        const std::string::size_type start = subnet.rfind('/', end == std::string::npos ? 0 : end - 1);
        if (end == std::string::npos || start == std::string::npos) continue;
        vm.nics.push_back({std::string(), subnet.substr(start + 1, end - start - 1), subnet});
    }
    return Done();
}

// The OS type and firmware a source lends a new VM: a VM by its GUID, else one of the
// subscription's images (templates) by its name or id.
rest::ArmResult ReadSource(rest::ArmClient& arm, const std::string& source, DeploymentAsk& ask) {
    rest::ArmResult result = rest::ListOfType(arm, "Microsoft.Compute/virtualMachines", rest::kComputeVersion);
    if (!result.ok) return result;
    const auto isVm = [&](const json& vm) { return iequals(ConfigText(vm, "/properties/vmId"), source); };
    auto found = std::find_if(result.body.begin(), result.body.end(), isVm);
    bool gen2 = found != result.body.end() &&
                found->contains(json::json_pointer("/properties/securityProfile/uefiSettings"));
    if (found == result.body.end()) {
        result = rest::ListOfType(arm, "Microsoft.Compute/images", rest::kComputeVersion);
        if (!result.ok) return result;
        found = std::find_if(result.body.begin(), result.body.end(), [&](const json& image) {
            return iequals(image.value("name", ""), source) || iequals(image.value("id", ""), source);
        });
        gen2 = found != result.body.end() && ConfigText(*found, "/properties/hyperVGeneration") == "V2";
    }
    if (found == result.body.end()) {
        result.ok = false;
        result.code = SDK_ERR_NOT_FOUND;
        result.text = "ResourceNotFound: No VM with GUID, nor image, '" + source + "' exists.";
        return result;
    }
    const std::string osType = ConfigText(*found, "/properties/storageProfile/osDisk/osType");
    ask.config = {{"properties", {{"storageProfile", {{"osDisk", {{"osType", osType}}}}}}}};
    if (ask.vm.firmware.empty() && gen2) ask.vm.firmware = "efi";
    return Done();
}

}  // namespace

bool CAzureSDKCppBridge::DeployVM(SVMInfo& vmInfo, const std::string& sourceVmGuid, bool deployFlag) try {
    json args = {{"vmName", vmInfo.name}, {"resourceGroup", vmInfo.resourceGroup}, {"vmSize", vmInfo.vmSize},
                 {"disks", vmInfo.disks.size()}, {"sourceVmGuid", sourceVmGuid}, {"deployFlag", deployFlag}};
    if (std::optional<Refusal> refusal = impl_->begin("DeployVM", args)) return Fail(refusal->code, refusal->text);
    DeploymentAsk ask = AskFor(vmInfo, deployFlag, impl_->jobId);
    // A source VM or image, when named, lends the new VM its OS type and firmware.
    rest::ArmResult result = sourceVmGuid.empty() ? Done() : ReadSource(*impl_->arm, sourceVmGuid, ask);
    return (result.ok && Deployed(*impl_->arm, *impl_->blob, ask, vmInfo, result)) || Fail(result.code, result.text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeployVMFromOSDisk(SVMInfo& vmInfo, const std::string& osDiskName, bool deployFlag,
                                            bool isClone) try {
    json args = {{"vmName", vmInfo.name}, {"resourceGroup", vmInfo.resourceGroup}, {"vmSize", vmInfo.vmSize},
                 {"disks", vmInfo.disks.size()}, {"osDiskName", osDiskName}, {"deployFlag", deployFlag},
                 {"isClone", isClone}};
    if (std::optional<Refusal> refusal = impl_->begin("DeployVMFromOSDisk", args))
        return Fail(refusal->code, refusal->text);
    // A clone is made alike.
    DeploymentAsk ask = AskFor(vmInfo, deployFlag, impl_->jobId);
    MarkOsDisk(ask.vm, osDiskName);
    ask.managed = ManagedTarget(ask.vm);
    rest::ArmResult result;
    return Deployed(*impl_->arm, *impl_->blob, ask, vmInfo, result) || Fail(result.code, result.text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeployVMFromConfig(const std::string& configText, SVMInfo& vmInfo, bool deployFlag) try {
    json args = {{"vmName", vmInfo.name}, {"resourceGroup", vmInfo.resourceGroup},
                 {"configBytes", configText.size()}, {"deployFlag", deployFlag}};
    if (std::optional<Refusal> refusal = impl_->begin("DeployVMFromConfig", args))
        return Fail(refusal->code, refusal->text);
    DeploymentAsk ask = AskFor(vmInfo, deployFlag, impl_->jobId);
    ask.config = ParseConfig(configText);
    rest::ArmResult result = CompleteFromConfig(*impl_->arm, ask.config, ask.vm);
    if (!result.ok) return Fail(result.code, result.text);
    // A deferred deployment's configuration says whether the VM is managed and holds its key backups.
    const json deferred = ask.config.value(kDeferredDeploymentMember, json::object());
    ask.managed = deferred.value("managed", false) || ManagedTarget(ask.vm);
    ask.dekBackup = deferred.value("dekBackup", "");
    ask.kekBackup = deferred.value("kekBackup", "");
    return Deployed(*impl_->arm, *impl_->blob, ask, vmInfo, result) || Fail(result.code, result.text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::CloneVMFromConfig(const std::string& configText, SVMInfo& vmInfo) try {
    json args = {{"vmName", vmInfo.name}, {"resourceGroup", vmInfo.resourceGroup},
                 {"configBytes", configText.size()}};
    if (std::optional<Refusal> refusal = impl_->begin("CloneVMFromConfig", args))
        return Fail(refusal->code, refusal->text);
    DeploymentAsk ask = AskFor(vmInfo, true, impl_->jobId);
    ask.config = ParseConfig(configText);
    // The clone gets copies of the source's disks; the record's own disk list is not used.
    ask.vm.disks.clear();
    rest::ArmResult result = CompleteFromConfig(*impl_->arm, ask.config, ask.vm);
    if (!result.ok) return Fail(result.code, result.text);
    ask.managed = ask.copyDisks = true;
    return Deployed(*impl_->arm, *impl_->blob, ask, vmInfo, result) || Fail(result.code, result.text);
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
