// The network, storage (accounts and their containers) and location routes of Resource Manager as a client
// sees them: status codes, error codes and the bodies and changes a request leaves.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/azsim/arm/ServedArm.h"


namespace {

using nlohmann::json;

// `path`: under the subscription, without the api-version
// `code`: Azure's error code, "" for none
struct Row { const char* method; std::string path; std::string body; long status; std::string code; };

class ArmRoutesTest : public azsimtest::ServedArm {
protected:
    void SetUp() override {
        serve([](azsim::StateDocument& doc) {
            doc.networkInterfaces.push_back({"spare-nic", "", "rg-test", "westeurope", "vnet-prod", "", "ip-used", "", {}});
            doc.publicIps.push_back({"ip-used", "", "rg-test", "westeurope", "20.1.2.3", "", {}});
            doc.publicIps.push_back({"ip-free", "", "rg-test", "westeurope", "20.1.2.4", "", {}});
            doc.findStorageAccount("prodstaging01")->containers.push_back("restore");
        });
    }
    // Sends each row in turn and checks its answer; returns the answers' bodies.
    std::vector<json> run(const std::vector<Row>& rows, const std::string& version) {
        std::vector<json> bodies;
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.method) + " " + row.path);
            const std::string url = subscriptionUrl_ + row.path + (row.path.find('?') == std::string::npos ? "?" : "&") +
                                    "api-version=" + version;
            const HttpReply reply =
                client_->send({row.method, url, {bearer_, "Content-Type: application/json"}, &row.body});
            EXPECT_EQ(row.status, reply.status);
            const json body = json::parse(reply.body, nullptr, false);
            EXPECT_EQ(row.code, Code(reply));
            EXPECT_EQ(row.status == 202 || (row.method == std::string("PUT") && row.status < 300),
                      !reply.header("azure-asyncoperation").empty());
            bodies.push_back(body);
        }
        return bodies;
    }

};

std::string Names(const json& list) {
    std::string out;
    for (const json& item : list.is_array() ? list : list.value("value", json::array()))
        out += item.value("name", "") + " ";
    return out;
}

