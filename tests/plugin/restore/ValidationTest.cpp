// Checks before a restored VM is deployed (OS disk, zone-redundant accounts, virtual networks,
// staging account, zones) and the staging folder (configuration file, cloud-file-system
// requirement, disk records, upload of staged disk files), against the demo subscription.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "host/util/FXFile.h"
#include "tests/plugin/restore/RestoreFixture.h"

namespace restoretest {
namespace {

class Validation : public RestoreTest {};

const char* const kConfigTag = "bool CAzureInfo::LoadVMConfigFile(const RestoreCtx&, string&)";
const char* const kUploadTag = "int CAzureInfo::UploadDisksToAzure(std::vector<SDisk>&)";

void WriteFile(const std::string& path, const std::string& content) { std::ofstream(path) << content; }

// A sparse file of `bytes` bytes.
void SizedFile(const std::string& path, off_t bytes) {
    WriteFile(path, "");
    ASSERT_EQ(truncate(path.c_str(), bytes), 0);
}

// A region with VM sizes but neither virtual networks nor storage accounts.
void AddBareRegion(azsim::StateDocument& doc) {
    azsim::Region region;
    region.name = "swedencentral";
    region.displayName = "Sweden Central";
    region.vmSizes = doc.findRegion("westeurope")->vmSizes;
    doc.regions.push_back(region);
}

TEST_F(Validation, OsDiskMustBeAmongTheDisks) {
    auto plugin = Connected();
    RestoreCtx ctx = Ctx();
    EXPECT_TRUE(plugin->_ValidateOSDisk(ctx));
    EXPECT_TRUE(plugin->_ValidateOSDisk(ctx.disks));
    ctx.disks[0].isOsDisk = false;
    EXPECT_FALSE(plugin->_ValidateOSDisk(ctx));
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_RESTORE_DEPLOY);
    EXPECT_EQ(plugin->GetLastVMErrorDetails(),
              "No OS disk found. Please check if OS disk was filtered as part of backup.");
    EXPECT_FALSE(plugin->_ValidateOSDisk(ctx.disks));
    EXPECT_EQ(plugin->GetLastVMErrorMessage(), "No OS disk found.");
}

TEST_F(Validation, ZoneRedundantAccountsCannotHoldPageBlobs) {
    struct Case {
        const char* account;
        bool snapRestore, managed, ok;
    } cases[] = {
        {"prodstaging01", false, false, true},    {"prodpremium01\\vhds", false, false, true},
        {"testzrs01\\vhds", false, false, false}, {"testzrs01", true, false, false},
        {"testzrs01", false, true, false},        {"testzrs01", true, true, true},  // managed snap restore: not checked
    };
    auto plugin = Connected();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.account + std::string(c.snapRestore ? " snap" : "") + (c.managed ? " managed" : ""));
        RestoreCtx ctx = Ctx();
        ctx.disks[1].storageAccount = c.account;
        ctx.disks.push_back(File("restored01.json"));  // files are not looked up
        ctx.snapRestore = c.snapRestore;
        ctx.restoreAsManagedVM = c.managed;
        plugin->SetLastVMError(VMINFO_ERR_NONE, "");
        EXPECT_EQ(plugin->_ValidateStorageAccount(ctx), c.ok);
        if (c.ok) continue;
        EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_VM_SIZE);
        EXPECT_EQ(plugin->GetLastVMErrorDetails(), "Page blobs are not supported on ZRS storage account [testzrs01]");
    }
}

TEST_F(Validation, AccountLookupsAreCachedAndFailuresNameTheAccount) {
    auto plugin = Connected();
    SDatastoreInfo first, second;
    ASSERT_TRUE(plugin->_GetStorageAccountInfoFromCache("prodpremium01", first));
    ASSERT_TRUE(plugin->_GetStorageAccountInfoFromCache("prodpremium01", second));
    EXPECT_EQ(second.skuName, "Premium_LRS");
    EXPECT_EQ(Calls("GetStorageAccountInfo"), 1u);

    EXPECT_FALSE(plugin->_GetStorageAccountInfoFromCache("nosuch01", first));
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_STORAGE_ACCOUNT_INFO);
    EXPECT_FALSE(plugin->GetLastVMErrorDetails().empty());
    EXPECT_TRUE(log.containsError(
        "bool CAzureInfo::_GetStorageAccountInfoFromCache(const string&, SDatastoreInfo&)",
        "Failed to get information for Storage Account [nosuch01] - " + plugin->GetLastVMErrorDetails()));
}

