// The blob containers of a storage account as Resource Manager lists them: the account's own
// containers only, each named by its resource id, and Azure's not-found answers for a group or an
// account that is not there.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/azsim/arm/ServedArm.h"

namespace {

using ContainerRoutesTest = azsimtest::ServedArm;

TEST_F(ContainerRoutesTest, AnAccountsContainersAreListedInItsGroupOnly) {
    serve([](azsim::StateDocument& doc) { doc.findStorageAccount("prodstaging01")->containers.push_back("restore"); });
    // `code`: Azure's error code, "" when none
    // `names`: the containers listed, each followed by a space
    struct Row { std::string group, account, apiVersion; long status; std::string code; std::string names; };
    const Row rows[] = {
        {"rg-prod", "prodstaging01", "2023-01-01", 200, "", "vhds restore "},
        {"rg-prod", "prodpremium01", "2023-01-01", 200, "", "vhds "},
        {"rg-test", "testzrs01", "2023-01-01", 200, "", ""},
        {"rg-legacy", "legacystore01", "2019-06-01", 200, "", "vhds "},
        {"rg-test", "prodstaging01", "2023-01-01", 404, "ResourceNotFound", ""},
        {"rg-prod", "nosuchaccount", "2023-01-01", 404, "ResourceNotFound", ""},
        {"rg-none", "prodstaging01", "2023-01-01", 404, "ResourceGroupNotFound", ""},
    };
    for (const Row& row : rows) {
        const std::string account =
            subscriptionUrl_ + "/resourceGroups/" + row.group + "/providers/Microsoft.Storage/storageAccounts/" + row.account;
        SCOPED_TRACE(account);
        const HttpReply reply =
            client_->send({"GET", account + "/blobServices/default/containers?api-version=" + row.apiVersion, {bearer_}});
        EXPECT_EQ(row.status, reply.status);
        EXPECT_EQ(row.code, Code(reply));
        std::string names;
        const nlohmann::json body = nlohmann::json::parse(reply.body, nullptr, false);
        for (const nlohmann::json& item : body.is_object() ? body.value("value", nlohmann::json::array())
                                                           : nlohmann::json::array()) {
            names += item.value("name", "") + " ";
            EXPECT_EQ(item.value("id", ""), account.substr(account.find("/subscriptions/")) +
                                                "/blobServices/default/containers/" + item.value("name", ""));
            EXPECT_EQ(item.value("type", ""), "Microsoft.Storage/storageAccounts/blobServices/containers");
        }
        EXPECT_EQ(row.names, names);
    }
}

}  // namespace
