// Reconfiguring an existing VM: its size and its data disks by LUN.
#include <algorithm>
#include <set>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/DeploymentRequest.h"
#include "cloudsdk/DiskUse.h"
#include "cloudsdk/SdkErrorCodes.h"

namespace AzureSDKCppBridge {

using azsim::StateDocument;
using boost::algorithm::iequals;

namespace {

[[noreturn]] void Refuse(const std::string& text, int code = SDK_ERR_GENERAL) { throw OperationFailure(code, text); }

// The attachment id a listed data disk has on `vm`: a managed disk's id, or a page blob's URL.
// Checks that the disk exists and that no other VM uses it.
std::string ListedDiskId(const StateDocument& doc, const azsim::VirtualMachine& vm, const VMInfoStructs::SDisk& entry) {
    if (vm.managed) {
        const azsim::ManagedDisk* disk = doc.findManagedDisk(entry.managedDiskId);
        if (!disk) Refuse("NotFound: The disk '" + entry.managedDiskId + "' was not found.", SDK_ERR_NOT_FOUND);
        const azsim::VirtualMachine* user = VmUsingDisk(doc, *disk);
        if (user && user->guid != vm.guid)
            Refuse("OperationNotAllowed: Disk '" + disk->name + "' is already attached to VM '" + user->name + "'.");
        return disk->id;
    }
    std::string error;
    std::optional<azsim::BlobKey> blob = PageBlobOfEntry(entry, error);
    if (!blob) Refuse(error);
    const azsim::UnmanagedDisk* record = doc.findUnmanagedDisk(*blob);
    if (record) blob = record->blob;
    const azsim::VirtualMachine* user = VmLeasingBlob(doc, *blob);
    if (user && user->guid != vm.guid)
        Refuse("OperationNotAllowed: Blob '" + blob->name + "' is already attached to VM '" + user->name + "'.");
    return azsim::PageBlobUri(*blob);
}

bool SameAttachment(const azsim::VirtualMachine& vm, const std::string& a, const std::string& b) {
    if (vm.managed) return iequals(a, b);
    std::optional<azsim::BlobUri> x = azsim::ParseBlobUri(a), y = azsim::ParseBlobUri(b);
    return x && y && SameBlob(x->key(), y->key());
}

bool Premium(const StateDocument& doc, const azsim::VirtualMachine& vm, const std::vector<azsim::DiskAttachment>& disks) {
    for (const azsim::DiskAttachment& a : disks) {
        if (vm.managed) {
            const azsim::ManagedDisk* disk = doc.findManagedDisk(a.id);
            if (disk && boost::algorithm::istarts_with(disk->sku, "Premium")) return true;
        } else if (std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(a.id)) {
            const azsim::StorageAccount* account = doc.findStorageAccount(uri->account);
            if (account && boost::algorithm::istarts_with(account->sku, "Premium")) return true;
        }
    }
    return false;
}

// The VM's disks as the record lists them: its OS disk, then the listed data disks at their LUNs.
std::vector<azsim::DiskAttachment> ListedDisks(const StateDocument& doc, const azsim::VirtualMachine& vm,
                                               const VMInfoStructs::SVMInfo& record) {
    std::vector<azsim::DiskAttachment> disks;
    for (const azsim::DiskAttachment& a : vm.disks)
        if (a.lun < 0) disks.push_back(a);
    std::set<int> luns;
    for (const VMInfoStructs::SDisk& entry : record.disks) {
        if (entry.isOsDisk) continue;
        const std::string id = ListedDiskId(doc, vm, entry);
        for (const azsim::DiskAttachment& a : disks)
            if (SameAttachment(vm, a.id, id)) Refuse("InvalidParameter: Disk '" + id + "' is listed more than once.");
        if (entry.unitNumber < 0 || !luns.insert(entry.unitNumber).second)
            Refuse("InvalidParameter: LUN " + std::to_string(entry.unitNumber) + " is invalid or used twice.");
        disks.push_back({id, entry.unitNumber});
    }
    return disks;
}

void CheckSizeFits(const StateDocument& doc, const azsim::VirtualMachine& vm, const azsim::VmSize& size,
                   const std::vector<azsim::DiskAttachment>& disks) {
    const int data = static_cast<int>(disks.size()) - 1;
    if (data > size.maxDataDisks)
        Refuse("OperationNotAllowed: The size '" + size.name + "' takes at most " + std::to_string(size.maxDataDisks) +
               " data disks; " + std::to_string(data) + " were given.");
    if (static_cast<int>(vm.nics.size()) > size.maxNics)
        Refuse("OperationNotAllowed: The size '" + size.name + "' takes at most " + std::to_string(size.maxNics) +
               " network interfaces; the VM has " + std::to_string(vm.nics.size()) + ".");
    if (iequals(vm.firmware, "efi") && !size.gen2Supported)
        Refuse("BadRequest: The size '" + size.name + "' does not support Generation 2 VMs.");
    if (!size.premiumIO && Premium(doc, vm, disks))
        Refuse("BadRequest: The size '" + size.name + "' does not support premium storage, which the VM's disks use.");
}

}  // namespace

bool CAzureSDKCppBridge::ReconfigureVM(const VMInfoStructs::SVMInfo& vmInfo) try {
    nlohmann::json args = {{"vmName", vmInfo.name}, {"vmGuid", vmInfo.guid}, {"resourceGroup", vmInfo.resourceGroup},
                           {"vmSize", vmInfo.vmSize}, {"disks", vmInfo.disks.size()}};
    if (std::optional<Refusal> refusal = impl_->begin("ReconfigureVM", args)) return Fail(refusal->code, refusal->text);
    impl_->subscription->mutate([&](StateDocument& doc) {
        azsim::VirtualMachine* vm = doc.findVm(vmInfo.name, vmInfo.resourceGroup);
        if (!vm || (!vmInfo.guid.empty() && !iequals(vm->guid, vmInfo.guid)))
            Refuse("ResourceNotFound: No VM named '" + vmInfo.name + "'" +
                       (vmInfo.guid.empty() ? "" : " with GUID '" + vmInfo.guid + "'") + " exists in resource group '" +
                       vmInfo.resourceGroup + "'.",
                   SDK_ERR_NOT_FOUND);
        const azsim::Region* region = doc.findRegion(vm->region);
        const std::string sizeName = vmInfo.vmSize.empty() ? vm->size : vmInfo.vmSize;
        const azsim::VmSize* size = nullptr;
        if (region)
            for (const azsim::VmSize& offered : region->vmSizes)
                if (iequals(offered.name, sizeName)) size = &offered;
        if (!size)
            Refuse("SkuNotAvailable: The requested size '" + sizeName + "' is not available in location '" +
                   vm->region + "'.");
        // An empty disk list leaves the disks as they are.
        const std::vector<azsim::DiskAttachment> disks = vmInfo.disks.empty() ? vm->disks : ListedDisks(doc, *vm, vmInfo);
        CheckSizeFits(doc, *vm, *size, disks);

        const std::string newSize = size->name;
        if (vm->managed) {
            // Disks leave the VM detached and kept; new ones are attached.
            for (const azsim::DiskAttachment& a : vm->disks)
                if (azsim::ManagedDisk* disk = doc.findManagedDisk(a.id)) disk->state = "Unattached";
            for (const azsim::DiskAttachment& a : disks)
                if (azsim::ManagedDisk* disk = doc.findManagedDisk(a.id)) disk->state = "Attached";
        }
        vm->size = newSize;
        vm->disks = disks;
        return true;
    });
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
