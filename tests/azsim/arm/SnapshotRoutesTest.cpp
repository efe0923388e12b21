// The managed snapshot routes as a client sees them: creation as a copy of a disk, look-ups, read access
// granted and ended, deletion, with Azure's status and error codes, and the snapshot set the tags form.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/azsim/arm/ServedArm.h"


namespace {

const std::string kRm = "https://management.azure.com";

using SnapshotRoutesTest = azsimtest::ServedArm;

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
