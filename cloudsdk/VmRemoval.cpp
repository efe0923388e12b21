#include "cloudsdk/VmRemoval.h"

#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/DiskUse.h"

namespace AzureSDKCppBridge {

using boost::algorithm::iequals;

namespace {

bool Goes(const VmRemoval& what, bool named, const azsim::Tags& tags) {
    return named && (!what.onlyJob || CreatedByJob(tags, *what.onlyJob));
}

template <class T, class Match>
void EraseIf(std::vector<T>& list, Match&& match) {
    list.erase(std::remove_if(list.begin(), list.end(), match), list.end());
}

}  // namespace

std::optional<azsim::BlobKey> RemoveManagedDisk(azsim::StateDocument& doc, const std::string& id) {
    const azsim::ManagedDisk* disk = doc.findManagedDisk(id);
    if (!disk) return std::nullopt;
    std::optional<azsim::BlobKey> data;
    if (!DiskDataSnapshotted(doc, *disk)) data = disk->blob;
    EraseIf(doc.managedDisks, [&](const azsim::ManagedDisk& d) { return iequals(d.id, id); });
    return data;
}

std::vector<azsim::BlobKey> RemoveVm(azsim::StateDocument& doc, const std::string& guid, const VmRemoval& what) {
    std::vector<azsim::BlobKey> data;
    const azsim::VirtualMachine* found = doc.findVmByGuid(guid);
    if (!found) return data;
    const azsim::VirtualMachine vm = *found;
    EraseIf(doc.vms, [&](const azsim::VirtualMachine& v) { return iequals(v.guid, guid); });

    for (const azsim::DiskAttachment& attachment : vm.disks) {
        if (vm.managed) {
            azsim::ManagedDisk* disk = doc.findManagedDisk(attachment.id);
            if (!disk) continue;
            if (!Goes(what, what.disks, disk->tags)) {
                disk->state = "Unattached";
                continue;
            }
            if (std::optional<azsim::BlobKey> blob = RemoveManagedDisk(doc, attachment.id)) data.push_back(*blob);
        } else if (std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(attachment.id)) {
            const azsim::UnmanagedDisk* blob = doc.findUnmanagedDisk(uri->key());
            if (!Goes(what, what.disks, blob ? blob->tags : azsim::Tags())) continue;
            ForgetPageBlob(doc, uri->key());
            data.push_back(uri->key());
        }
    }

    const std::string vmId = azsim::VirtualMachineId(doc.subscription().id, vm.resourceGroup, vm.name);
    for (const azsim::NetworkCard& card : vm.nics) {
        azsim::NetworkInterface* nic = doc.findNetworkInterface(card.name, vm.resourceGroup);
        if (!nic || !iequals(nic->virtualMachine, vmId)) continue;
        azsim::PublicIpAddress* ip =
            nic->publicIp.empty() ? nullptr : doc.findPublicIp(nic->publicIp, vm.resourceGroup);
        if (ip && Goes(what, what.network, ip->tags)) {
            const std::string ipId = ip->id;
            EraseIf(doc.publicIps, [&](const azsim::PublicIpAddress& p) { return p.id == ipId; });
            nic->publicIp.clear();
        } else if (ip) {
            ip->virtualMachine.clear();
        }
        if (Goes(what, what.network, nic->tags)) {
            const std::string nicId = nic->id;
            EraseIf(doc.networkInterfaces, [&](const azsim::NetworkInterface& n) { return n.id == nicId; });
        } else {
            nic->virtualMachine.clear();
        }
    }
    return data;
}

void DeleteBlobData(const azsim::PageBlobStore& root, const std::vector<azsim::BlobKey>& blobs) {
    azsim::PageBlobStore store = root;
    for (const azsim::BlobKey& blob : blobs) store.deleteBlob(blob);
}

}  // namespace AzureSDKCppBridge