TEST_F(Validation, DestinationNeedsAVirtualNetworkUnderResourceManagerAndStack) {
    Mutate(AddBareRegion);
    struct Case {
        VirtualServerInstanceType type;
        const char* region;
        const char* group;
        const char* refusal;  // null: accepted
    } cases[] = {
        {VSINST_AZURE_RESOURCE_MANAGER, "westeurope", "rg-prod", nullptr},
        {VSINST_AZURE_RESOURCE_MANAGER, "", "rg-prod", nullptr},
        {VSINST_AZURE_RESOURCE_MANAGER, "swedencentral", "rg-prod",
         "No Virtual networks found in selected location [swedencentral]"},
        {VSINST_AZURE_STACK_HUB, "swedencentral", "rg-prod",
         "No Virtual networks found in selected location [swedencentral]"},
        {VSINST_AZURE_RESOURCE_MANAGER, "", "rg-test",
         "No Virtual networks found in selected resource group's location [westeurope]"},
        {VSINST_AZURE_CLASSIC, "swedencentral", "rg-prod", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + c.region + " " + c.group);
        // A classic connection cannot be made here; the checks before the network one need no cloud
        // call for a managed snapshot restore without a requested size.
        auto plugin = c.type == VSINST_AZURE_CLASSIC ? std::make_unique<TestPlugin>(c.type, 0) : Connected(c.type);
        RestoreCtx ctx = Ctx();
        ctx.region = c.region;
        ctx.resourceGroup = c.group;
        ctx.snapRestore = ctx.restoreAsManagedVM = true;
        EXPECT_EQ(plugin->_ValidateVMForAzureDeployment(ctx, false), c.refusal == nullptr);
        if (!c.refusal) continue;
        EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_RESTORE_DEPLOY);
        EXPECT_EQ(plugin->GetLastVMErrorDetails(), c.refusal);
    }
}

TEST_F(Validation, StorageAccountTextsThatCannotNameAnAccount) {
    auto plugin = Connected();
    for (const char* text : {"", "md-abc", "MD-abc", "/subscriptions/x/disks/d", "/Subscriptions/x/y"})
        EXPECT_FALSE(plugin->_IsValidStorageAccount(text)) << text;
    for (const char* text : {"mystorage", "amd-store", "subscriptions"})
        EXPECT_TRUE(plugin->_IsValidStorageAccount(text)) << text;
}

TEST_F(Validation, StagingAccountIsTheFirstNamedAccountOfTheRegionLookedUpOnce) {
    Mutate(AddBareRegion);
    auto plugin = Connected();
    SDatastoreInfo first, second;
    ASSERT_TRUE(plugin->_GetStagingStorageAccountInfo("westeurope", first));
    ASSERT_TRUE(plugin->_GetStagingStorageAccountInfo("westeurope", second));
    EXPECT_EQ(first.name, "prodpremium01");
    EXPECT_EQ(second.name, "prodpremium01");
    EXPECT_EQ(Calls("GetStorageAccountInfoListForRegion"), 1u);

    EXPECT_FALSE(plugin->_GetStagingStorageAccountInfo("swedencentral", first));
    EXPECT_TRUE(log.containsError("bool CAzureInfo::_GetStagingStorageAccountInfo(const string&, SDatastoreInfo&)",
                                  "No Storage Account is available in Region [swedencentral]"));

    auto stack = Connected(VSINST_AZURE_STACK_HUB);  // lists every account of the subscription
    ASSERT_TRUE(stack->_GetStagingStorageAccountInfo("swedencentral", first));
    EXPECT_EQ(first.name, "prodpremium01");
    ASSERT_EQ(Calls("GetStorageAccountInfoList"), 1u);
    EXPECT_EQ(cloud.journal("GetStorageAccountInfoList")[0]["args"]["hostName"], "");
}

TEST_F(Validation, ZonesOfTheRestoredVm) {
    struct Case {
        bool enabled, managed;
        int kind;
        bool inPlace;
        const char *user, *original, *expected;
    } cases[] = {
        {true, false, RESTORE_TYPE_FULL_VM, false, "2", "1", "keep"},     // unmanaged: untouched
        {true, true, RESTORE_TYPE_DISK_ATTACH, false, "2", "1", "keep"},  // disk attach: untouched
        {false, true, RESTORE_TYPE_FULL_VM, true, "", "1", "None"},       // disabled, even in place
        {false, true, RESTORE_TYPE_FULL_VM, false, "2", "1", "None"},
        {true, true, RESTORE_TYPE_FULL_VM, false, "", "1", "1"},  // Auto: the source's zones
        {true, true, RESTORE_TYPE_FULL_VM, false, "2", "1", "2"},
        {true, true, RESTORE_TYPE_FULL_VM, true, "2", "3", "3"},  // in place: the source's zones
        {true, true, RESTORE_TYPE_FULL_VM, true, "2", "", "keep"},
    };
    auto plugin = Connected();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.user) + "/" + c.original + " -> " + c.expected);
        NXPlatformInfo::setValue("VirtualServer", "bRestoreAzureAvailabilityZone", c.enabled ? "true" : "false");
        RestoreCtx ctx = Ctx();
        ctx.restoreAsManagedVM = c.managed;
        ctx.restoreType = c.kind;
        ctx.inPlaceRestore = c.inPlace;
        ctx.availabilityZones = c.user;
        ctx.originalInfo.availabilityZones = c.original;
        ctx.vmInfo.availabilityZones = "keep";
        plugin->UpdateAvailabilityZoneForRestoreVM(ctx);
        EXPECT_EQ(ctx.vmInfo.availabilityZones, c.expected);
    }
}

