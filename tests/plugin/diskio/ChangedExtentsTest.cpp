// Mounted disks opened, incremental extents after guest writes, change-id validation, change-tracking status.
#include <algorithm>

#include "host/message/VMReferencePointInfo.h"
#include "tests/plugin/diskio/DiskFixture.h"

namespace {

const char* const kExtentsTag =
    "virtual int CAzureInfo::GetVmdkExtents(const VmdkHandle&, const string&, ULONGLONG, SDiskChangeInfo&)";
const char* const kStatusTag = "bool CAzureInfo::SetVMCBTStatus(const MountCtx&)";

using Extents = std::vector<std::pair<std::uint64_t, std::uint64_t>>;  // start and length of each
const Extents kGuestWrites = {{kMiB, 64 * 1024}, {100 * kMiB + 4096, 8192}, {200 * kMiB, 3 * kMiB}};

class ChangedExtents : public DiskDataPath {
protected:
    static std::string ReferencePoint(const std::string& changeId, const std::string& snapshotId) {
        VirtualServer::VMReferencePointInfo message;
        message.setstring(1, 1, 0x1aeef26a, 0xe4072f, changeId);
        message.setstring(3, 9, 0x1aeef26a, 0x2e1faf, snapshotId);
        std::string out;
        message.serialize(out, false);
        return out;
    }
    // Every disk of the mount opens by the name the mount information gives it.
    void ExpectMountedDisksOpen(const MountCtx& ctx) {
        std::vector<SMountInfoFull> info;
        ASSERT_EQ(1, plugin->GetFullMountInfo(ctx, info));
        for (const SMountInfoFull& entry : info)
            if (entry.kind == MOUNT_ENTRY_DISK) Open(entry.disks.at(0).uri);
    }
    static Extents Pairs(const SDiskChangeInfo& info) {
        Extents out;
        for (const SDiskChangeExtent& e : info.extents) out.emplace_back(e.start, e.length);
        return out;
    }
    // A full mount, guest writes on `blob`, then an incremental mount against the first.
    void ExpectIncrementalExtents(const char* vm, const char* group, const azsim::BlobKey& blob, size_t diskIndex) {
        const MountCtx full = Mounted(vm, group);
        EXPECT_EQ(std::make_pair(1, std::string("Enabled")), std::make_pair(full.cbtMode, full.cbtStatusText));
        ExpectMountedDisksOpen(full);
        for (const auto& [offset, length] : kGuestWrites) {  // into the live disk blob, as the guest would
            std::vector<unsigned char> data(length, static_cast<unsigned char>(0x5a + offset % 7));
            ASSERT_TRUE(azsim::SubscriptionState(cloud.dir()).blobs().writePages(blob, offset, data.data(), length, nullptr));
        }

        Connect(new DiskPlugin());
        const std::string changeId = full.backupSnapshotGuid;
        MountCtx incremental = Ctx(vm, group, ReferencePoint(changeId, changeId));
        ASSERT_EQ(1, plugin->MountVM(incremental));
        EXPECT_EQ(std::make_pair(2, std::string("Used")), std::make_pair(incremental.cbtMode, incremental.cbtStatusText));

        VmdkHandle handle = Open(incremental.vmInfo.disks.at(diskIndex).uri);
        SDiskChangeInfo changed;
        ASSERT_EQ(1, plugin->GetVmdkExtents(handle, changeId, 0, changed));
        EXPECT_EQ(kGuestWrites, Pairs(changed));
        EXPECT_TRUE(log.contains(kExtentsTag, "There are [3] changed extents for ChangeID [" + changeId + "]"));
        // The extents are read as they are now: the written bytes, from the new snapshot.
        std::vector<unsigned char> buffer(kMiB);
        ASSERT_EQ(1, plugin->ReadVmdk(handle, 200, 2048, buffer.data()));
        EXPECT_EQ(std::vector<unsigned char>(kMiB, static_cast<unsigned char>(0x5a + 200 * kMiB % 7)), buffer);

        SDiskChangeInfo allocated;
        ASSERT_EQ(1, plugin->GetVmdkExtents(handle, "", 0, allocated));
        std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(handle.diskInfo->sourceUri);
        std::vector<azsim::PageRange> pages;
        azsim::SubscriptionState(cloud.dir()).blobs().pageRanges(uri->key(), uri->snapshot, 0, UINT64_MAX, pages);
        Extents stored;
        for (const azsim::PageRange& r : pages) stored.emplace_back(r.start, r.end - r.start);
        EXPECT_EQ(stored, Pairs(allocated));

        const std::string path = incremental.vmInfo.disks.at(diskIndex).uri;
        EXPECT_TRUE(plugin->ValidateChangeId("", "", path, changeId));
        ASSERT_TRUE(plugin->sdk->DeleteDiskSnapshots(changeId, full.vmInfo.disks, group, false));
        EXPECT_FALSE(plugin->ValidateChangeId("", "", path, changeId));
        EXPECT_EQ(0, plugin->GetVmdkExtents(handle, changeId, 0, changed));
        EXPECT_EQ(3u, changed.extents.size()) << "a failed query leaves the list as it was";
        EXPECT_FALSE(plugin->ValidateChangeId("", "", path, ""));
    }
};

TEST_F(ChangedExtents, ManagedAndUnmanagedIncrementalsReadExactlyTheGuestWrites) {
    const azsim::StateDocument doc = azsim::SubscriptionState(cloud.dir()).load();
    const azsim::ManagedDisk* disk = doc.findManagedDiskByName("web-linux01-data0");
    ASSERT_NE(nullptr, disk);
    ExpectIncrementalExtents("web-linux01", "rg-prod", disk->blob, 1);
    // Only the previous snapshot's access was granted for the diff, and it was revoked.
    ASSERT_EQ(1u, Journalled("RevokeSASToken"));
    EXPECT_NE(std::string::npos,
              cloud.journal("RevokeSASToken")[0]["args"]["snapshotName"].get<std::string>().find("web-linux01-data0"));
    ExpectIncrementalExtents("legacy-vm01", "rg-legacy", azsim::BlobKey{"legacystore01", "vhds", "legacy-vm01-data0.vhd"}, 1);
}

TEST_F(ChangedExtents, StatusFollowsPerDiskValidation) {
    const MountCtx full = Mounted("web-linux01", "rg-prod");
    const size_t lookups = Journalled("GetSourceDiskForSnapshot");
    const MountCtx second = Mounted("web-linux01", "rg-prod");
    EXPECT_EQ(lookups, Journalled("GetSourceDiskForSnapshot")) << "a full backup validates nothing";

    const std::string guid = full.backupSnapshotGuid;
    // The status once change tracking was set up for `ctx`, " (off)" when that switched tracking off.
    auto status = [&](MountCtx ctx, const std::string& changeId, const std::string& snapshotId) {
        ctx.referencePoint = ReferencePoint(changeId, snapshotId);
        EXPECT_TRUE(plugin->InitCBT(ctx));
        return ctx.cbtStatusText + (ctx.cbtEnabled ? "" : " (off)");
    };
    EXPECT_EQ("Used", status(second, "ignored-change-id", guid));
    EXPECT_EQ(guid, plugin->referenceSnapshotId);
    MountCtx latestFull = second;
    latestFull.backupType = 4;  // the change id of the latest full backup is the reference itself
    EXPECT_EQ("Used", status(latestFull, guid, "stale-snapshot-id"));
    EXPECT_EQ("Failed", status(second, guid, "stale-snapshot-id"));

    // One disk's earlier snapshot removed: partly usable.
    azsim::SubscriptionState(cloud.dir()).mutate([&](azsim::StateDocument& doc) {
        auto gone = [&](const azsim::ManagedSnapshot& s) { return s.id == full.vmInfo.disks[2].managedDiskId; };
        doc.snapshots.erase(std::find_if(doc.snapshots.begin(), doc.snapshots.end(), gone));
        return true;
    });
    EXPECT_EQ("Partially Used", status(second, "", guid));
    EXPECT_TRUE(log.containsError(kStatusTag, "Change ID validation failed for Snapshot [" +
                                                  second.vmInfo.disks[2].managedDiskId + "], Snapshot GUID [" + guid +
                                                  "]"));
    MountCtx encrypted = second;
    encrypted.vmInfo.disks[1].isEncrypted = true;
    EXPECT_EQ("Not Used (off)", status(encrypted, "", guid));
    MountCtx failback = second;
    failback.isFailback = true;
    failback.cbtStatusText.clear();
    EXPECT_EQ(" (off)", status(failback, "", guid));

    MountCtx ctx = second;
    ctx.referencePoint = "not a reference point";
    EXPECT_FALSE(plugin->InitCBT(ctx));
    EXPECT_TRUE(log.containsError("bool CAzureInfo::InitCBT(const MountCtx&)",
                                  "Failed to read VM [web-linux01] change block tracking details. Code [0x102]"));
}

// A previous change id holding bytes that are not UTF-8 (as a damaged reference point would hand back) fails the
// change queries with an error, and the unmount still removes the job's snapshot set.
TEST_F(ChangedExtents, HostileChangeIdFailsCleanlyThroughAWholeBackup) {
    const struct { const char* vm; const char* group; const char* tag; const char* error; } vms[] = {
        {"web-linux01", "rg-prod",
         "bool CAzureInfo::_GetManagedDiskSnapshotIDForSnapshotGUID(const string&, const string&, string&, const "
         "string&)",
         "There is no valid Snapshot for Disk ["},
        {"legacy-vm01", "rg-legacy", "bool CAzureInfo::GetSnapshotURIForChangeID(const string&, const string&, bool, string&)",
         "Failed to get Snapshot URI for Blob URI ["}};
    for (const auto& v : vms) {
        for (const std::string hostile : {"\xff", "id-\xc3"}) {
            const azsim::StateDocument before = azsim::SubscriptionState(cloud.dir()).load();
            const size_t sets = before.snapshotSets.size();
            MountCtx ctx = Ctx(v.vm, v.group, ReferencePoint(hostile, hostile));
            ASSERT_EQ(1, plugin->MountVM(ctx)) << v.vm;
            EXPECT_EQ("Failed", ctx.cbtStatusText);
            ASSERT_EQ(sets + 1, azsim::SubscriptionState(cloud.dir()).load().snapshotSets.size());
            for (const SDisk& disk : ctx.vmInfo.disks) {
                VmdkHandle handle = Open(disk.uri);
                SDiskChangeInfo changed;
                log.clear();
                EXPECT_EQ(0, plugin->GetVmdkExtents(handle, hostile, 0, changed));
                EXPECT_TRUE(changed.extents.empty());
                EXPECT_TRUE(Logged(v.tag, v.error)) << v.vm;
                log.clear();
                EXPECT_FALSE(plugin->ValidateChangeId("", "", disk.uri, hostile));
                EXPECT_TRUE(Logged(v.tag, v.error)) << v.vm;
            }
            ASSERT_EQ(1, plugin->UnmountVM(ctx));
            const azsim::StateDocument doc = azsim::SubscriptionState(cloud.dir()).load();
            EXPECT_EQ(std::make_tuple(sets, before.snapshots.size(), before.blobSnapshots.size()),
                      std::make_tuple(doc.snapshotSets.size(), doc.snapshots.size(), doc.blobSnapshots.size()));
        }
    }
}

}  // namespace
