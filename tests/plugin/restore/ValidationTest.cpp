// Checks before a restored VM is deployed and of the staging folder, against the demo subscription.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "host/util/FXFile.h"
#include "tests/plugin/restore/RestoreFixture.h"

namespace restoretest {
namespace {

class Validation : public RestoreTest {};

const char* const kConfigTag = "bool CAzureInfo::LoadVMConfigFile(const RestoreCtx&, string&)";
const char* const kUploadTag = "int CAzureInfo::UploadDisksToAzure(std::vector<SDisk>&)";

// A region with VM sizes but neither virtual networks nor storage accounts.
void AddBareRegion(azsim::StateDocument& doc) {
    doc.regions.push_back({"swedencentral", "", true, doc.findRegion("westeurope")->vmSizes});
}

// A destination is refused without an OS disk, with page blobs in a zone-redundant account (except for a managed
// snapshot restore, which looks no account up), or without a virtual network in the region (or the group's region)
// under Resource Manager and Stack; Classic needs none.
TEST_F(Validation, DeploymentRefusesWhatTheDestinationCannotTake) {
    Mutate(AddBareRegion);
    const VirtualServerInstanceType arm = VSINST_AZURE_RESOURCE_MANAGER;
    const EVMInfoError deploy = VMINFO_ERR_RESTORE_DEPLOY, none = VMINFO_ERR_NONE;
    const std::string zrs = "Page blobs are not supported on ZRS storage account [testzrs01]";
    const std::string bare = "No Virtual networks found in selected location [swedencentral]";
    struct Row { VirtualServerInstanceType type; const char *region, *group, *account; bool snap, managed, os;
                 EVMInfoError code; std::string text; };
    for (const Row& row :
         {Row{arm, "westeurope", "rg-prod", "prodstaging01", false, false, true, none, ""},
          Row{arm, "westeurope", "rg-prod", "prodpremium01\\vhds", false, false, true, none, ""},
          Row{arm, "westeurope", "rg-prod", "testzrs01\\vhds", false, false, true, VMINFO_ERR_VM_SIZE, zrs},
          Row{arm, "westeurope", "rg-prod", "testzrs01", true, false, true, VMINFO_ERR_VM_SIZE, zrs},
          Row{arm, "westeurope", "rg-prod", "testzrs01", false, true, true, VMINFO_ERR_VM_SIZE, zrs},
          Row{arm, "westeurope", "rg-prod", "testzrs01", true, true, true, none, ""},
          Row{arm, "westeurope", "rg-prod", "prodstaging01", false, false, false, deploy,
              "No OS disk found. Please check if OS disk was filtered as part of backup."},
          Row{arm, "", "rg-prod", "testzrs01", true, true, true, none, ""},
          Row{arm, "swedencentral", "rg-prod", "testzrs01", true, true, true, deploy, bare},
          Row{VSINST_AZURE_STACK_HUB, "swedencentral", "rg-prod", "testzrs01", true, true, true, deploy, bare},
          Row{arm, "", "rg-test", "testzrs01", true, true, true, deploy,
              "No Virtual networks found in selected resource group's location [westeurope]"},
          Row{VSINST_AZURE_CLASSIC, "swedencentral", "rg-prod", "testzrs01", true, true, true, none, ""}}) {
        SCOPED_TRACE(std::to_string(row.type) + " " + row.region + " " + row.group + " " + row.account +
                     (row.snap ? " snap" : "") + (row.managed ? " managed" : "") + (row.os ? "" : " no OS disk"));
        // Classic cannot connect here; it needs no cloud call for these rows.
        auto plugin = row.type == VSINST_AZURE_CLASSIC ? std::make_unique<TestPlugin>(row.type, 0) : Connected(row.type);
        RestoreCtx ctx = Ctx();
        ctx.region = row.region;
        ctx.resourceGroup = row.group;
        ctx.disks[0].isOsDisk = row.os;
        ctx.disks[1].storageAccount = row.account;
        ctx.disks.push_back(File("restored01.json"));  // files are not looked up
        ctx.snapRestore = row.snap;
        ctx.restoreAsManagedVM = row.managed;
        EXPECT_EQ(row.code == none, plugin->_ValidateVMForAzureDeployment(ctx, false));
        EXPECT_EQ(Error(row.code, row.text), LastError(*plugin));
    }
    auto plugin = Connected();
    EXPECT_FALSE(plugin->_ValidateOSDisk(std::vector<SDisk>{Disk("data0.vhd", "prodstaging01")}));
    EXPECT_EQ(Error(VMINFO_ERR_RESTORE_DEPLOY, "No OS disk found."), LastError(*plugin));
}

// Account texts that cannot name an account are never looked up. An account is looked up once; a failed lookup
// names the account. The staging account is the region's first named one (Stack: the subscription's), listed once
// per region.
TEST_F(Validation, AccountLookupsAreCachedAndFailuresSayWhy) {
    Mutate(AddBareRegion);
    auto plugin = Connected();
    for (const char* text : {"", "md-abc", "MD-abc", "/subscriptions/x/disks/d", "/Subscriptions/x/y"})
        EXPECT_FALSE(plugin->_IsValidStorageAccount(text)) << text;
    for (const char* text : {"mystorage", "amd-store", "subscriptions"})
        EXPECT_TRUE(plugin->_IsValidStorageAccount(text)) << text;

    SDatastoreInfo first, second;
    ASSERT_TRUE(plugin->_GetStorageAccountInfoFromCache("prodpremium01", first) &&
                plugin->_GetStorageAccountInfoFromCache("prodpremium01", second));
    EXPECT_EQ(std::make_tuple(std::string("Premium_LRS"), 1u),
              std::make_tuple(second.skuName, Calls("GetStorageAccountInfo")));
    EXPECT_FALSE(plugin->_GetStorageAccountInfoFromCache("nosuch01", first));
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_STORAGE_ACCOUNT_INFO);
    EXPECT_TRUE(log.containsError(
        "bool CAzureInfo::_GetStorageAccountInfoFromCache(const string&, SDatastoreInfo&)",
        "Failed to get information for Storage Account [nosuch01] - " + plugin->GetLastVMErrorDetails()));