TEST_F(ArmRoutesTest, NetworkRoutesListReadCreateAndRefuseToDeleteWhatIsInUse) {
    const std::string rg = "/resourceGroups/rg-test/providers/Microsoft.Network/";
    const std::string prod = "/resourceGroups/rg-prod/providers/Microsoft.Network/";
    const std::string create = R"({"location": "West Europe", "tags": {"createdByJob": "j1"}, "properties": {
        "addressSpace": {"addressPrefixes": ["10.9.0.0/16"]}, "subnets": [
        {"name": "front", "properties": {"addressPrefix": "10.9.0.0/24"}},
        {"name": "back", "properties": {"addressPrefix": "10.9.1.0/24"}}]}})";
    const auto subnets = [](const char* first, const char* second) {
        return std::string(R"({"location": "westeurope", "properties": {"addressSpace": {"addressPrefixes":
            ["10.9.0.0/16"]}, "subnets": [{"name": "a", "properties": {"addressPrefix": ")") + first +
               R"("}}, {"name": "b", "properties": {"addressPrefix": ")" + second + R"("}}]}})";
    };
    const std::vector<json> bodies = run(
        {
            {"GET", "/providers/Microsoft.Network/networkInterfaces", "", 200, ""},
            {"GET", "/resourceGroups/rg-none/providers/Microsoft.Network/virtualNetworks", "", 404,
             "ResourceGroupNotFound"},
            {"GET", prod + "virtualNetworks/vnet-prod/subnets", "", 200, ""},
            {"GET", prod + "virtualNetworks/vnet-prod/subnets/none", "", 404, "ResourceNotFound"},
            {"GET", prod + "networkInterfaces/web-linux01-nic0", "", 200, ""},
            {"GET", rg + "networkInterfaces/web-linux01-nic0", "", 404, "ResourceNotFound"},
            {"GET", prod + "networkSecurityGroups/nsg-prod", "", 200, ""},
            {"GET", rg + "publicIPAddresses/ip-used", "", 200, ""},
            {"PUT", rg + "virtualNetworks/vnet-new", create, 201, ""},
            {"PUT", rg + "virtualNetworks/vnet-new", create, 200, ""},
            {"PUT", rg + "virtualNetworks/vnet-bad", R"({"location": "moon"})", 400,
             "LocationNotAvailableForResourceType"},
            {"PUT", rg + "virtualNetworks/vnet-bad",
             R"({"location": "westeurope", "properties": {"subnets": [{"name": "a"}, {"name": "A"}]}})", 400,
             "DuplicateResourceName"},
            {"PUT", rg + "virtualNetworks/vnet-bad", subnets("10.9.2.0/24", "10.8.0.0/24"), 400,
             "NetcfgSubnetRangeOutsideVnet"},
            {"PUT", rg + "virtualNetworks/vnet-bad", subnets("10.9.0.0/23", "10.9.1.128/25"), 400,
             "NetcfgSubnetRangesOverlap"},
            {"PUT", "/resourceGroups/rg-none/providers/Microsoft.Network/virtualNetworks/v", create, 404,
             "ResourceGroupNotFound"},
            {"DELETE", prod + "virtualNetworks/vnet-prod", "", 400, "InUseSubnetCannotBeDeleted"},
            {"DELETE", prod + "networkInterfaces/web-linux01-nic0", "", 400, "NicInUse"},
            {"DELETE", rg + "publicIPAddresses/ip-used", "", 400, "PublicIPAddressCannotBeDeleted"},
            {"DELETE", rg + "publicIPAddresses/ip-free", "", 202, ""},
            {"DELETE", rg + "networkInterfaces/spare-nic", "", 202, ""},
            {"DELETE", rg + "publicIPAddresses/ip-used", "", 202, ""},
            {"DELETE", rg + "virtualNetworks/vnet-new", "", 202, ""},
            {"DELETE", rg + "virtualNetworks/vnet-new", "", 204, ""},
        },
        "2023-09-01");
    // A VM's card without an interface resource is served as an interface of the VM's group.
    EXPECT_NE(Names(bodies[0]).find("web-linux01-nic0 "), std::string::npos) << bodies[0];
    EXPECT_EQ(Names(bodies[2]), "default backend ");
    EXPECT_NE(bodies[4]["properties"]["ipConfigurations"][0]["properties"]["subnet"].value("id", "").find(
                  "/virtualNetworks/vnet-prod/subnets/default"),
              std::string::npos);
    EXPECT_NE(bodies[6]["properties"]["networkInterfaces"].dump().find("web-linux01-nic0"), std::string::npos);
    EXPECT_NE(bodies[7]["properties"]["ipConfiguration"].value("id", "").find("/spare-nic/"), std::string::npos);
    EXPECT_EQ(std::make_tuple(bodies[8].value("location", ""), Names(bodies[8]["properties"]["subnets"]),
                              bodies[8]["tags"].value("createdByJob", "")),
              std::make_tuple(std::string("westeurope"), std::string("front back "), std::string("j1")));
    const azsim::StateDocument doc = state_.load();
    EXPECT_EQ(std::make_tuple(doc.findVirtualNetwork("vnet-new"), doc.findVirtualNetwork("vnet-bad"),
                              doc.findPublicIp("ip-used"), doc.networkInterfaces.size()),
              std::make_tuple(nullptr, nullptr, nullptr, std::size_t{0}));
    EXPECT_NE(doc.findVirtualNetwork("vnet-prod"), nullptr);
}

