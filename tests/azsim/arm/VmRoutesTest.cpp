// The write routes of virtual machines as a client sees them: the creation of a VM with its network
// interface and address, an update of an existing VM, its deletion and run commands, with Azure's statuses and error codes, and what each leaves behind.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "azsim/faults/FaultBook.h"
#include "azsim/guest/GuestLog.h"
#include "tests/azsim/arm/ServedArm.h"

namespace {

using nlohmann::json;

class VmRoutesTest : public azsimtest::ServedArm {
protected:
    void SetUp() override {
        serve();
        groups_ = subscriptionUrl_ + "/resourceGroups/";
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
    std::string netUrl(const std::string& type, const std::string& name) {
        return groups_ + "rg-prod/providers/Microsoft.Network/" + type + "/" + name + "?api-version=2023-09-01";
    }
    std::string netId(const std::string& type, const std::string& name) {
        const std::string url = netUrl(type, name);
        return url.substr(url.find("/subscriptions"), url.find('?') - url.find("/subscriptions"));
    }

    std::string groups_;
};


// Each refused change leaves the subscription as it was; each accepted one shows in the state, a run in the
// guest log and in the output its "Location" answers, the guest's reported failure in the error stream.
TEST_F(VmRoutesTest, WritesAnswerAzuresStatusesAndOnlyAcceptedOnesChangeTheState) {
    const json web = json::parse(send("GET", vmUrl("rg-prod", "web-linux01")).body);
    auto with = [&](const char* pointer, const json& value) {
        json body = web;
        body[json::json_pointer(pointer)] = value;
        return body;
    };
    const json disks = web["properties"]["storageProfile"]["dataDisks"];
    const json appDisk =
        json::parse(send("GET", vmUrl("rg-prod", "app-win01")).body)["properties"]["storageProfile"]["dataDisks"][0];
    const json vhd = {{"uri", "https://prodstaging01.blob.core.windows.net/vhds/x.vhd"}};
    const char* const kDisks = "/properties/storageProfile/dataDisks";
    const json script = {{"commandId", "RunShellScript"}, {"script", {"echo a", "exit 0"}},
                         {"parameters", {{{"name", "arguments"}, {"value", "-v"}}}}};
    const std::string vm = vmUrl("rg-prod", "web-linux01"), run = vmUrl("rg-prod", "web-linux01", "/runCommand");
    // A new VM on the disk the resize below detaches, with a new interface holding a new address.
    const json nicConfig = {{"subnet", {{"id", netId("virtualNetworks", "vnet-prod") + "/subnets/backend"}}},
                            {"publicIPAddress", {{"id", netId("publicIPAddresses", "new-ip")}}}};
    const json nicBody = {{"location", "westeurope"}, {"tags", {{"createdByJob", "j1"}}},
                      {"properties", {{"ipConfigurations", {{{"name", "ipconfig1"}, {"properties", nicConfig}}}},
                                      {"networkSecurityGroup", {{"id", netId("networkSecurityGroups", "nsg-prod")}}}}}};
    json lostNic = nicBody;
    lostNic["properties"]["ipConfigurations"][0]["properties"]["subnet"]["id"] = netId("virtualNetworks", "vnet-prod");
    json textNic = nicBody;
    textNic["properties"]["ipConfigurations"][0]["properties"] = "subnet";
    const json fresh = {
        {"location", "westeurope"}, {"tags", {{"createdByJob", "j1"}}}, {"zones", {"2"}},
        {"properties",
         {{"hardwareProfile", {{"vmSize", "Standard_D2s_v3"}}},
          {"storageProfile", {{"osDisk", {{"createOption", "Attach"}, {"osType", "Linux"}, {"managedDisk", disks[0]["managedDisk"]}}}}},
          {"networkProfile", {{"networkInterfaces", {{{"id", netId("networkInterfaces", "new-nic")}}}}}}}}};
    auto freshWith = [&](const char* pointer, const json& value) {
        json body = fresh;
        body[json::json_pointer(pointer)] = value;
        return body;
    };
    const std::string created = vmUrl("rg-prod", "new-vm");
    json resized = with(kDisks, json::array({disks[1]}));
    resized["properties"]["hardwareProfile"]["vmSize"] = "Standard_D4s_v3";
    resized["tags"] = {{"k", "v"}};
    // `code`: of the error, or for an accepted run the message of its error stream.
    struct Row { const char* what; std::string method, url; json body; long status; std::string code; };
    const Row rows[] = {
        {"size not offered", "PUT", vm, with("/properties/hardwareProfile/vmSize", "Standard_Z9"), 409,
         "SkuNotAvailable"},
        {"size without premium", "PUT", vm, with("/properties/hardwareProfile/vmSize", "Standard_A2"), 400,
         "BadRequest"},
        {"LUN taken", "PUT", vm, with(kDisks, json::array({disks[0], disks[0]})), 409, "Conflict"},
        {"disk of another VM", "PUT", vm, with(kDisks, json::array({appDisk})), 409, "OperationNotAllowed"},
        {"VHD on a managed VM", "PUT", vm, with(kDisks, json::array({{{"lun", 5}, {"vhd", vhd}}})), 409,
         "OperationNotAllowed"},
        {"missing disk", "PUT", vm, with(kDisks, json::array({{{"lun", 5}, {"managedDisk", {{"id", "/x/disks/no"}}}}})),
         404, "NotFound"},
        {"interface on a network, not a subnet", "PUT", netUrl("networkInterfaces", "new-nic"), lostNic, 400,
         "InvalidResourceReference"},
        {"interface of a configuration that is text", "PUT", netUrl("networkInterfaces", "new-nic"), textNic, 400,
         "InvalidRequestFormat"},
        {"interface with an address not there", "PUT", netUrl("networkInterfaces", "new-nic"), nicBody, 400,
         "InvalidResourceReference"},
        {"address", "PUT", netUrl("publicIPAddresses", "new-ip"), {{"location", "westeurope"}}, 201, ""},
        {"interface", "PUT", netUrl("networkInterfaces", "new-nic"), nicBody, 201, ""},
        {"new VM where the region is not", "PUT", created, freshWith("/location", "mars"), 400,
         "LocationNotAvailableForResourceType"},
        {"new VM whose location is a number", "PUT", created, freshWith("/location", 5), 400, "InvalidRequestContent"},
        {"new VM in a zone its size lacks", "PUT", created, freshWith("/zones", {"4"}), 400, "InvalidParameter"},
        {"new VM on an attached disk", "PUT", created, fresh, 409, "OperationNotAllowed"},
        {"run on a stopped VM", "POST", vmUrl("rg-test", "ultra-vm01", "/runCommand"), script, 409,
         "OperationNotAllowed"},
        {"PowerShell on Linux", "POST", run, {{"commandId", "RunPowerShellScript"}}, 400, "InvalidParameter"},
        {"delete of a missing VM", "DELETE", vmUrl("rg-prod", "new-vm"), nullptr, 204, ""},
        {"delete in a missing group", "DELETE", vmUrl("rg-none", "web-linux01"), nullptr, 404, "ResourceGroupNotFound"},
        // Accepted ones, each after its refusals.
        {"resize, retag and detach", "PUT", vm, resized, 200, ""},
        {"new VM", "PUT", created, fresh, 201, ""},
        {"run the guest fails", "POST", run, script, 202, "exit status 3"},
        {"run", "POST", run, script, 202, ""},
        {"delete", "DELETE", vmUrl("rg-prod", "app-win01"), nullptr, 202, ""},
        {"VM on the interface of another", "PUT", vmUrl("rg-prod", "other-vm"),
         freshWith("/properties/storageProfile/osDisk/managedDisk", appDisk["managedDisk"]), 409, "Conflict"},
    };
    azsim::FaultBook(folder_.path()).addSdkFault({"ExecuteScriptInGuestVM", 0, "exit status 3", 1});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string before = state_.load().toJson().dump();
        const HttpReply reply = send(row.method, row.url, row.body);
        EXPECT_EQ(row.status, reply.status) << reply.body;
        const bool changed = reply.status < 300 && reply.status != 204;
        EXPECT_EQ(changed && row.url != run, before != state_.load().toJson().dump());  // a run changes the guest
        EXPECT_EQ(changed, !reply.header("azure-asyncoperation").empty());
        if (row.url != run || reply.status != 202) {
            EXPECT_EQ(row.code, Code(reply));
            continue;
        }
        const json output = json::parse(client_->send({"GET", reply.header("location"), {bearer_}}).body);
        EXPECT_EQ(output["value"][1], json({{"code", "ComponentStatus/StdErr/succeeded"}, {"level", "Info"},
                                            {"displayStatus", "Provisioning succeeded"}, {"message", row.code}}));
    }
    const azsim::StateDocument doc = state_.load();
    const azsim::VirtualMachine* changed = doc.findVm("web-linux01");
    ASSERT_NE(changed, nullptr);
    EXPECT_EQ(std::tie(changed->size, changed->tags), std::make_tuple("Standard_D4s_v3", azsim::Tags{{"k", "v"}}));
    ASSERT_EQ(changed->disks.size(), 2u);
    EXPECT_EQ(changed->disks[1].lun, disks[1]["lun"].get<int>());
    // Both disks are attached again: the one detached is the new VM's OS disk.
    EXPECT_EQ(doc.findManagedDisk(disks[0]["managedDisk"]["id"])->state, "Attached");
    EXPECT_EQ(doc.findManagedDisk(disks[1]["managedDisk"]["id"])->state, "Attached");
    // A deleted VM's disks and network interfaces stay, detached.
    EXPECT_EQ(doc.findVm("app-win01"), nullptr);
    EXPECT_EQ(doc.findManagedDisk(appDisk["managedDisk"]["id"])->state, "Unattached");
    const azsim::NetworkInterface* nic = doc.findNetworkInterface("app-win01-nic0");
    ASSERT_NE(nic, nullptr);
    EXPECT_EQ(std::tie(nic->virtualMachine, nic->virtualNetwork), std::make_tuple("", "vnet-prod"));
    // The new VM holds its interface, address and the interface's security group; its job's record lists them.
    const azsim::VirtualMachine* made = doc.findVm("new-vm");
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(std::tie(made->zones, made->securityGroups, made->nics.at(0).subnetId, made->disks.at(0).id),
              std::make_tuple("2", std::vector<std::string>{"nsg-prod"}, nicConfig["subnet"]["id"].get<std::string>(),
                              disks[0]["managedDisk"]["id"].get<std::string>()));
    EXPECT_EQ(doc.findPublicIp("new-ip")->virtualMachine, doc.findNetworkInterface("new-nic")->virtualMachine);
    ASSERT_EQ(doc.deployments.size(), 1u);
    EXPECT_EQ(doc.deployments[0].resources.size(), 2u);  // the VM and its interface: only they carry the job's mark
    std::vector<std::tuple<std::string, std::string, bool, std::string>> runs;
    for (const azsim::GuestRun& r : azsim::GuestLog::Read(folder_.path()))
        runs.emplace_back(r.script, r.parameters, r.succeeded, r.error);
    EXPECT_EQ(runs, (decltype(runs){{"echo a\nexit 0", "-v", false, "exit status 3"},
                                    {"echo a\nexit 0", "-v", true, ""}}));
}

}  // namespace