TEST_F(Validation, ConfigurationFileIsTheFirstJsonFileEntry) {
    WriteFile(staging.path() + "/a.json", "A");
    WriteFile(staging.path() + "/b.json", "B");
    SDisk virtualDisk = Disk("a.json", "prodstaging01");  // a virtual disk is never the file
    virtualDisk.indexName = "a.json";
    struct Case {
        std::vector<SDisk> disks;
        std::string file, text;  // empty file: none found
    } cases[] = {
        {{File("notes.txt"), File("a.json"), File("b.json")}, "a.json", "A"},
        {{virtualDisk, File("b.json")}, "b.json", "B"},
        {{File("notes.txt")}, "", "before"},
    };
    auto plugin = Connected();
    for (const Case& c : cases) {
        RestoreCtx ctx = Ctx();
        ctx.disks = c.disks;
        std::string text = "before";
        ASSERT_EQ(plugin->LoadVMConfigFile(ctx, text), !c.file.empty());
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(ctx.configFilePath, c.file.empty() ? "" : staging.path() + "/" + c.file);
    }
    EXPECT_EQ(log.texts(kConfigTag).size(), 2u);  // nothing logged when there is no file
}

TEST_F(Validation, ConfigurationFileMustBeASmallRegularFile) {
    const std::string dir = staging.path();
    const off_t limit = 16 << 20;
    SizedFile(dir + "/full.json", limit);
    SizedFile(dir + "/over.json", limit + 1);
    std::filesystem::create_directory(dir + "/dir.json");
    ASSERT_EQ(mkfifo((dir + "/pipe.json").c_str(), 0600), 0);
    struct Case {
        const char* name;
        const char* refusal;  // null: read
    } cases[] = {
        {"full.json", nullptr},
        {"over.json", "larger than the limit of 16 MiB"},
        {"dir.json", "not a regular file"},
        {"pipe.json", "not a regular file"},
        {"gone.json", "No such file or directory"},
    };
    auto plugin = Connected();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RestoreCtx ctx = Ctx();
        ctx.disks = {File(c.name)};
        std::string text = "before";
        const std::string path = dir + "/" + c.name;
        EXPECT_EQ(plugin->LoadVMConfigFile(ctx, text), c.refusal == nullptr);
        if (!c.refusal) {
            EXPECT_EQ(text.size(), static_cast<std::size_t>(limit));
            continue;
        }
        EXPECT_EQ(text, "before");
        EXPECT_TRUE(log.containsError(kConfigTag, "Failed to read vm config [" + path + "]"));
        EXPECT_TRUE(log.containsError(kConfigTag, "VM config [" + path + "] refused: " + c.refusal));
    }
}

TEST_F(Validation, CloudFileSystemRequirementFailsTheRestoreWith186) {
    struct Case {
        bool cloudFs, ignoreBootFailures, snap, directUpload, managedTarget, required;
    } cases[] = {
        {false, false, false, true, false, false}, {true, false, false, true, false, true},
        {false, true, true, true, false, true},    {false, false, true, false, false, false},
        {false, false, false, false, false, true}, {false, false, false, false, true, false},
    };
    auto plugin = Connected();
    plugin->directUploadToManagedDisk = 1;
    for (const Case& c : cases) {
        NXPlatformInfo::setValue("VirtualServer", "bIgnoreBootFailuresOnRestoredVM", c.ignoreBootFailures ? "1" : "0");
        RestoreCtx ctx = Ctx();
        ctx.cloudFSRestore = c.cloudFs;
        ctx.snapRestore = c.snap;
        plugin->directUpload = c.directUpload;
        plugin->directUploadRestore = c.managedTarget;
        EXPECT_EQ(plugin->IsVSCloudFSRequired(ctx), c.required) << &c - cases;
    }

    plugin->directUpload = true;
    for (int kind : {RESTORE_TYPE_FULL_VM, RESTORE_TYPE_DISK_ATTACH}) {
        RestoreCtx ctx = Ctx();
        ctx.restoreType = kind;
        NXPlatformInfo::setValue("VirtualServer", "bIgnoreBootFailuresOnRestoredVM", "true");
        EXPECT_FALSE(plugin->InitCloudFSAndDiskNames(ctx));
        EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_CLOUDFS_UNAVAILABLE);
        NXPlatformInfo::setValue("VirtualServer", "bIgnoreBootFailuresOnRestoredVM", "false");
        ctx.disks.clear();  // nothing to name: an earlier error must not survive the step
        EXPECT_TRUE(plugin->InitCloudFSAndDiskNames(ctx));
        EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_NONE);
    }
}