    ASSERT_TRUE(plugin->_GetStagingStorageAccountInfo("westeurope", first) &&
                plugin->_GetStagingStorageAccountInfo("westeurope", second));
    EXPECT_EQ(std::make_tuple(std::string("prodpremium01"), 1u),
              std::make_tuple(second.name, Calls("GetStorageAccountInfoListForRegion")));
    EXPECT_FALSE(plugin->_GetStagingStorageAccountInfo("swedencentral", first));
    EXPECT_EQ(Error(VMINFO_ERR_STORAGE_ACCOUNT_INFO,
                    "No Storage Account is available in Region [swedencentral] to stage the disks in"),
              LastError(*plugin));
    auto stack = Connected(VSINST_AZURE_STACK_HUB);
    ASSERT_TRUE(stack->_GetStagingStorageAccountInfo("swedencentral", first));
    EXPECT_EQ(first.name, "prodpremium01");
    ASSERT_EQ(Calls("GetStorageAccountInfoList"), 1u);
    EXPECT_EQ(cloud.journal("GetStorageAccountInfoList")[0]["args"]["hostName"], "");
}

// Zones of a managed full-VM restore: none when disabled, else the user's, or the source's when in place or Auto.
TEST_F(Validation, ZonesOfTheRestoredVm) {
    const int full = RESTORE_TYPE_FULL_VM;
    struct Case { bool enabled, managed; int kind; bool inPlace; const char *user, *original, *expected; } cases[] = {
        {true, false, full, false, "2", "1", "keep"}, {true, true, RESTORE_TYPE_DISK_ATTACH, false, "2", "1", "keep"},
        {false, true, full, true, "", "1", "None"},   {false, true, full, false, "2", "1", "None"},
        {true, true, full, false, "", "1", "1"},      {true, true, full, false, "2", "1", "2"},
        {true, true, full, true, "2", "3", "3"},      {true, true, full, true, "2", "", "keep"},
    };
    auto plugin = Connected();
    for (const Case& c : cases) {
        NXPlatformInfo::setValue("VirtualServer", "bRestoreAzureAvailabilityZone", c.enabled ? "true" : "false");
        RestoreCtx ctx = Ctx();
        ctx.restoreAsManagedVM = c.managed;
        ctx.restoreType = c.kind;
        ctx.inPlaceRestore = c.inPlace;
        ctx.availabilityZones = c.user;
        ctx.originalInfo.availabilityZones = c.original;
        ctx.vmInfo.availabilityZones = "keep";
        plugin->UpdateAvailabilityZoneForRestoreVM(ctx);
        EXPECT_EQ(ctx.vmInfo.availabilityZones, c.expected) << &c - cases;
    }
}

// The configuration file is the first .json file entry (never a virtual disk), a regular file of at most 16 MiB.
TEST_F(Validation, ConfigurationFileIsTheFirstJsonFileEntryAndASmallRegularFile) {
    const std::string dir = staging.path();
    std::ofstream(dir + "/a.json") << "A";
    std::ofstream(dir + "/b.json") << "B";
    for (const std::string name : {"full.json", "over.json"}) {  // the limit, and one byte more
        std::ofstream(dir + "/" + name).close();
        ASSERT_EQ(truncate((dir + "/" + name).c_str(), (16 << 20) + (name[0] == 'o')), 0);
    }
    std::filesystem::create_directory(dir + "/dir.json");
    ASSERT_EQ(mkfifo((dir + "/pipe.json").c_str(), 0600), 0);
    SDisk virtualDisk = Disk("a.json", "prodstaging01");
    virtualDisk.indexName = "a.json";
    struct Case { std::vector<SDisk> disks; std::string file, text, refusal; } cases[] = {
        {{File("notes.txt"), File("a.json"), File("b.json")}, "a.json", "A", ""},
        {{virtualDisk, File("b.json")}, "b.json", "B", ""},
        {{File("notes.txt")}, "", "before", ""},
        {{File("full.json")}, "full.json", std::string(16 << 20, '\0'), ""},
        {{File("over.json")}, "over.json", "before", "larger than the limit of 16 MiB"},
        {{File("dir.json")}, "dir.json", "before", "not a regular file"},
        {{File("pipe.json")}, "pipe.json", "before", "not a regular file"},
        {{File("gone.json")}, "gone.json", "before", "No such file or directory"},
    };
    auto plugin = Connected();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        RestoreCtx ctx = Ctx();
        ctx.disks = c.disks;
        std::string text = "before";
        const std::string path = dir + "/" + c.file;
        EXPECT_EQ(plugin->LoadVMConfigFile(ctx, text), !c.file.empty() && c.refusal.empty());
        EXPECT_TRUE(text == c.text);
        EXPECT_EQ(ctx.configFilePath, c.file.empty() ? "" : c.refusal.empty() ? path : ctx.configFilePath);
        EXPECT_EQ(!c.refusal.empty(), log.containsError(kConfigTag, "Failed to read vm config [" + path + "]"));
        EXPECT_EQ(!c.refusal.empty(), log.containsError(kConfigTag, "VM config [" + path + "] refused: " + c.refusal));
    }
}

