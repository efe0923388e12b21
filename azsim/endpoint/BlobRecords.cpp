#include "azsim/endpoint/BlobRecords.h"

#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"

namespace azsim {

using boost::algorithm::iequals;

bool sameBlob(const BlobKey& a, const BlobKey& b) {
    return iequals(a.account, b.account) && iequals(a.container, b.container) && a.name == b.name;
}

bool hasContainer(const StorageAccount& account, const std::string& container) {
    return std::any_of(account.containers.begin(), account.containers.end(),
                       [&](const std::string& c) { return iequals(c, container); });
}

const VirtualMachine* vmLeasing(const StateDocument& doc, const BlobKey& key) {
    for (const VirtualMachine& vm : doc.vms)
        for (const DiskAttachment& a : vm.disks) {
            std::optional<BlobUri> uri = ParseBlobUri(a.id);
            if (uri && sameBlob(uri->key(), key)) return &vm;
        }
    return nullptr;
}

namespace {

// Removes the snapshot-set members `names` picks, and the sets this leaves empty: a set recorded
// without members is no removal's to end.
void dropMembers(StateDocument& doc, const std::function<bool(const BlobUri&)>& names) {
    std::vector<std::string> emptied;
    for (SnapshotSet& set : doc.snapshotSets) {
        const auto end = std::remove_if(set.members.begin(), set.members.end(), [&](const std::string& member) {
            std::optional<BlobUri> uri = ParseBlobUri(member);
            return uri && names(*uri);
        });
        if (end == set.members.end()) continue;
        set.members.erase(end, set.members.end());
        if (set.members.empty()) emptied.push_back(set.guid);
    }
    doc.snapshotSets.erase(std::remove_if(doc.snapshotSets.begin(), doc.snapshotSets.end(),
                                          [&](const SnapshotSet& s) {
                                              return std::find(emptied.begin(), emptied.end(), s.guid) !=
                                                     emptied.end();
                                          }),
                           doc.snapshotSets.end());
}

}  // namespace

StateDocument loadRecords(const SubscriptionState& state) { return state.exists() ? state.load() : StateDocument(); }

bool changeRecords(const SubscriptionState& state, const std::function<bool(StateDocument&)>& change) {
    if (state.exists()) return state.mutate(change);
    StateDocument none;
    return change(none);
}

void forgetSnapshot(StateDocument& doc, const BlobKey& key, const std::string& snapshot) {
    auto& records = doc.blobSnapshots;
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [&](const BlobSnapshot& s) {
                                     return sameBlob(s.blob, key) && s.storeSnapshot == snapshot;
                                 }),
                  records.end());
    dropMembers(doc, [&](const BlobUri& uri) { return sameBlob(uri.key(), key) && uri.snapshot == snapshot; });
}

void forgetPageBlob(StateDocument& doc, const BlobKey& key) {
    auto& disks = doc.unmanagedDisks;
    disks.erase(std::remove_if(disks.begin(), disks.end(),
                               [&](const UnmanagedDisk& d) { return sameBlob(d.blob, key); }),
                disks.end());
    auto& snapshots = doc.blobSnapshots;
    snapshots.erase(std::remove_if(snapshots.begin(), snapshots.end(),
                                   [&](const BlobSnapshot& s) { return sameBlob(s.blob, key); }),
                    snapshots.end());
    dropMembers(doc, [&](const BlobUri& uri) { return sameBlob(uri.key(), key); });
}

void recordPageBlob(StateDocument& doc, const StorageAccount& account, const BlobKey& key, std::uint64_t size,
                    const Tags& tags) {
    forgetPageBlob(doc, key);
    UnmanagedDisk disk;
    disk.name = key.name;
    disk.resourceGroup = account.resourceGroup;
    disk.region = account.region;
    disk.sizeBytes = size;
    disk.tags = tags;
    disk.blob = key;
    doc.unmanagedDisks.push_back(disk);
}

Tags storedMetadata(const StateDocument& doc, const BlobKey& key, const std::string& snapshot) {
    if (snapshot.empty()) {
        const UnmanagedDisk* disk = doc.findUnmanagedDisk(key);
        return disk ? disk->tags : Tags();
    }
    for (const BlobSnapshot& s : doc.blobSnapshots)
        if (sameBlob(s.blob, key) && s.storeSnapshot == snapshot) return s.metadata;
    return Tags();
}

}  // namespace azsim
