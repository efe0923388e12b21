// What a restore reads from outside the agent: the names a user gives, the VM
// description kept with a backup, and the record a killed restore left. Each is
// checked before use.
#include <filesystem>
#include <fstream>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "agent/restore/CloudNames.h"
#include "agent/restore/RestoreRecord.h"
#include "agent/restore/SourceVm.h"
#include "agent/store/StoreError.h"
#include "tests/support/SimulatedCloud.h"

namespace fs = std::filesystem;
using nlohmann::json;
using vsagent::CloudName;
using vsagent::RestoreRecord;
using vsagent::SourceVm;

namespace {

json Description() {
    return json::parse(R"({
      "name": "web01", "id": "/subscriptions/sub-1/resourceGroups/rg/providers/Microsoft.Compute/virtualMachines/web01",
      "location": "westeurope", "zones": "1,2",
      "properties": {"hardwareProfile": {"vmSize": "Standard_D2s_v3"},
                     "securityProfile": {"uefiSettings": {"secureBootEnabled": true}},
                     "storageProfile": {"osDisk": {"vhd": {"uri": "https://acct1.blob.core.windows.net/vhds/web01.vhd"},
                                                   "encryptionSettings": {"enabled": true}},
                                        "dataDisks": [{"lun": 0}, {"lun": 3, "encryptionSettings": {"enabled": true}}]}}})");
}

TEST(SourceVm, ReadsWhatARestoreNeeds) {
    SourceVm vm = SourceVm::Parse(Description().dump());
    EXPECT_EQ(std::tie(vm.name, vm.subscriptionId, vm.size, vm.zones, vm.generation2, vm.managed, vm.storageAccount),
              std::make_tuple("web01", "sub-1", "Standard_D2s_v3", "1,2", true, false, "acct1"));
    // The OS disk (whatever its number), data disks 0 and 3, and 5, a disk the description does not list.
    EXPECT_EQ((std::vector<bool>{vm.diskEncrypted(-7, true), vm.diskEncrypted(0, false), vm.diskEncrypted(3, false),
                                 vm.diskEncrypted(5, false)}),
              (std::vector<bool>{true, false, true, false}));

    json managed = Description();
    managed["properties"]["storageProfile"]["osDisk"] = {{"managedDisk", {{"id", "x"}}}};
    managed["properties"].erase("securityProfile");
    managed["zones"] = json::array({"2", "3"});
    SourceVm m = SourceVm::Parse(managed.dump());
    EXPECT_EQ(std::tie(m.managed, m.storageAccount, m.generation2, m.zones), std::make_tuple(true, "", false, "2,3"));
}