// The cloud file system is needed unless disks go straight to the cloud; without it the naming step fails with 186,
// and an earlier error never survives the step. Disks written straight to managed disks are created for the
// requested size, else a full VM's source size. Looking up an unknown staging key adds no record.
TEST_F(Validation, NamingStepNeedsTheCloudFileSystemAndGivesDirectUploadsTheirSize) {
    const int full = RESTORE_TYPE_FULL_VM, attach = RESTORE_TYPE_DISK_ATTACH;
    // given: the size recorded for the disk; nullptr: the cloud file system is needed.
    struct Row { bool cloudFs, ignoreBootFailures, snap, directUpload, managedTarget; int kind;
                 const char *requested, *given; };
    auto plugin = Connected();
    plugin->directUploadToManagedDisk = 1;
    const std::initializer_list<Row> rows = {Row{false, false, false, true, false, full, "", ""},
                           Row{true, false, false, true, false, full, "", nullptr},
                           Row{false, true, true, true, false, full, "", nullptr},
                           Row{false, true, true, true, false, attach, "", nullptr},
                           Row{false, false, true, false, false, full, "", ""},
                           Row{false, false, false, false, false, full, "", nullptr},
                           Row{false, false, false, false, true, full, "", "Standard_D2s_v3"},
                           Row{false, false, false, false, true, full, "Standard_B2s", "Standard_B2s"},
                           Row{false, false, false, false, true, attach, "", ""}};
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - &*rows.begin());
        NXPlatformInfo::setValue("VirtualServer", "bIgnoreBootFailuresOnRestoredVM", row.ignoreBootFailures ? "1" : "0");
        RestoreCtx ctx = Ctx();
        ctx.cloudFSRestore = row.cloudFs;
        ctx.snapRestore = row.snap;
        ctx.restoreType = row.kind;
        ctx.restoreAsManagedVM = true;
        ctx.m_vmSize = row.requested;
        ctx.originalInfo.m_InstanceSize = "Standard_D2s_v3";
        ctx.disks.resize(1);
        plugin->directUpload = row.directUpload;
        plugin->directUploadRestore = row.managedTarget;
        plugin->diskMap.clear();
        plugin->SetLastVMError(VMINFO_ERR_DISK_CREATE, "earlier");
        EXPECT_EQ(row.given != nullptr, plugin->InitCloudFSAndDiskNames(ctx));
        EXPECT_EQ(row.given ? VMINFO_ERR_NONE : VMINFO_ERR_CLOUDFS_UNAVAILABLE, plugin->GetLastVMError());
        SAzureDiskInfo record;
        EXPECT_EQ(row.given && !row.snap ? 1u : 0u, plugin->diskMap.size());  // a snapshot restore stages nothing
        plugin->GetDiskInfoByStagingFile("os.vhd", record);
        EXPECT_EQ(row.given ? row.given : "", record.vmSize);
    }
    SAzureDiskInfo record;
    EXPECT_FALSE(plugin->GetDiskInfoByStagingFile("other.vhd", record));
    EXPECT_EQ(plugin->diskMap.size(), 1u);
}

