#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "azsim/StateFolder.h"
#include "azsim/model/SubscriptionState.h"
#include "tests/azsim/model/ChildProcess.h"
#include "tests/azsim/model/JsonContains.h"
#include "tests/azsim/model/TempFolder.h"

namespace {

using namespace azsim;

StateDocument OneSubscription() {
    StateDocument doc;
    doc.subscriptions.push_back({"sub-1", "Test", "tenant", "app", "secret"});
    doc.regions.push_back({"westeurope", "West Europe", true, {}});
    return doc;
}

TEST(SubscriptionState, ChangesPersistAcrossReopenAndRefusedOrFailedOnesAreNotSaved) {
    azsimtest::TempFolder dir;
    EXPECT_FALSE(SubscriptionState(dir.path()).exists());
    EXPECT_THROW(SubscriptionState(dir.path()).load(), Error);

    SubscriptionState(dir.path()).save(OneSubscription());
    ASSERT_TRUE(SubscriptionState(dir.path()).mutate([](StateDocument& doc) {
        doc.resourceGroups.push_back({"rg-1", "westeurope", {{"k", "v"}}});
        return true;
    }));
    SubscriptionState state(dir.path());
    ASSERT_TRUE(state.exists());
    EXPECT_TRUE(azsimtest::JsonContains(state.load().toJson(), nlohmann::json::parse(R"({
      "subscriptions": [{"applicationId": "app"}], "resourceGroups": [{"name": "rg-1", "tags": {"k": "v"}}]})")));

    auto clearRegions = [](StateDocument& d) {
        d.regions.clear();
        return true;
    };
    EXPECT_FALSE(state.mutate([&](StateDocument& d) { return !clearRegions(d); }));
    EXPECT_THROW(state.mutate([&](StateDocument& d) -> bool {
        clearRegions(d);
        throw std::runtime_error("operation failed half-way");
    }),
                 std::runtime_error);
    EXPECT_EQ(1u, state.load().regions.size());
    // The lock was released on the way out: the next change goes through.
    EXPECT_TRUE(state.mutate(clearRegions));
    EXPECT_TRUE(state.load().regions.empty());
}

TEST(SubscriptionState, ConcurrentChangesFromTwoProcessesAreAllKept) {
    azsimtest::TempFolder dir;
    SubscriptionState(dir.path()).save(OneSubscription());
    constexpr int kPerProcess = 40;

    auto addGroups = [&](int c) {
        SubscriptionState state(dir.path());
        for (int i = 0; i < kPerProcess; ++i) {
            state.mutate([&](StateDocument& doc) {
                doc.resourceGroups.push_back({"rg-" + std::to_string(c) + "-" + std::to_string(i), "westeurope", {}});
                return true;
            });
        }
        return 0;
    };
    azsimtest::ChildProcess first([&] { return addGroups(0); });
    azsimtest::ChildProcess second([&] { return addGroups(1); });
    ASSERT_EQ(0, first.wait());
    ASSERT_EQ(0, second.wait());

    StateDocument doc = SubscriptionState(dir.path()).load();
    std::set<std::string> names;
    for (const ResourceGroup& group : doc.resourceGroups) names.insert(group.name);
    EXPECT_EQ(2u * kPerProcess, doc.resourceGroups.size());
    EXPECT_EQ(2u * kPerProcess, names.size());
    EXPECT_EQ(1u, names.count("rg-0-" + std::to_string(kPerProcess - 1)));
    EXPECT_EQ(1u, names.count("rg-1-0"));
}

}  // namespace