TEST_F(ArmRoutesTest, StorageAndLocationRoutesAnswerWhatTheSubscriptionHolds) {
    const std::string compute = "/providers/Microsoft.Compute/locations/";
    const std::string jammy = "westeurope/publishers/Canonical/artifacttypes/vmimage/offers/0001-com-ubuntu-server-jammy";
    std::vector<json> bodies = run(
        {
            {"GET", "/providers/Microsoft.Storage/storageAccounts", "", 200, ""},
            {"GET", "/resourceGroups/rg-prod/providers/Microsoft.Storage/storageAccounts/prodpremium01", "", 200, ""},
            {"GET", "/resourceGroups/rg-test/providers/Microsoft.Storage/storageAccounts/prodpremium01", "", 404,
             "ResourceNotFound"},
            {"GET", "/resourceGroups/rg-none/providers/Microsoft.Storage/storageAccounts", "", 404,
             "ResourceGroupNotFound"},
        },
        "2023-01-01");
    EXPECT_EQ(bodies[0]["value"].size(), state_.load().storageAccounts.size());
    EXPECT_EQ(bodies[1]["properties"]["primaryEndpoints"].value("blob", ""),
              "https://prodpremium01.blob.core.windows.net/");
    // An account's containers are listed in its own group only, each named by its resource id.
    const auto containers = [](const char* group, const char* account) {
        return std::string("/resourceGroups/") + group + "/providers/Microsoft.Storage/storageAccounts/" + account +
               "/blobServices/default/containers";
    };
    bodies = run({{"GET", containers("rg-prod", "prodstaging01"), "", 200, ""},
                  {"GET", containers("rg-prod", "prodpremium01"), "", 200, ""},
                  {"GET", containers("rg-test", "testzrs01"), "", 200, ""},
                  {"GET", containers("rg-test", "prodstaging01"), "", 404, "ResourceNotFound"},
                  {"GET", containers("rg-prod", "nosuchaccount"), "", 404, "ResourceNotFound"},
                  {"GET", containers("rg-none", "prodstaging01"), "", 404, "ResourceGroupNotFound"}},
                 "2023-01-01");
    EXPECT_EQ(Names(bodies[0]) + "/ " + Names(bodies[1]) + "/ " + Names(bodies[2]), "vhds restore / vhds / ");
    EXPECT_EQ(bodies[0]["value"][1].value("id", "") + " " + bodies[0]["value"][1].value("type", ""),
              subscriptionUrl_.substr(subscriptionUrl_.find("/subscriptions/")) + containers("rg-prod", "prodstaging01") +
                  "/restore Microsoft.Storage/storageAccounts/blobServices/containers");
    bodies = run({{"GET", containers("rg-legacy", "legacystore01"), "", 200, ""}}, "2019-06-01");
    EXPECT_EQ(Names(bodies[0]), "vhds ");
    bodies = run({{"GET", "/locations", "", 200, ""}}, "2022-12-01");
    EXPECT_NE(bodies[0].dump().find(R"("displayName":"West Europe")"), std::string::npos);
    bodies = run(
        {
            {"GET", compute + "westeurope/vmSizes", "", 200, ""},
            {"GET", compute + "atlantis/vmSizes", "", 404, "LocationNotFound"},
            {"GET", compute + "westeurope/publishers", "", 200, ""},
            {"GET", compute + jammy + "/skus", "", 200, ""},
            {"GET", compute + jammy + "/skus/22_04-lts-gen2/versions", "", 200, ""},
            {"GET", compute + "westeurope/publishers/Nobody/artifacttypes/vmimage/offers", "", 404, "NotFound"},
            {"GET", "/providers/Microsoft.Compute/images", "", 200, ""},
            {"GET", "/providers/Microsoft.Compute/virtualMachines?statusOnly=true", "", 200, ""},
        },
        "2023-09-01");
    EXPECT_NE(Names(bodies[0]).find("Standard_D2s_v3 "), std::string::npos);
    EXPECT_EQ(Names(bodies[2]), "Canonical MicrosoftWindowsServer ");
    EXPECT_EQ(Names(bodies[3]), "22_04-lts-gen2 ");  // the other SKU is offered in another region
    EXPECT_EQ(Names(bodies[4]), "22.04.202312060 ");
    EXPECT_EQ(Names(bodies[6]), "tmpl-web-linux ");
    EXPECT_EQ(bodies[0]["value"][0].count("premiumIO"), 0u);  // a size list holds no SKU capabilities
    // The status form of the VM list holds each VM's instance view and not its model.
    const json status = bodies[7]["value"][0]["properties"];
    EXPECT_EQ(std::make_pair(status.count("instanceView"), status.count("storageProfile")), std::make_pair(1ul, 0ul));
    bodies = run({{"GET", "/providers/Microsoft.Compute/skus?$filter=location%20eq%20%27westeurope%27", "", 200, ""},
                  {"GET", "/providers/Microsoft.Compute/skus", "", 200, ""}},
                 "2021-07-01");
    std::size_t sizes = 0;
    for (const azsim::Region& region : state_.load().regions) sizes += region.vmSizes.size();
    EXPECT_EQ(std::make_pair(bodies[0]["value"].size(), bodies[1]["value"].size()),
              std::make_pair(state_.load().findRegion("westeurope")->vmSizes.size(), sizes));
    EXPECT_EQ(bodies[0]["value"][0]["locationInfo"][0].value("location", ""), "westeurope");
}

}  // namespace