// Each problem of a staged disk file fails the upload with 24 and its text; a cancel ends it with its own code.
TEST_F(Validation, UploadOfStagedDiskFilesFailsWith24AtTheFirstProblem) {
    const std::string staged = staging.path() + "/d1.vhd", unknown = staging.path() + "/d2.vhd";
    const std::string gone = staging.path() + "/gone.vhd";
    std::ofstream(staged) << "disk";
    std::ofstream(unknown) << "disk";
    struct Case { std::string uri, error; } cases[] = {
        {gone, "Disk file [" + gone + "] is missing in staging folder [prodstaging01]"},
        {unknown, "Failed to get storage account for disk file [" + unknown + "] from cached storage account details"},
        {staged, "Failed to upload blob [" + staged + "] to Azure"},
    };
    auto plugin = Connected();
    SAzureDiskInfo& record = plugin->diskMap[staged];
    record.dataUrl = staged;
    record.storageAccount = "prodstaging01";
    record.resourceGroup = "rg-prod";
    record.originalDiskName = record.sourceUri = "d1.vhd";
    for (const Case& c : cases) {
        std::vector<SDisk> disks = {Disk(c.uri, "prodstaging01")};
        EXPECT_EQ(plugin->UploadDisksToAzure(disks), 0);
        EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_DISK_CREATE);
        EXPECT_EQ(0u, plugin->GetLastVMErrorDetails().find(c.error)) << plugin->GetLastVMErrorDetails();
        EXPECT_EQ(disks[0].uri, c.uri);
    }
    EXPECT_TRUE(plugin->uploadDiskList.empty());
    EXPECT_TRUE(FXFile::DoesFileExist(staged));
    plugin->CancelJob();
    std::vector<SDisk> disks = {Disk(gone, "prodstaging01")};
    EXPECT_EQ(plugin->UploadDisksToAzure(disks), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_JOB_CANCELLED);
    EXPECT_TRUE(log.contains(kUploadTag, "Quit flag set, terminating JobWait"));
}

}  // namespace
}  // namespace restoretest