TEST(SourceVm, RefusesADescriptionItCannotUseNamingTheField) {
    const json erase(json::value_t::discarded);  // set at a pointer, removes the field there
    const std::string disks = "/properties/storageProfile/dataDisks/", os = "/properties/storageProfile/osDisk";
    const std::vector<std::tuple<std::string, json, std::string>> cases = {
        {"", json::array(), "the document"},
        {"/name", erase, ".name"},
        {"/properties/hardwareProfile/vmSize", 4, ".properties.hardwareProfile.vmSize"},
        {"/zones", 1, ".zones"},
        {os, erase, ".properties.storageProfile.osDisk"},
        {os + "/vhd/uri", "file:///etc/passwd", ".properties.storageProfile.osDisk.vhd.uri"},
        {disks + "1/lun", "3", "dataDisks[]"},
        {disks + "1/lun", 64, "dataDisks[].lun"},
        {os + "/encryptionSettings/enabled", "yes", "osDisk.encryptionSettings.enabled"},
        {disks + "0/encryptionSettings", 1, "dataDisks[].encryptionSettings"},
    };
    for (const auto& [at, value, field] : cases) {
        json damaged = Description();
        const json::json_pointer pointer(at);
        if (value.is_discarded())
            damaged[pointer.parent_pointer()].erase(pointer.back());
        else
            damaged[pointer] = value;
        try {
            SourceVm::Parse(damaged.dump());
            ADD_FAILURE() << "accepted a description damaged at " << field;
        } catch (const vsagent::StoreError& e) {
            EXPECT_NE(std::string(e.what()).find(field), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(SourceVm::Parse("{not json"), vsagent::StoreError);
}

TEST(CloudNames, RefusesWhatTheCloudRefusesWithTheRule) {
    struct Row {
        CloudName kind;
        std::string name;
        const char* rule;  // null: accepted
    };
    const std::string vm64(64, 'v');
    const std::vector<Row> rows = {
        {CloudName::Vm, "web-r1", nullptr},          {CloudName::Vm, vm64, nullptr},
        {CloudName::Vm, vm64 + "v", "1 to 64"},      {CloudName::Vm, std::string(300, 'a'), "1 to 64"},
        {CloudName::Vm, "../../etc", "starting with a letter or digit"},
        {CloudName::Vm, "a/b", "letters, digits"},   {CloudName::Vm, "web\nr1", "letters, digits"},
        {CloudName::Vm, "web\"r1", "letters"},       {CloudName::Vm, "web'", "ending with"},
        {CloudName::Vm, "web-", "ending with"},      {CloudName::Vm, "", "1 to 64"},
        {CloudName::ManagedDisk, std::string(80, 'd'), nullptr},
        {CloudName::ManagedDisk, std::string(81, 'd'), "1 to 80"},
        {CloudName::PageBlob, "web-r1-osdisk.vhd", nullptr}, {CloudName::PageBlob, "a/b.vhd", "letters"},
        {CloudName::ResourceGroup, "rg-prod_(2)", nullptr}, {CloudName::ResourceGroup, "rg.", "not ending with '.'"},
        {CloudName::ResourceGroup, std::string(91, 'g'), "1 to 90"},
        {CloudName::StorageAccount, "prodstaging01", nullptr}, {CloudName::StorageAccount, "Prod", "lower-case"},
        {CloudName::StorageAccount, "ab", "3 to 24"},
        {CloudName::Container, "vhds-2", nullptr},   {CloudName::Container, "a--b", "without '--'"},
        {CloudName::Container, "-ab", "starting and ending"},
    };
    for (const Row& row : rows) {
        const std::string problem = vsagent::CloudNameProblem(row.kind, row.name);
        if (!row.rule)
            EXPECT_EQ(problem, "") << row.name;
        else
            EXPECT_NE(problem.find(row.rule), std::string::npos) << row.name << ": " << problem;
    }
    // A name that is refused is shown on one line.
    EXPECT_EQ(vsagent::CloudNameProblem(CloudName::Vm, "a\nb").find('\n'), std::string::npos);
    EXPECT_EQ(vsagent::PlacementProblem("prodstaging01\\vhds"), "");
    EXPECT_NE(vsagent::PlacementProblem("prodstaging01\\a--b").find("container name"), std::string::npos);
    EXPECT_NE(vsagent::PlacementProblem("Prod\\vhds").find("storage account name"), std::string::npos);
}

TEST(RestoreRecord, RoundTripsAndRefusesARecordThatIsNotItsFolders) {
    testsupport::TempDir dir;
    const std::string folder = vsagent::RestoreJobFolder(dir.path(), 12), other = vsagent::RestoreJobFolder(dir.path(), 13);
    const std::string file = folder + "/restore-record.json";
    fs::create_directories(folder);
    fs::create_directories(other);
    RestoreRecord record{12, "5b0e8d3c-2f4a-4e61-9c1d-7a3e2b1f0c99", "web-r1", "rg-prod", false, false, true, "0a1b",
                         {{"web-r1.vhd", "acct\\backups", false}, {"web-r1-data", "", true}}};
    record.write(folder);
    std::optional<RestoreRecord> read = RestoreRecord::Read(folder);
    ASSERT_TRUE(read);
    const json written = json::parse(std::ifstream(file));
    read->write(folder);  // every field read back as it was written
    EXPECT_EQ(json::parse(std::ifstream(file)), written);

    // The same record in another job's folder, or with a damaged entry, is not trusted.
    fs::copy_file(file, other + "/restore-record.json", fs::copy_options::overwrite_existing);
    EXPECT_FALSE(RestoreRecord::Read(other));
    // That a record of an older release, without the job's GUID, is not trusted, the end-to-end restore tests show;
    // that a record must be an object, the tests of the backup job's record.
    record.disks[0].name = "bad name";
    record.write(folder);
    EXPECT_FALSE(RestoreRecord::Read(folder));
}

}  // namespace