// Disks written straight to managed disks are created for the VM size the naming step was given.
TEST_F(Validation, DiskNamingGetsTheSourceSizeOfAFullVmRestoreWithoutARequestedSize) {
    struct Case {
        int kind;
        const char *requested, *given;
    } cases[] = {
        {RESTORE_TYPE_FULL_VM, "", "Standard_D2s_v3"},
        {RESTORE_TYPE_FULL_VM, "Standard_B2s", "Standard_B2s"},
        {RESTORE_TYPE_DISK_ATTACH, "", ""},
    };
    auto plugin = Connected();
    plugin->directUploadRestore = true;
    plugin->directUploadToManagedDisk = 1;
    for (const Case& c : cases) {
        RestoreCtx ctx = Ctx();
        ctx.restoreType = c.kind;
        ctx.restoreAsManagedVM = true;
        ctx.m_vmSize = c.requested;
        ctx.originalInfo.m_InstanceSize = "Standard_D2s_v3";
        ctx.disks.resize(1);
        ASSERT_TRUE(plugin->InitCloudFSAndDiskNames(ctx));
        EXPECT_EQ(plugin->diskMap.at("os.vhd").vmSize, c.given) << c.kind << c.requested;
    }
}

TEST_F(Validation, DiskRecordByStagingKeyLeavesTheMapAsItIs) {
    auto plugin = Connected();
    plugin->diskMap["os.vhd"].blobName = "restored01.vhd";
    SAzureDiskInfo record;
    EXPECT_FALSE(plugin->GetDiskInfoByStagingFile("other.vhd", record));
    EXPECT_EQ(plugin->diskMap.size(), 1u);
    ASSERT_TRUE(plugin->GetDiskInfoByStagingFile("os.vhd", record));
    EXPECT_EQ(record.blobName, "restored01.vhd");
}

TEST_F(Validation, UploadOfStagedDiskFilesFailsWith24AtTheFirstProblem) {
    const std::string staged = staging.path() + "/d1.vhd", unknown = staging.path() + "/d2.vhd";
    WriteFile(staged, "disk");
    WriteFile(unknown, "disk");
    struct Case {
        std::string uri, error;
    } cases[] = {
        {staging.path() + "/gone.vhd",
         "Disk file [" + staging.path() + "/gone.vhd] is missing in staging folder [prodstaging01]"},
        {unknown, "Failed to get storage account for disk file [" + unknown + "] from cached storage account details"},
        {staged, "Failed to upload blob [" + staged + "] to Azure"},
    };
    auto plugin = Connected();
    SAzureDiskInfo& record = plugin->diskMap[staged];
    record.dataUrl = staged;
    record.storageAccount = "prodstaging01";
    record.resourceGroup = "rg-prod";
    record.originalDiskName = "d1.vhd";
    record.sourceUri = "d1.vhd";
    for (const Case& c : cases) {
        std::vector<SDisk> disks = {Disk(c.uri, "prodstaging01")};
        EXPECT_EQ(plugin->UploadDisksToAzure(disks), 0);
        EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_DISK_CREATE);
        EXPECT_TRUE(
            log.containsError(c.uri == staged ? "int CAzureInfo::UploadDisk(SAzureDiskInfo&)" : kUploadTag, c.error));
        EXPECT_EQ(disks[0].uri, c.uri);
    }
    EXPECT_TRUE(plugin->uploadDiskList.empty());
    EXPECT_TRUE(FXFile::DoesFileExist(staged));

    plugin->CancelJob();
    std::vector<SDisk> disks = {Disk(staging.path() + "/gone.vhd", "prodstaging01")};
    EXPECT_EQ(plugin->UploadDisksToAzure(disks), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_JOB_CANCELLED);
    EXPECT_TRUE(log.contains(kUploadTag, "Quit flag set, terminating JobWait"));
}

}  // namespace
}  // namespace restoretest
