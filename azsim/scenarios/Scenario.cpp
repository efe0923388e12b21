#include "azsim/scenarios/Scenario.h"

#include <algorithm>
#include <ctime>

#include "azsim/StateFolder.h"
#include "azsim/model/ResourceIds.h"
#include "azsim/model/SubscriptionState.h"
#include "azsim/scenarios/DiskContent.h"

namespace azsim {

namespace {

using nlohmann::json;

constexpr std::uint64_t kMiB = 1024 * 1024;

std::uint64_t DiskSize(const json& entry, const std::string& name) {
    std::uint64_t size = entry.contains("sizeBytes") ? entry.at("sizeBytes").get<std::uint64_t>()
                                                    : entry.value("sizeMiB", std::uint64_t{0}) * kMiB;
    if (size == 0 || size % PageBlobStore::kPageSize != 0)
        throw Error("disk [" + name + "] needs a size that is a positive multiple of 512");
    return size;
}

class Seeder {
public:
    Seeder(StateDocument& doc, PageBlobStore& store)
        : doc_(doc), store_(store), subscription_(doc.subscription().id), now_(std::time(nullptr)) {}

    void completeNetworkIds() {
        for (VirtualNetwork& net : doc_.virtualNetworks) {
            if (net.id.empty()) net.id = VirtualNetworkId(subscription_, net.resourceGroup, net.name);
            for (Subnet& subnet : net.subnets)
                if (subnet.id.empty()) subnet.id = SubnetId(subscription_, net.resourceGroup, net.name, subnet.name);
        }
        for (SecurityGroup& nsg : doc_.securityGroups)
            if (nsg.id.empty()) nsg.id = SecurityGroupId(subscription_, nsg.resourceGroup, nsg.name);
    }

    void seedVm(const json& entry) {
        json record = entry;
        record.erase("disks");
        VirtualMachine vm = record.get<VirtualMachine>();
        if (vm.name.empty()) throw Error("a scenario VM has no name");
        const ResourceGroup* group = doc_.findResourceGroup(vm.resourceGroup);
        if (!group) throw Error("VM [" + vm.name + "] names a missing resource group [" + vm.resourceGroup + "]");
        if (vm.region.empty()) vm.region = group->region;
        if (!doc_.findRegion(vm.region)) throw Error("VM [" + vm.name + "] names a missing region [" + vm.region + "]");
        if (vm.guid.empty()) vm.guid = NewGuid();
        completeNicSubnets(vm, entry);
        const json disks = entry.value("disks", json::array());
        for (std::size_t i = 0; i < disks.size(); ++i) vm.disks.push_back(seedDisk(vm, disks[i], i));
        doc_.vms.push_back(std::move(vm));
    }

private:
    void completeNicSubnets(VirtualMachine& vm, const json& entry) {
        const json nics = entry.value("nics", json::array());
        for (std::size_t i = 0; i < vm.nics.size() && i < nics.size(); ++i) {
            NetworkCard& nic = vm.nics[i];
            if (!nic.subnetId.empty() || !nics[i].contains("subnet")) continue;
            const VirtualNetwork* net = doc_.findVirtualNetwork(nic.virtualNetwork);
            if (!net) throw Error("VM [" + vm.name + "] names a missing network [" + nic.virtualNetwork + "]");
            nic.subnetId =
                SubnetId(subscription_, net->resourceGroup, net->name, nics[i].at("subnet").get<std::string>());
        }
    }

    DiskAttachment seedDisk(const VirtualMachine& vm, const json& entry, std::size_t index) {
        std::string name = entry.value("name", "");
        if (name.empty()) throw Error("a disk of VM [" + vm.name + "] has no name");
        std::uint64_t size = DiskSize(entry, name);
        bool osDisk = index == 0;
        bool encrypted = vm.encryption.encrypted && (osDisk || !vm.encryption.osDiskOnly);
        DiskAttachment attachment;
        attachment.lun = entry.value("lun", osDisk ? -1 : static_cast<int>(index) - 1);

        BlobKey blob;
        if (vm.managed) {
            ManagedDisk disk;
            disk.id = ManagedDiskId(subscription_, vm.resourceGroup, name);
            disk.name = name;
            disk.resourceGroup = vm.resourceGroup;
            disk.region = vm.region;
            disk.sizeBytes = size;
            disk.sku = entry.value("sku", disk.sku);
            if (osDisk) {
                disk.osType = vm.osType;
                disk.firmware = vm.firmware;
            }
            disk.tags = entry.value("tags", Tags());
            disk.encrypted = encrypted;
            disk.zones = entry.value("zones", vm.zones);
            disk.state = "Attached";
            disk.blob = NewManagedDiskBlob();
            disk.createdAt = now_;
            blob = disk.blob;
            attachment.id = disk.id;
            doc_.managedDisks.push_back(disk);
        } else {
            std::string accountName = entry.value("storageAccount", vm.storageAccount);
            StorageAccount* account = doc_.findStorageAccount(accountName);
            if (!account) throw Error("disk [" + name + "] names a missing storage account [" + accountName + "]");
            if (std::find(account->containers.begin(), account->containers.end(), "vhds") == account->containers.end())
                account->containers.push_back("vhds");
            UnmanagedDisk disk;
            disk.name = name;
            disk.resourceGroup = account->resourceGroup;
            disk.region = account->region;
            disk.sizeBytes = size;
            disk.tags = entry.value("tags", Tags());
            disk.encrypted = encrypted;
            disk.blob = BlobKey{account->name, "vhds", name + ".vhd"};
            blob = disk.blob;
            attachment.id = PageBlobUri(disk.blob);
            doc_.unmanagedDisks.push_back(disk);
        }
        writeBlob(blob, size, entry.value("content", json::array()), name);
        return attachment;
    }

    void writeBlob(const BlobKey& blob, std::uint64_t size, const json& content, const std::string& name) {
        std::string error;
        if (!store_.createPageBlob(blob, size, false, &error))
            throw Error("disk [" + name + "] cannot be created: " + error);
        for (const json& entry : content) {
            ContentFill fill = ContentFillFromJson(entry);
            if (fill.offset + fill.length > size || fill.offset + fill.length < fill.offset)
                throw Error("content of disk [" + name + "] reaches past its end");
            if (!WriteContent(store_, blob, fill, name, &error))
                throw Error("content of disk [" + name + "] cannot be written: " + error);
        }
    }

    StateDocument& doc_;
    PageBlobStore& store_;
    std::string subscription_;
    std::int64_t now_;
};

}  // namespace

StateDocument InitState(const std::string& stateDir, const nlohmann::json& scenario) {
    SubscriptionState state(stateDir);
    if (state.exists()) throw Error("state folder [" + stateDir + "] already holds a subscription");
    if (!scenario.is_object()) throw Error("a scenario is a JSON object");
    try {
        json resources = scenario;
        resources.erase("vms");
        StateDocument doc = StateDocument::fromJson(resources);
        PageBlobStore store = state.blobs();
        Seeder seeder(doc, store);
        seeder.completeNetworkIds();
        for (const json& vm : scenario.value("vms", json::array())) seeder.seedVm(vm);
        state.save(doc);
        return doc;
    } catch (const json::exception& e) {
        throw Error(std::string("scenario is malformed: ") + e.what());
    }
}

}  // namespace azsim
