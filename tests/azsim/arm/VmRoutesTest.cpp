// The write routes of virtual machines as a client sees them: an update of an existing VM, its
// deletion and run commands, with Azure's statuses and error codes, and what each leaves behind.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "azsim/endpoint/BlobEndpoint.h"
#include "azsim/faults/FaultBook.h"
#include "azsim/guest/GuestLog.h"
#include "azsim/model/ResourceIds.h"
#include "azsim/model/SubscriptionState.h"
#include "azsim/scenarios/Scenario.h"
#include "tests/azsim/endpoint/HttpsClient.h"
#include "tests/azsim/model/TempFolder.h"

namespace {

using nlohmann::json;

const std::string kRm = "https://management.azure.com";

class VmRoutesTest : public ::testing::Test {
protected:
    void SetUp() override {
        azsim::InitState(folder_.path(), azsim::DemoScenario());
        std::string error;
        ASSERT_TRUE(endpoint_.start(&error)) << error;
        client_ = std::make_unique<HttpsClient>(endpoint_.connectToEntry(), endpoint_.caBundlePath());
        const azsim::Subscription s = state_.load().subscription();
        const std::string body = "grant_type=client_credentials&client_id=" + s.applicationId + "&client_secret=" +
                                 s.secret + "&scope=https%3A%2F%2Fmanagement.azure.com%2F.default";
        const HttpReply granted = client_->send({"POST", "https://login.microsoftonline.com/" + s.tenantId +
                                                 "/oauth2/v2.0/token", {}, &body});
        bearer_ = "Authorization: Bearer " + json::parse(granted.body).value("access_token", "");
        groups_ = kRm + "/subscriptions/" + s.id + "/resourceGroups/";
    }
    HttpReply send(const std::string& method, const std::string& url, const json& body = nullptr) {
        const std::string text = body.is_null() ? std::string() : body.dump();
        const std::vector<std::string> headers = {bearer_, "Content-Type: application/json"};
        return client_->send({method, url, headers, body.is_null() ? nullptr : &text});
    }
    std::string vmUrl(const std::string& group, const std::string& vm, const std::string& action = "") {
        return groups_ + group + "/providers/Microsoft.Compute/virtualMachines/" + vm + action +
               "?api-version=2023-09-01";
    }
    json readVm(const std::string& group, const std::string& vm) {
        return json::parse(send("GET", vmUrl(group, vm)).body);
    }

