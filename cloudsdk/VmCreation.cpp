#include "cloudsdk/VmCreation.h"

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/DiskImport.h"
#include "host/sys/Time.h"

namespace AzureSDKCppBridge {

using azsim::StateDocument;
using nlohmann::json;

std::string ConfigText(const json& config, const char* pointer) {
    const json::json_pointer at(pointer);
    return config.contains(at) && config.at(at).is_string() ? config.at(at).get<std::string>() : std::string();
}

namespace {

std::string PublicAddress() {
    const std::string hex = azsim::RandomHex(6);
    std::string address = "20";
    for (int i = 0; i < 3; ++i) address += "." + std::to_string(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return address;
}

// The OS type an OS disk brings: a managed disk's own, or the one a page blob was registered with.
std::string DiskOsType(const StateDocument& doc, const DeploymentDisk& d) {
    if (d.managed) return d.disk->osType;
    const azsim::UnmanagedDisk* record = doc.findUnmanagedDisk(d.blob);
    auto it = record ? record->tags.find(kRegisteredOsTypeTag) : azsim::Tags::const_iterator();
    return record && it != record->tags.end() ? it->second : std::string();
}

// A disk imported from a page blob carries the blob's metadata (a replica's blob its replication GUID, which a
// failback backup looks the disk up by), under the job's mark; the OS type is the disk's own field.
azsim::Tags ImportedDiskTags(const StateDocument& doc, const azsim::BlobKey& blob, const azsim::Tags& jobTags) {
    const azsim::UnmanagedDisk* record = doc.findUnmanagedDisk(blob);
    azsim::Tags tags = record ? record->tags : azsim::Tags();
    tags.erase(kRegisteredOsTypeTag);
    for (const auto& tag : jobTags) tags[tag.first] = tag.second;
    return tags;
}

}  // namespace

void CreateVm(StateDocument& doc, azsim::PageBlobStore& store, const DeploymentRequest& r, const CreationOptions& o,
              CreatedVm& out) {
    const std::string sub = doc.subscription().id;
    const std::string group = r.group->name;
    const long long now = NxClock::nowSeconds();
    const azsim::Tags jobTags = CreatedByJobTags(o.jobId);

    azsim::VirtualMachine vm;
    vm.name = r.vm->name;
    vm.guid = azsim::NewGuid();
    vm.resourceGroup = group;
    vm.region = r.region->name;
    vm.size = r.size->name;
    vm.firmware = r.gen2 ? "efi" : "";
    vm.powerState = o.powerOn ? azsim::PowerState::Running : azsim::PowerState::Deallocated;
    for (const std::string& zone : r.zones) vm.zones += (vm.zones.empty() ? "" : ",") + zone;
    if (r.config.contains("tags") && r.config["tags"].is_object())
        for (auto it = r.config["tags"].begin(); it != r.config["tags"].end(); ++it)
            if (it->is_string()) vm.tags[it.key()] = it->get<std::string>();
    vm.tags[kCreatedByJobTag] = o.jobId;
    vm.managed = r.managedTarget;
    vm.osType = ConfigText(r.config, "/properties/storageProfile/osDisk/osType");
    for (const DeploymentDisk& d : r.disks)
        if (vm.osType.empty() && d.entry->isOsDisk) vm.osType = DiskOsType(doc, d);
    if (vm.osType.empty()) vm.osType = "Linux";
    if (!o.dekBackup.empty() || !o.kekBackup.empty()) {
        vm.encryption.encrypted = true;
        vm.encryption.dekBackup = o.dekBackup;
        vm.encryption.kekBackup = o.kekBackup;
        vm.encryption.keyVault = ConfigText(
            r.config, "/properties/storageProfile/osDisk/encryptionSettings/diskEncryptionKey/sourceVault/id");
    }
    const std::string vmId = azsim::VirtualMachineId(sub, group, vm.name);
    std::vector<std::string> resources{vmId};

    std::vector<azsim::ManagedDisk> imported;
    std::vector<std::string> attachedIds;
    for (const DeploymentDisk& d : r.disks) {
        azsim::DiskAttachment attachment;
        attachment.lun = d.entry->isOsDisk ? -1 : d.entry->unitNumber;
        if (d.managed) {
            attachment.id = d.disk->id;
            attachedIds.push_back(d.disk->id);
        } else if (d.import) {
            const azsim::ManagedDisk md =
                ImportPageBlob(store, sub, d, vm, d.entry->isOsDisk, ImportedDiskTags(doc, d.blob, jobTags), now);
            out.newBlobs.push_back(md.blob);
            if (r.convertStagedBlobs) out.stagedBlobs.push_back(d.blob);
            attachment.id = md.id;
            resources.push_back(md.id);
            imported.push_back(md);
        } else {
            attachment.id = azsim::PageBlobUri(d.blob);
            if (d.entry->isOsDisk) vm.storageAccount = d.blob.account;
        }
        // The OS disk comes first.
        vm.disks.insert(d.entry->isOsDisk ? vm.disks.begin() : vm.disks.end(), attachment);
    }

    std::vector<azsim::NetworkInterface> nics;
    for (std::size_t i = 0; i < r.nics.size(); ++i) {
        const azsim::NetworkInterface* kept = doc.findNetworkInterface(r.nicNames[i], group);
        azsim::NetworkInterface nic = kept ? *kept : azsim::NetworkInterface();
        if (!kept) {
            nic.name = r.nicNames[i];
            nic.id = azsim::NetworkInterfaceId(sub, group, nic.name);
            nic.resourceGroup = group;
            nic.tags = jobTags;
            resources.push_back(nic.id);
        }
        nic.region = vm.region;
        nic.virtualNetwork = r.nics[i].network->name;
        nic.subnet = r.nics[i].subnet->id;
        nic.virtualMachine = vmId;
        vm.nics.push_back({nic.name, nic.virtualNetwork, nic.subnet});
        nics.push_back(nic);
    }
    std::optional<azsim::PublicIpAddress> ip;
    if (!r.publicIpName.empty()) {
        const azsim::PublicIpAddress* kept = doc.findPublicIp(r.publicIpName, group);
        ip = kept ? *kept : azsim::PublicIpAddress();
        if (!kept) {
            ip->name = r.publicIpName;
            ip->id = azsim::PublicIpId(sub, group, ip->name);
            ip->resourceGroup = group;
            ip->region = vm.region;
            ip->address = PublicAddress();
            ip->tags = jobTags;
            resources.push_back(ip->id);
        }
        nics.front().publicIp = ip->name;
    }
    for (const azsim::SecurityGroup* nsg : r.securityGroups) vm.securityGroups.push_back(nsg->name);

    azsim::Deployment deployment;
    deployment.name = o.kind + "-" + vm.name + "-" + vm.guid.substr(0, 8);
    deployment.resourceGroup = group;
    deployment.vmName = vm.name;
    deployment.vmGuid = vm.guid;
    deployment.resources = resources;
    deployment.createdAt = now;
    deployment.tags = jobTags;

    // From here on the document changes; the request's pointers into it are not read again.
    for (const azsim::ManagedDisk& md : imported) doc.managedDisks.push_back(md);
    for (const std::string& id : attachedIds) doc.findManagedDisk(id)->state = "Attached";
    for (const azsim::NetworkInterface& nic : nics) {
        if (azsim::NetworkInterface* kept = doc.findNetworkInterface(nic.name, group))
            *kept = nic;
        else
            doc.networkInterfaces.push_back(nic);
    }
    if (ip) {
        if (azsim::PublicIpAddress* kept = doc.findPublicIp(ip->name, group))
            *kept = *ip;
        else
            doc.publicIps.push_back(*ip);
    }
    // Addresses of the interfaces, new or taken over with one, now belong to the VM.
    for (const azsim::NetworkInterface& nic : nics)
        if (azsim::PublicIpAddress* address = nic.publicIp.empty() ? nullptr : doc.findPublicIp(nic.publicIp, group))
            address->virtualMachine = vmId;
    out.guid = vm.guid;
    doc.vms.push_back(vm);
    doc.deployments.push_back(deployment);
}

}  // namespace AzureSDKCppBridge
