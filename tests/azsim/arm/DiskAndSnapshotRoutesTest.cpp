// The managed disk and snapshot routes of the endpoint, as a client sees them: each request of a disk's
// life in turn, with its status and error code, and what the disks look like afterwards; a snapshot's
// creation as a copy of a disk, look-ups, read access granted and ended, deletion, and the snapshot set
// the tags form.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/azsim/arm/ServedArm.h"

namespace {

using nlohmann::json;
using DiskRoutesTest = azsimtest::ServedArm;
using SnapshotRoutesTest = azsimtest::ServedArm;
const std::string kRm = "https://management.azure.com";

TEST_F(DiskRoutesTest, DiskLifeAnswersAzuresStatusesAndShapes) {
    serve();
    const azsim::StateDocument seeded = state_.load();
    auto send = [&](const std::string& method, const std::string& path, const std::string& version,
                    const std::string& body) {
        return client_->send({method, kRm + path + "?api-version=" + version,
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

TEST_F(SnapshotRoutesTest, SnapshotsAreCopiedReadGrantedAndDeletedWithAzuresAnswers) {
    serve([](azsim::StateDocument& doc) {  // a set recorded without members, which no deletion ends
        doc.snapshotSets.push_back(azsim::SnapshotSet{});
        doc.snapshotSets.back().guid = "other-set";
    });
    azsim::SubscriptionState& state = state_;
    HttpsClient& client = *client_;
    const azsim::StateDocument seeded = state.load();
    const azsim::Subscription& sub = seeded.subscription();
    const std::string disk = seeded.findVm("web-linux01")->disks[0].id;
    const std::vector<std::string> headers = {bearer_, "Content-Type: application/json"};
    const std::string group = kRm + "/subscriptions/" + sub.id + "/resourceGroups/rg-prod";
    const std::string snap = group + "/providers/Microsoft.Compute/snapshots/snap1";
    const std::string v = "?api-version=2023-04-02", old = "?api-version=2019-07-01";
    auto copy = [&](const std::string& option, const std::string& source, const std::string& location) {
        const nlohmann::json creation = {{"createOption", option}, {"sourceResourceId", source}};
        const nlohmann::json tags = {{"QD_SNAPSHOT_GUID", "set-1"}, {"QD_VM_NAME", "web-linux01"}};
        return nlohmann::json{{"location", location}, {"tags", tags},
                              {"properties", {{"incremental", true}, {"creationData", creation}}}}.dump();
    };
    // `code`: Azure's error code, "" when none
    struct Row { std::string method, url, body; long status; std::string code; };
    const Row rows[] = {
        {"PUT", snap + v, copy("Copy", disk + "-gone", "westeurope"), 404, "ResourceNotFound"},
        {"PUT", snap + v, copy("Empty", disk, "westeurope"), 400, "InvalidParameter"},
        {"PUT", snap + v, copy("Copy", disk, "eastus"), 400, "InvalidParameter"},
        {"PUT", snap + v, copy("Copy", disk, ""), 400, "LocationRequired"},
        {"PUT", kRm + "/subscriptions/" + sub.id + "/resourceGroups/none/providers/Microsoft.Compute/snapshots/s" + v,
         copy("Copy", disk, "westeurope"), 404, "ResourceGroupNotFound"},
        {"GET", snap + v, "", 404, "ResourceNotFound"},
        {"PUT", snap + v, copy("Copy", disk, "westeurope"), 202, ""},
        {"GET", snap + old, "", 200, ""},
        {"POST", snap + "/beginGetAccess" + v, R"({"access":"Write","durationInSeconds":60})", 400, "InvalidParameter"},
        {"POST", snap + "/beginGetAccess" + v, R"({"access":"Read"})", 400, "InvalidParameter"},
        {"POST", snap + "x/beginGetAccess" + v, R"({"access":"Read","durationInSeconds":60})", 404, "ResourceNotFound"},
        {"POST", snap + "/beginGetAccess" + v, R"({"access":"Read","durationInSeconds":60})", 202, ""},
        {"GET", group + "/providers/Microsoft.Compute/snapshots" + v, "", 200, ""},
        {"SAS", "", "", 206, ""},
        {"POST", snap + "/endGetAccess" + v, "", 202, ""},
        {"SAS", "", "", 403, ""},
        {"DELETE", snap + old, "", 202, ""},
        {"DELETE", snap + v, "", 204, ""},
    };
    std::map<std::string, HttpReply> replies;
    // "SAS" reads the first page of the snapshot through the URL the grant's operation answers.
    auto send = [&](const Row& row) {
        if (row.method == "SAS") {
            const HttpReply access =
                client.send({"GET", replies["POST/beginGetAccess" + v].header("location"), headers});
            const std::string sas = nlohmann::json::parse(access.body).value("accessSAS", "");
            EXPECT_EQ(0u, sas.find("https://md-"));
            return client.send({"GET", sas, {"x-ms-range: bytes=0-511"}});
        }
        return client.send({row.method, row.url, headers, &row.body});
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.method + " " + row.url + " " + row.body);
        const HttpReply reply = send(row);
        EXPECT_EQ(row.status, reply.status);
        const nlohmann::json body = nlohmann::json::parse(reply.body, nullptr, false);
        EXPECT_EQ(row.code, body.is_object() && body.contains("error") ? body["error"].value("code", "") : "");
        if (reply.status < 300 && !row.url.empty()) replies[row.method + row.url.substr(row.url.rfind('/'))] = reply;
        if (row.method == "PUT" && reply.status == 202) {
            // The new snapshot is an incremental copy of the disk and the first of its set.
            const azsim::StateDocument doc = state.load();
            ASSERT_TRUE(doc.snapshots.size() == 1 && doc.findSnapshotSet("set-1"));
            EXPECT_TRUE(doc.snapshots[0].incremental &&
                        state.blobs().exists(doc.snapshots[0].blob, doc.snapshots[0].storeSnapshot));
            EXPECT_EQ(std::make_tuple(doc.findVm("web-linux01")->guid, std::vector<std::string>{doc.snapshots[0].id}),
                      std::make_tuple(doc.findSnapshotSet("set-1")->vmGuid, doc.findSnapshotSet("set-1")->members));
        }
    }
    const nlohmann::json got = nlohmann::json::parse(replies["GET/snap1" + old].body);
    EXPECT_EQ(disk, got["properties"]["creationData"]["sourceResourceId"]);
    EXPECT_EQ("set-1", got["tags"]["QD_SNAPSHOT_GUID"]);
    EXPECT_EQ(1u, nlohmann::json::parse(replies["GET/snapshots" + v].body)["value"].size());
    EXPECT_TRUE(state.load().snapshots.empty());
    ASSERT_EQ(1u, state.load().snapshotSets.size());
    EXPECT_EQ("other-set", state.load().snapshotSets[0].guid);
}

}  // namespace
