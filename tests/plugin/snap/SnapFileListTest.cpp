// A VM found in a job's snap metadata: what a copy job and a revert take from it; resource id parts.
#include "tests/plugin/snap/SnapFixture.h"

namespace snaptest {
namespace {

TEST(SnapResourceId, PartsComeFromPiecesTwoFourSixAndTheLast) {
    struct Row { std::string id; std::vector<std::string> parts; };
    const std::vector<std::string> kept{"s0", "g0", "p0", "n0"};
    const std::vector<Row> rows{
        {"/subscriptions/S/resourceGroups/G/providers/Microsoft.Compute/disks/D", {"S", "G", "Microsoft.Compute", "D"}},
        {"/subscriptions/S/resourceGroups/G/providers/P/disks/D/x", {"S", "G", "P", "x"}},
        {"/subscriptions/S/resourceGroups/G/providers/P/disks", kept},  // eight pieces
        {"subscriptions/S/resourceGroups/G/providers/P/disks/D", kept},  // no leading "/": eight pieces
        {"", kept},
    };
    for (const Row& row : rows) {
        std::vector<std::string> parts = kept;
        EXPECT_TRUE(SnapPlugin::_ParseResourceID(row.id, parts[0], parts[1], parts[2], parts[3]));
        EXPECT_EQ(parts, row.parts) << row.id;
    }
}

TEST(SnapFileList, CopyTakesTheRecordedDisksARevertPointsItsDisksAtThem) {
    EvLogCapture log;
    SnapPlugin plugin(VSINST_AZURE_RESOURCE_MANAGER);
    SDisk os, data, filtered;
    os.uri = "/subscriptions/S/resourceGroups/G/providers/P/disks/vm-os";
    os.indexName = "OsDisk-0-vm-os";
    os.backupStorageAccount = "backupacct";
    data.uri = "vm-data";  // no "/": its name stays
    data.name = "data-name";
    data.indexName = "DataDisk-0-vm-data";
    filtered.uri = "/x/filtered";
    filtered.isFiltered = true;
    filtered.type = 0;  // a file entry of the OS disk's name: a revert takes no disk from it
    filtered.indexName = os.indexName;
    SVMInfo vm;
    vm.name = "vm";
    vm.guid = "G-1";
    vm.disks = {os, data, filtered};
    SVMInfo other = vm;
    other.guid = "g-1";  // GUIDs match exactly
    other.disks.clear();
    const std::vector<SDatastoreInfo> datastores{{"a", "", "a", "", 0, {vm}}, {"b", "", "b", "", 0, {other}}};

    MountCtx copy;
    copy.vmName = "vm";
    copy.vmGuid = "G-1";
    copy.isBackupCopy = true;
    RestoreCtx unused;
    ASSERT_TRUE(plugin._GetFileListForRevertFromSnapXML(copy, datastores, unused));
    std::vector<std::string> copied;
    for (const SDisk& disk : copy.vmInfo.disks)
        copied.push_back(disk.name + "|" + disk.attachedPath + "|" + disk.storageAccount);
    EXPECT_EQ(copied, (std::vector<std::string>{"vm-os|vm-os|backupacct", "data-name||"}));
    EXPECT_TRUE(unused.disks.empty());

    MountCtx revert = copy;
    revert.isBackupCopy = false;
    revert.vmInfo = SVMInfo();
    RestoreCtx restore;
    restore.disks.resize(4);
    restore.disks[0].indexName = "datadisk-0-VM-DATA";  // a file entry of the same name is not a disk
    restore.disks[0].type = 0;
    restore.disks[1].indexName = "datadisk-0-VM-DATA";
    restore.disks[2].indexName = "datadisk-0-vm-data";  // only the first match takes the disk
    restore.disks[3].indexName = "OsDisk-0-vm-os";
    ASSERT_TRUE(plugin._GetFileListForRevertFromSnapXML(revert, datastores, restore));
    std::vector<std::string> uris;
    for (const SDisk& disk : restore.vmInfo.disks) uris.push_back(disk.uri + "|" + disk.managedDiskId);
    EXPECT_EQ(uris, (std::vector<std::string>{"|", "vm-data|vm-data", "|", os.uri + "|" + os.uri}));
    EXPECT_TRUE(revert.vmInfo.disks.empty());

    const char* tag = "bool CAzureInfo::_GetFileListForRevertFromSnapXML(const MountCtx&, "
                      "const std::vector<VMInfoStructs::SDatastoreInfo>&, const RestoreCtx&)";
    revert.vmGuid = "g-2";
    EXPECT_FALSE(plugin._GetFileListForRevertFromSnapXML(revert, datastores, restore));
    EXPECT_TRUE(log.containsError(tag, "VM [vm][g-2] not found in backup*.xml - check snap job XML"));
    EXPECT_FALSE(plugin._GetFileListForRevertFromSnapXML(copy, {}, restore));
    EXPECT_TRUE(log.containsError(tag, "Empty datastore list passed"));
}

}  // namespace
}  // namespace snaptest
