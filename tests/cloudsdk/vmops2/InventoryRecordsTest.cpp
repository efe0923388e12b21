// VM records read over Resource Manager carry what the subscription holds, and an inventory reads each list once
// whatever the number of VMs.
#include "azsim/endpoint/RequestLog.h"
#include "tests/cloudsdk/restore/WrapperFixture.h"

using namespace wrappertest;

namespace {

using Inventory = WrapperTest;

std::vector<std::string> Names(const std::vector<VMInfoStructs::SSecurityGroupInfo>& groups) {
    std::vector<std::string> out;
    for (const auto& group : groups) out.push_back(group.name);
    return out;
}

// Every VM of the demo, one of them encrypted on its OS disk only and one stopped, against the stored resources.
TEST_F(Inventory, VmRecordsCarryTheStoredDisksNetworksSizesAndStates) {
    Edit([](azsim::StateDocument& doc) {
        azsim::VirtualMachine& secure = *doc.findVm("secure-db01");
        secure.encryption.osDiskOnly = true;
        for (const azsim::DiskAttachment& disk : secure.disks)
            if (disk.lun >= 0) doc.findManagedDisk(disk.id)->encrypted = false;
        doc.findVm("app-win01")->powerState = azsim::PowerState::Stopped;
    });
    const azsim::StateDocument doc = state.load();
    for (const azsim::VirtualMachine& vm : doc.vms) {
        SCOPED_TRACE(vm.name);
        SVMInfo got;
        ASSERT_TRUE(sdk.GetVMInfoForVM("", vm.guid, "", 0, 0, got)) << sdk.GetLastErrorString();
        const azsim::VmSize* size = nullptr;
        for (const azsim::VmSize& s : doc.findRegion(vm.region)->vmSizes) size = s.name == vm.size ? &s : size;
        ASSERT_NE(size, nullptr);
        EXPECT_EQ(std::tie(got.name, got.resourceGroup, got.firmware, got.availabilityZones, got.storageAccount),
                  std::tie(vm.name, vm.resourceGroup, vm.firmware, vm.zones, vm.storageAccount));
        EXPECT_EQ(std::make_tuple(got.powerState, got.isManaged, got.numCpus, got.memoryMB),
                  std::make_tuple(vm.powerStateCode(), vm.managed, std::uint32_t(size->cpus),
                                  std::uint32_t(size->memoryMB)));
        EXPECT_EQ(Names(got.securityGroups), vm.securityGroups);
        ASSERT_EQ(got.nics.size(), vm.nics.size());
        for (std::size_t i = 0; i < vm.nics.size(); ++i)
            EXPECT_EQ(std::tie(got.nics[i].name, got.nics[i].subnetId), std::tie(vm.nics[i].name, vm.nics[i].subnetId));
        ASSERT_EQ(got.disks.size(), vm.disks.size());
        for (std::size_t i = 0; i < vm.disks.size(); ++i) {
            const azsim::DiskAttachment& disk = vm.disks[i];
            const azsim::ManagedDisk* managed = doc.findManagedDisk(disk.id);
            const std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(disk.id);
            const azsim::UnmanagedDisk* blob = managed ? nullptr : doc.findUnmanagedDisk(uri->key());
            ASSERT_TRUE(managed || blob);
            const bool encrypted = (managed ? managed->encrypted : blob->encrypted) ||
                                   (vm.encryption.encrypted && (disk.lun < 0 || !vm.encryption.osDiskOnly));
            EXPECT_EQ(std::make_tuple(got.disks[i].capacity, got.disks[i].isEncrypted, got.disks[i].isOsDisk,
                                      got.disks[i].volumeType),
                      std::make_tuple(static_cast<long long>(managed ? managed->sizeBytes : blob->sizeBytes), encrypted,
                                      disk.lun < 0,
                                      managed ? managed->sku : doc.findStorageAccount(uri->account)->sku));
        }
    }
}

TEST_F(Inventory, HostListReadsEachListOnceWhateverTheNumberOfVms) {
    auto requestsOfOneList = [&] {
        const std::size_t before = azsim::RequestLog::Read(cloud.dir()).size();
        std::vector<VMInfoStructs::SHostInfo> hosts;
        EXPECT_TRUE(sdk.GetHostInfoList(0, 0, hosts)) << sdk.GetLastErrorString();
        return azsim::RequestLog::Read(cloud.dir()).size() - before;
    };
    const std::size_t few = requestsOfOneList();
    Edit([](azsim::StateDocument& doc) {
        for (const char* name : {"copy-a", "copy-b", "copy-c"}) {
            azsim::VirtualMachine vm = *doc.findVm("web-linux01");
            vm.name = name;
            vm.guid = azsim::NewGuid();
            vm.nics[0].name = std::string(name) + "-nic0";
            doc.vms.push_back(vm);
        }
    });
    EXPECT_EQ(requestsOfOneList(), few);
}

// A size's capabilities beyond processors, memory and disks are the resource SKU's: every size of every region
// carries the stored interfaces, premium storage, generations and zones.
TEST_F(Inventory, SizeRecordsCarryTheCapabilitiesOfTheirResourceSku) {
    for (const azsim::Region& region : state.load().regions) {
        SCOPED_TRACE(region.name);
        std::vector<VMInfoStructs::SVMSizeInfo> got;
        ASSERT_TRUE(sdk.GetAvailableVMSizesInLocation(region.name, got, 0, 0)) << sdk.GetLastErrorString();
        ASSERT_EQ(got.size(), region.vmSizes.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            const azsim::VmSize& size = region.vmSizes[i];
            EXPECT_EQ(std::tie(got[i].name, got[i].numCpus, got[i].maxDataDisks, got[i].maxNics, got[i].premiumIO,
                               got[i].gen2Supported, got[i].availabilityZones),
                      std::tie(size.name, size.cpus, size.maxDataDisks, size.maxNics, size.premiumIO,
                               size.gen2Supported, size.zones));
        }
    }
}

}  // namespace