    azsimtest::TempFolder folder_;
    azsim::SubscriptionState state_{folder_.path()};
    azsim::BlobEndpoint endpoint_{folder_.path()};
    std::unique_ptr<HttpsClient> client_;
    std::string bearer_, groups_;
};

std::string Code(const HttpReply& reply) {
    const json body = json::parse(reply.body, nullptr, false);
    return body.is_object() && body.contains("error") ? body["error"].value("code", "") : "";
}

// Each refused change leaves the subscription as it was; each accepted one shows in the state.
TEST_F(VmRoutesTest, WritesAnswerAzuresStatusesAndOnlyAcceptedOnesChangeTheState) {
    const json web = readVm("rg-prod", "web-linux01");
    const json app = readVm("rg-prod", "app-win01");
    auto with = [&](const char* pointer, const json& value) {
        json body = web;
        body[json::json_pointer(pointer)] = value;
        return body;
    };
    const json disks = web["properties"]["storageProfile"]["dataDisks"];
    const json appDisk = app["properties"]["storageProfile"]["dataDisks"][0]["managedDisk"];
    const json otherVmsDisk = {{"lun", 5}, {"managedDisk", appDisk}};
    const json vhd = {{"uri", "https://prodstaging01.blob.core.windows.net/vhds/x.vhd"}};
    const char* const kDisks = "/properties/storageProfile/dataDisks";
    const json script = {{"commandId", "RunShellScript"}, {"script", {"echo a", "exit 0"}},
                         {"parameters", {{{"name", "arguments"}, {"value", "-v"}}}}};
    struct Row {
        const char* what;
        std::string method, url;
        json body;
        long status;
        std::string code;
    };
    const Row rows[] = {
        {"size not offered", "PUT", vmUrl("rg-prod", "web-linux01"),
         with("/properties/hardwareProfile/vmSize", "Standard_Z9"), 409, "SkuNotAvailable"},
        {"size without premium storage", "PUT", vmUrl("rg-prod", "web-linux01"),
         with("/properties/hardwareProfile/vmSize", "Standard_A2"), 400, "BadRequest"},
        {"LUN taken", "PUT", vmUrl("rg-prod", "web-linux01"), with(kDisks, json::array({disks[0], disks[0]})), 409,
         "Conflict"},
        {"disk of another VM", "PUT", vmUrl("rg-prod", "web-linux01"), with(kDisks, json::array({otherVmsDisk})), 409,
         "OperationNotAllowed"},
        {"VHD on a managed VM", "PUT", vmUrl("rg-prod", "web-linux01"),
         with(kDisks, json::array({{{"lun", 5}, {"vhd", vhd}}})),
         409, "OperationNotAllowed"},
        {"missing disk", "PUT", vmUrl("rg-prod", "web-linux01"),
         with(kDisks, json::array({{{"lun", 5}, {"managedDisk", {{"id", "/subscriptions/x/disks/none"}}}}})), 404,
         "NotFound"},
        {"VM created only by deployment", "PUT", vmUrl("rg-prod", "new-vm"), web, 404, "ResourceNotFound"},
        {"run on a stopped VM", "POST", vmUrl("rg-test", "ultra-vm01", "/runCommand"), script, 409,
         "OperationNotAllowed"},
        {"PowerShell on Linux", "POST", vmUrl("rg-prod", "web-linux01", "/runCommand"),
         {{"commandId", "RunPowerShellScript"}}, 400, "InvalidParameter"},
        {"script not a list", "POST", vmUrl("rg-prod", "web-linux01", "/runCommand"),
         {{"commandId", "RunShellScript"}, {"script", "echo"}}, 400, "InvalidRequestContent"},
        {"delete of a missing VM", "DELETE", vmUrl("rg-prod", "new-vm"), nullptr, 204, ""},
        {"delete in a missing group", "DELETE", vmUrl("rg-none", "web-linux01"), nullptr, 404, "ResourceGroupNotFound"},
        // Accepted ones, each after its refusals.
        {"resize, retag and detach", "PUT", vmUrl("rg-prod", "web-linux01"),
         [&] {
             json body = with(kDisks, json::array({disks[1]}));
             body["properties"]["hardwareProfile"]["vmSize"] = "Standard_D4s_v3";
             body["tags"] = {{"k", "v"}};
             return body;
         }(),
         200, ""},
        {"run", "POST", vmUrl("rg-prod", "web-linux01", "/runCommand"), script, 202, ""},
        {"delete", "DELETE", vmUrl("rg-prod", "app-win01"), nullptr, 202, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string before = state_.load().toJson().dump();
        const HttpReply reply = send(row.method, row.url, row.body);
        EXPECT_EQ(row.status, reply.status) << reply.body;
        EXPECT_EQ(row.code, Code(reply));
        if (reply.status >= 300 || reply.status == 204) {
            EXPECT_EQ(before, state_.load().toJson().dump());
        } else {
            EXPECT_FALSE(reply.header("azure-asyncoperation").empty());
        }
    }
    const azsim::StateDocument doc = state_.load();
    const azsim::VirtualMachine* vm = doc.findVm("web-linux01");
    ASSERT_NE(vm, nullptr);
    EXPECT_EQ(vm->size, "Standard_D4s_v3");
    EXPECT_EQ(vm->tags, (azsim::Tags{{"k", "v"}}));
    ASSERT_EQ(vm->disks.size(), 2u);
    EXPECT_EQ(vm->disks[1].lun, disks[1]["lun"].get<int>());
    EXPECT_EQ(doc.findManagedDisk(disks[0]["managedDisk"]["id"])->state, "Unattached");
    EXPECT_EQ(doc.findManagedDisk(disks[1]["managedDisk"]["id"])->state, "Attached");
    // A deleted VM's disks and network interfaces stay, detached.
    EXPECT_EQ(doc.findVm("app-win01"), nullptr);
    EXPECT_EQ(doc.findManagedDisk(otherVmsDisk["managedDisk"]["id"])->state, "Unattached");
    const azsim::NetworkInterface* nic = doc.findNetworkInterface("app-win01-nic0");
    ASSERT_NE(nic, nullptr);
    EXPECT_EQ(std::tie(nic->virtualMachine, nic->virtualNetwork), std::make_tuple("", "vnet-prod"));
    // The run was logged once, and its output is read where "Location" points.
    const std::vector<azsim::GuestRun> runs = azsim::GuestLog::Read(folder_.path());
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(std::tie(runs[0].vm, runs[0].script, runs[0].parameters, runs[0].succeeded),
              std::make_tuple("web-linux01", "echo a\nexit 0", "-v", true));
}

// The guest's reported failure reaches the run's output; the rule is used once.
TEST_F(VmRoutesTest, GuestFailureIsTheRunsErrorStream) {
    azsim::FaultBook(folder_.path()).addSdkFault({"ExecuteScriptInGuestVM", 0, "exit status 3", 1});
    const json script = {{"commandId", "RunShellScript"}, {"script", {"exit 3"}}};
    for (const char* expected : {"exit status 3", ""}) {
        const HttpReply accepted = send("POST", vmUrl("rg-prod", "web-linux01", "/runCommand"), script);
        ASSERT_EQ(202, accepted.status);
        const json output = json::parse(client_->send({"GET", accepted.header("location"), {bearer_}}).body);
        EXPECT_EQ(output["value"][0]["code"], "ComponentStatus/StdOut/succeeded");
        EXPECT_EQ(output["value"][1]["code"], "ComponentStatus/StdErr/succeeded");
        EXPECT_EQ(output["value"][1]["message"], expected);
    }
    const std::vector<azsim::GuestRun> runs = azsim::GuestLog::Read(folder_.path());
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(std::make_pair(runs[0].succeeded, runs[0].error), std::make_pair(false, std::string("exit status 3")));
    EXPECT_TRUE(runs[1].succeeded);
}

}  // namespace
