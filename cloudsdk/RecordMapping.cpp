#include "cloudsdk/RecordMapping.h"

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"

namespace AzureSDKCppBridge {

namespace {

using boost::algorithm::iequals;

bool SameRegion(const azsim::StateDocument& doc, const std::string& a, const std::string& b) {
    const azsim::Region* ra = doc.findRegion(a);
    const azsim::Region* rb = doc.findRegion(b);
    return ra && rb ? ra == rb : iequals(a, b);
}

VMInfoStructs::SDisk ManagedDiskRecord(const azsim::VirtualMachine& vm, const azsim::ManagedDisk& md, int lun) {
    VMInfoStructs::SDisk disk;
    disk.name = md.name;
    disk.originalName = md.name;
    disk.indexName = md.name;
    disk.managedDiskId = md.id;
    disk.uri = md.id;
    disk.capacity = static_cast<long long>(md.sizeBytes);
    disk.volumeType = md.sku;
    disk.isEncrypted = md.encrypted || (vm.encryption.encrypted && (lun < 0 || !vm.encryption.osDiskOnly));
    disk.isManaged = true;
    disk.resourceGroup = md.resourceGroup;
    return disk;
}

VMInfoStructs::SDisk PageBlobDiskRecord(const azsim::StateDocument& doc, const azsim::VirtualMachine& vm,
                                        const std::string& uri, int lun) {
    VMInfoStructs::SDisk disk;
    disk.uri = uri;
    std::optional<azsim::BlobUri> parsed = azsim::ParseBlobUri(uri);
    if (parsed) {
        disk.name = parsed->blob;
        disk.storageAccount = parsed->account;
        if (const azsim::UnmanagedDisk* blob = doc.findUnmanagedDisk(parsed->key())) {
            disk.capacity = static_cast<long long>(blob->sizeBytes);
            disk.isEncrypted = blob->encrypted;
        }
    }
    disk.originalName = disk.name;
    disk.indexName = disk.name;
    disk.volumeType = "Standard_LRS";
    if (const azsim::StorageAccount* account = doc.findStorageAccount(disk.storageAccount))
        disk.volumeType = account->sku;
    disk.isEncrypted = disk.isEncrypted || (vm.encryption.encrypted && (lun < 0 || !vm.encryption.osDiskOnly));
    disk.resourceGroup = vm.resourceGroup;
    return disk;
}

}  // namespace

VMInfoStructs::SVMInfo VmRecord(const azsim::StateDocument& doc, const azsim::VirtualMachine& vm) {
    VMInfoStructs::SVMInfo out;
    out.name = vm.name;
    out.guid = vm.guid;
    out.displayName = vm.name;
    out.resourceGroup = vm.resourceGroup;
    out.region = vm.region;
    out.firmware = vm.firmware;
    out.vmSize = vm.size;
    out.powerState = vm.powerStateCode();
    out.availabilityZones = vm.zones;
    out.isManaged = vm.managed;
    out.storageAccount = vm.storageAccount;
    if (const azsim::Region* region = doc.findRegion(vm.region)) {
        for (const azsim::VmSize& size : region->vmSizes) {
            if (!iequals(size.name, vm.size)) continue;
            out.numCpus = static_cast<std::uint32_t>(size.cpus);
            out.memoryMB = static_cast<std::uint32_t>(size.memoryMB);
        }
    }
    for (const azsim::NetworkCard& nic : vm.nics) {
        VMInfoStructs::SVMNetworkCard card;
        card.name = nic.name;
        card.networkName = nic.virtualNetwork;
        card.subnetId = nic.subnetId;
        out.nics.push_back(card);
    }
    for (const std::string& name : vm.securityGroups)
        if (const azsim::SecurityGroup* group = doc.findSecurityGroup(name))
            out.securityGroups.push_back(SecurityGroupRecord(*group));
    for (const azsim::DiskAttachment& attachment : vm.disks) {
        VMInfoStructs::SDisk disk;
        if (vm.managed) {
            const azsim::ManagedDisk* md = doc.findManagedDisk(attachment.id);
            if (!md) continue;
            disk = ManagedDiskRecord(vm, *md, attachment.lun);
        } else {
            disk = PageBlobDiskRecord(doc, vm, attachment.id, attachment.lun);
        }
        disk.isOsDisk = attachment.lun < 0;
        disk.unitNumber = attachment.lun < 0 ? 0 : attachment.lun;
        disk.namePrefix = disk.isOsDisk ? "OsDisk" : "DataDisk";
        out.disks.push_back(disk);
    }
    return out;
}

VMInfoStructs::SDatastoreInfo StorageAccountRecord(const azsim::StorageAccount& account) {
    VMInfoStructs::SDatastoreInfo out;
    out.name = account.name;
    out.displayName = account.name;
    out.skuName = account.sku;
    out.region = account.region;
    return out;
}

VMInfoStructs::SVMSizeInfo VmSizeRecord(const azsim::VmSize& size) {
    VMInfoStructs::SVMSizeInfo out;
    out.name = size.name;
    out.uuid = size.name;
    out.numCpus = size.cpus;
    out.memoryMB = size.memoryMB;
    out.maxDataDisks = size.maxDataDisks;
    out.maxNics = size.maxNics;
    out.premiumIO = size.premiumIO;
    out.gen2Supported = size.gen2Supported;
    out.availabilityZones = size.zones;
    return out;
}

VMInfoStructs::SNetworkInfo NetworkRecord(const azsim::VirtualNetwork& network) {
    VMInfoStructs::SNetworkInfo out;
    out.name = network.name;
    out.id = network.id;
    out.location = network.region;
    out.addressPrefix = network.addressPrefix;
    for (const azsim::Subnet& subnet : network.subnets) out.subnets.push_back(subnet.name);
    return out;
}

VMInfoStructs::SSecurityGroupInfo SecurityGroupRecord(const azsim::SecurityGroup& group) {
    VMInfoStructs::SSecurityGroupInfo out;
    out.name = group.name;
    out.id = group.id;
    out.location = group.region;
    return out;
}

VMInfoStructs::SHostInfo HostRecord(const azsim::StateDocument& doc, const azsim::ResourceGroup& group) {
    VMInfoStructs::SHostInfo out;
    out.name = group.name;
    out.location = group.region;
    for (const azsim::VirtualMachine& vm : doc.vms)
        if (iequals(vm.resourceGroup, group.name)) out.vmList.push_back(VmRecord(doc, vm));
    for (const azsim::StorageAccount& account : doc.storageAccounts)
        if (iequals(account.resourceGroup, group.name)) out.datastores.push_back(StorageAccountRecord(account));
    for (const azsim::VirtualNetwork& network : doc.virtualNetworks)
        if (iequals(network.resourceGroup, group.name)) out.networks.push_back(NetworkRecord(network));
    for (const azsim::SecurityGroup& nsg : doc.securityGroups)
        if (iequals(nsg.resourceGroup, group.name)) out.securityGroups.push_back(SecurityGroupRecord(nsg));
    return out;
}

VMInfoStructs::SDataCenterInfo DataCenterRecord(const azsim::StateDocument& doc, const azsim::Region& region,
                                                const std::string& name) {
    VMInfoStructs::SDataCenterInfo out;
    out.name = name;
    for (const azsim::StorageAccount& account : doc.storageAccounts)
        if (SameRegion(doc, account.region, region.name)) out.datastores.push_back(StorageAccountRecord(account));
    for (const azsim::VirtualNetwork& network : doc.virtualNetworks)
        if (SameRegion(doc, network.region, region.name)) out.networks.push_back(NetworkRecord(network));
    for (const azsim::SecurityGroup& nsg : doc.securityGroups)
        if (SameRegion(doc, nsg.region, region.name)) out.securityGroups.push_back(SecurityGroupRecord(nsg));
    return out;
}

}  // namespace AzureSDKCppBridge
