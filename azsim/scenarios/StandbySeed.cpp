#include "azsim/scenarios/StandbySeed.h"

#include <algorithm>
#include <ctime>

#include <boost/algorithm/string/case_conv.hpp>
#include <nlohmann/json.hpp>

#include "azsim/model/ResourceIds.h"

namespace azsim {

namespace {

using nlohmann::json;

// The names the product gives these records (its replication tag, its snapshot tags and the
// mark of a deferred configuration), so that the seeded standby reads as one it left.
const char* const kReplicationGuidTag = "_NX_REPLICATION_DISK_GUID_";
const char* const kSetGuidTag = "QD_SNAPSHOT_GUID";
const char* const kMarkerTag = "QD_SNAPSHOT_MARKER";
const char* const kBackupMarker = "_QDMD_";
const char* const kSeedJob = "azsim-seed";

struct SourceDisk {
    BlobKey data;
    std::uint64_t bytes = 0;
    int lun = -1;
};

std::vector<SourceDisk> SourceDisks(const StateDocument& doc, const VirtualMachine& vm, const PageBlobStore& store) {
    std::vector<SourceDisk> out;
    for (const DiskAttachment& a : vm.disks) {
        SourceDisk d;
        d.lun = a.lun;
        if (const ManagedDisk* md = doc.findManagedDisk(a.id)) {
            d.data = md->blob;
        } else if (std::optional<BlobUri> uri = ParseBlobUri(a.id)) {
            d.data = uri->key();
        } else {
            throw Error("disk [" + a.id + "] of VM [" + vm.name + "] has no data");
        }
        BlobProperties props;
        if (!store.properties(d.data, std::string(), props)) throw Error("disk [" + a.id + "] has no data");
        d.bytes = props.size;
        out.push_back(d);
    }
    std::sort(out.begin(), out.end(), [](const SourceDisk& a, const SourceDisk& b) { return a.lun < b.lun; });
    return out;
}

json DiskEntry(const BlobKey& blob, int lun) {
    json disk = {{"name", blob.name}, {"createOption", "Attach"}, {"vhd", {{"uri", PageBlobUri(blob)}}}};
    if (lun >= 0) disk["lun"] = lun;
    return disk;
}

std::string Configuration(const VirtualMachine& source, const StandbyRequest& r, const SeededStandby& seeded,
                          const std::vector<SourceDisk>& disks) {
    json storage = {{"dataDisks", json::array()}};
    for (std::size_t i = 0; i < disks.size(); ++i) {
        if (disks[i].lun < 0) {
            storage["osDisk"] = DiskEntry(seeded.blobs[i], -1);
            storage["osDisk"]["osType"] = source.osType;
        } else {
            storage["dataDisks"].push_back(DiskEntry(seeded.blobs[i], disks[i].lun));
        }
    }
    json config = {{"name", r.vmName},
                   {"location", source.region},
                   {"tags", source.tags},
                   {"properties", {{"hardwareProfile", {{"vmSize", source.size}}}, {"storageProfile", storage}}},
                   {"deferredDeployment",
                    {{"createdByJob", kSeedJob}, {"vmName", r.vmName}, {"resourceGroup", r.resourceGroup}}}};
    if (source.firmware == "efi")
        config["properties"]["securityProfile"] = {{"uefiSettings", {{"secureBootEnabled", true}}}};
    return config.dump(2);
}

}  // namespace

SeededStandby SeedStandby(const SubscriptionState& state, const StandbyRequest& r) {
    PageBlobStore store = state.blobs();
    SeededStandby seeded;
    try {
    state.mutate([&](StateDocument& doc) {
        const VirtualMachine* source = doc.findVm(r.sourceVm);
        const StorageAccount* account = doc.findStorageAccount(r.storageAccount);
        const ResourceGroup* group = doc.findResourceGroup(r.resourceGroup);
        if (!source) throw Error("no VM named [" + r.sourceVm + "]");
        if (!account) throw Error("no storage account named [" + r.storageAccount + "]");
        if (!group) throw Error("no resource group named [" + r.resourceGroup + "]");
        const std::vector<SourceDisk> disks = SourceDisks(doc, *source, store);
        SnapshotSet set;
        set.guid = NewGuid();
        set.resourceGroup = group->name;
        set.createdAt = static_cast<std::int64_t>(std::time(nullptr));
        set.jobTag = "0";
        for (std::size_t n = 0; n < disks.size(); ++n) {
            const std::string stem = r.resourceGroup + "-" + r.vmName;
            const BlobKey blob{account->name, "vhds", n == 0 ? stem + ".vhd" : stem + "-" + std::to_string(n) + ".vhd"};
            if (store.exists(blob)) throw Error("blob [" + PageBlobUri(blob) + "] already exists");
            std::string error;
            if (!store.copyBlob(disks[n].data, std::string(), blob, &error)) throw Error(error);
            seeded.blobs.push_back(blob);
            const std::string snapshot = store.createSnapshot(blob, &error);
            if (snapshot.empty()) throw Error(error);
            UnmanagedDisk record;
            record.name = blob.name;
            record.resourceGroup = group->name;
            record.region = account->region;
            record.sizeBytes = disks[n].bytes;
            record.tags = {{kReplicationGuidTag, NewGuid()}};
            record.blob = blob;
            doc.unmanagedDisks.push_back(record);
            doc.blobSnapshots.push_back(
                {blob, snapshot, set.createdAt, {{kSetGuidTag, set.guid}, {kMarkerTag, kBackupMarker}}});
            set.members.push_back(PageBlobUri(blob, snapshot));
        }
        seeded.snapshotSet = set.guid;
        doc.snapshotSets.push_back(set);
        seeded.configuration = {account->name, "vhds", boost::algorithm::to_lower_copy(r.resourceGroup + "-" + r.vmName + ".json")};
        std::string error;
        if (!store.putBlockBlob(seeded.configuration, Configuration(*source, r, seeded, disks), &error))
            throw Error(error);
        return true;
    });
    } catch (...) {
        // The document was not saved: the data copied for it goes too.
        for (const BlobKey& blob : seeded.blobs) store.deleteBlob(blob);
        if (!seeded.configuration.name.empty()) store.deleteBlob(seeded.configuration);
        throw;
    }
    return seeded;
}

}  // namespace azsim
