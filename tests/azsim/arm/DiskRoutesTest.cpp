// The managed disk routes of the endpoint, as a client sees them: each request of a disk's life in
// turn, with its status and error code, and what the disks look like afterwards.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/azsim/arm/ServedArm.h"

namespace {

using nlohmann::json;
using DiskRoutesTest = azsimtest::ServedArm;

TEST_F(DiskRoutesTest, DiskLifeAnswersAzuresStatusesAndShapes) {
    serve();
    const azsim::StateDocument seeded = state_.load();
    auto send = [&](const std::string& method, const std::string& path, const std::string& version,
                    const std::string& body) {
        return client_->send({method, "https://management.azure.com" + path + "?api-version=" + version,
                              {bearer_, "Content-Type: application/json"}, &body});
    };
    const std::string sub = "/subscriptions/" + seeded.subscription().id, rg = sub + "/resourceGroups/rg-test";
    const std::string disks = "/providers/Microsoft.Compute/disks", legacy = seeded.vms[2].disks[0].id;
    const std::string account = sub + "/resourceGroups/rg-legacy/providers/Microsoft.Storage/storageAccounts/";
    auto put = [](const json& creation, const json& extra = json::object()) {
        json body = {{"location", "westeurope"}, {"properties", {{"creationData", creation}, {"diskSizeGB", 1}}}};
        body.update(extra);
        return body.dump();
    };
    const std::string write = json{{"access", "Write"}, {"durationInSeconds", 60}}.dump();
    const std::string read = json{{"access", "Read"}, {"durationInSeconds", 60}}.dump();
    const std::string prod = sub + "/resourceGroups/rg-prod", osDisk = prod + disks + "/web-linux01-osdisk";
    struct Row { std::string method, path, body; long status; std::string code; };
    const Row rows[] = {
        {"GET", sub + disks, "", 200, ""},
        {"GET", sub + "/resourceGroups/rg-none" + disks, "", 404, "ResourceGroupNotFound"},
        {"GET", osDisk, "", 200, ""},
        {"GET", rg + disks + "/none", "", 404, "ResourceNotFound"},
        {"PUT", rg + disks + "/d-empty", put({{"createOption", "Empty"}}, {{"tags", {{"a", "1"}}}}), 202, ""},
        {"PUT", rg + disks + "/d-empty", put({{"createOption", "Empty"}}, {{"tags", {{"b", "2"}}}}), 200, ""},
        {"PUT", rg + disks + "/d-nosize", json{{"location", "westeurope"},
                                               {"properties", {{"creationData", {{"createOption", "Empty"}}}}}}
                                              .dump(), 400, "InvalidParameter"},
        {"PUT", rg + disks + "/d-noloc", json{{"properties", json::object()}}.dump(), 400, "LocationRequired"},
        {"PUT", rg + disks + "/d-copy", put({{"createOption", "Copy"}, {"sourceResourceId", osDisk}}), 202, ""},
        {"PUT", rg + disks + "/d-nosnap", put({{"createOption", "Copy"}, {"sourceResourceId",
                                               rg + "/providers/Microsoft.Compute/snapshots/none"}}), 404,
         "ResourceNotFound"},
        {"PUT", rg + disks + "/d-import", put({{"createOption", "Import"}, {"sourceUri", legacy},
                                               {"storageAccountId", account + "legacystore01"}}), 202, ""},
        {"PUT", rg + disks + "/d-noaccount", put({{"createOption", "Import"}, {"sourceUri", legacy}}), 400,
         "InvalidParameter"},
        {"PUT", rg + disks + "/d-upload", put({{"createOption", "Upload"}, {"uploadSizeBytes", 20971520 + 512}}),
         202, ""},
        {"PUT", rg + disks + "/d-badupload", put({{"createOption", "Upload"}, {"uploadSizeBytes", 1000}}), 400,
         "InvalidParameter"},
        {"PUT", rg + disks + "/d-restore", put({{"createOption", "Restore"}}), 400, "InvalidParameter"},
        {"PUT", sub + "/resourceGroups/rg-none" + disks + "/d", put({{"createOption", "Empty"}}), 404,
         "ResourceGroupNotFound"},
        {"POST", rg + disks + "/d-copy/beginGetAccess", write, 409, "OperationNotAllowed"},  // no upload disk
        {"POST", osDisk + "/beginGetAccess", read, 409, "OperationNotAllowed"},  // running
        {"POST", prod + "/providers/Microsoft.Compute/virtualMachines/web-linux01/deallocate", "", 202, ""},
        {"POST", osDisk + "/beginGetAccess", read, 202, ""},
        {"POST", osDisk + "/endGetAccess", "", 202, ""},
        {"POST", rg + disks + "/d-upload/beginGetAccess", write, 202, ""},
        {"POST", rg + disks + "/d-upload/endGetAccess", "", 202, ""},
        {"POST", rg + disks + "/d-empty/beginGetAccess", json{{"access", "Read"}}.dump(), 400, "InvalidParameter"},
        {"DELETE", osDisk, "", 409, "OperationNotAllowed"},
        {"DELETE", rg + disks + "/d-empty", "", 202, ""},
        {"DELETE", rg + disks + "/d-empty", "", 204, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.method + " " + row.path);
        const std::string version = row.status == 202 ? "2019-07-01" : "2023-04-02";
        const HttpReply reply = send(row.method, row.path, version, row.body);
        EXPECT_EQ(row.status, reply.status);
        EXPECT_EQ(row.code, Code(reply));
        EXPECT_EQ(row.status == 202, !reply.header("azure-asyncoperation").empty());
    }
    const azsim::StateDocument doc = state_.load();
    std::map<std::string, json> shown;
    for (const azsim::ManagedDisk& disk : doc.managedDisks) {
        const HttpReply reply = send("GET", disk.id, "2023-04-02", "");
        shown[disk.name] = json::parse(reply.body)["properties"];
        shown[disk.name]["managedBy"] = json::parse(reply.body).value("managedBy", "");
    }
    EXPECT_EQ(3u, shown.size() - seeded.managedDisks.size());  // copy, import, upload
    EXPECT_EQ("Attached", shown["app-win01-osdisk"]["diskState"]);
    EXPECT_EQ("Reserved", shown["web-linux01-osdisk"]["diskState"]);  // its VM deallocated
    EXPECT_NE("", shown["web-linux01-osdisk"]["managedBy"]);
    EXPECT_EQ(json({{"createOption", "Copy"}, {"sourceResourceId", osDisk}}), shown["d-copy"]["creationData"]);
    EXPECT_EQ("Linux", shown["d-copy"].value("osType", ""));
    EXPECT_EQ("Unattached", shown["d-copy"]["diskState"]);
    EXPECT_EQ(account + "legacystore01", shown["d-import"]["creationData"].value("storageAccountId", ""));
    EXPECT_FALSE(shown["d-import"].contains("osType"));
    EXPECT_EQ("Unattached", shown["d-upload"]["diskState"]);  // its upload began and ended
    EXPECT_FALSE(doc.findManagedDiskByName("d-upload")->grant.active);
    EXPECT_EQ(20971520u + 512, shown["d-upload"]["diskSizeBytes"]);
    EXPECT_EQ(seeded.findManagedDiskByName("web-linux01-osdisk")->sizeBytes,
              doc.findManagedDiskByName("d-copy")->sizeBytes);
    EXPECT_FALSE(doc.findManagedDiskByName("d-empty"));
}

}  // namespace
