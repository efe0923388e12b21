#include "cloudsdk/DiskUse.h"

#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"

namespace AzureSDKCppBridge {

using boost::algorithm::iequals;

bool SameBlob(const azsim::BlobKey& a, const azsim::BlobKey& b) {
    return iequals(a.account, b.account) && iequals(a.container, b.container) && a.name == b.name;
}

const azsim::VirtualMachine* VmLeasingBlob(const azsim::StateDocument& doc, const azsim::BlobKey& key) {
    for (const azsim::VirtualMachine& vm : doc.vms)
        for (const azsim::DiskAttachment& a : vm.disks) {
            std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(a.id);
            if (uri && SameBlob(uri->key(), key)) return &vm;
        }
    return nullptr;
}

const azsim::VirtualMachine* VmUsingDisk(const azsim::StateDocument& doc, const azsim::ManagedDisk& disk) {
    for (const azsim::VirtualMachine& vm : doc.vms)
        for (const azsim::DiskAttachment& a : vm.disks)
            if (iequals(a.id, disk.id)) return &vm;
    return nullptr;
}

bool DiskDataSnapshotted(const azsim::StateDocument& doc, const azsim::ManagedDisk& disk) {
    return std::any_of(doc.snapshots.begin(), doc.snapshots.end(),
                       [&](const azsim::ManagedSnapshot& s) { return s.blob == disk.blob; });
}

void ForgetPageBlob(azsim::StateDocument& doc, const azsim::BlobKey& key) {
    doc.unmanagedDisks.erase(std::remove_if(doc.unmanagedDisks.begin(), doc.unmanagedDisks.end(),
                                            [&](const azsim::UnmanagedDisk& d) { return SameBlob(d.blob, key); }),
                             doc.unmanagedDisks.end());
    doc.blobSnapshots.erase(std::remove_if(doc.blobSnapshots.begin(), doc.blobSnapshots.end(),
                                           [&](const azsim::BlobSnapshot& s) { return SameBlob(s.blob, key); }),
                            doc.blobSnapshots.end());
    for (azsim::SnapshotSet& set : doc.snapshotSets)
        set.members.erase(std::remove_if(set.members.begin(), set.members.end(),
                                         [&](const std::string& member) {
                                             std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(member);
                                             return uri && SameBlob(uri->key(), key);
                                         }),
                          set.members.end());
    doc.snapshotSets.erase(std::remove_if(doc.snapshotSets.begin(), doc.snapshotSets.end(),
                                          [](const azsim::SnapshotSet& s) { return s.members.empty(); }),
                           doc.snapshotSets.end());
}

}  // namespace AzureSDKCppBridge
