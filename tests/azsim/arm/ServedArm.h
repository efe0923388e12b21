// The demo subscription served over HTTPS for the Resource Manager route tests: its state, the
// endpoint, a client of it and a bearer token its identity service granted the subscription's
// application (client credentials, as a client signs in).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "azsim/endpoint/BlobEndpoint.h"
#include "azsim/model/SubscriptionState.h"
#include "azsim/scenarios/Scenario.h"
#include "tests/azsim/endpoint/HttpsClient.h"
#include "tests/azsim/model/TempFolder.h"

namespace azsimtest {

class ServedArm : public ::testing::Test {
protected:
    // `seed` changes the demo subscription before it is served.
    void serve(const std::function<void(azsim::StateDocument&)>& seed = nullptr) {
        azsim::InitState(folder_.path(), azsim::DemoScenario());
        if (seed) state_.mutate([&](azsim::StateDocument& doc) { return seed(doc), true; });
        std::string error;
        ASSERT_TRUE(endpoint_.start(&error)) << error;
        client_ = std::make_unique<HttpsClient>(endpoint_.connectToEntry(), endpoint_.caBundlePath());
        const azsim::Subscription s = state_.load().subscription();
        const std::string form = "grant_type=client_credentials&client_id=" + s.applicationId + "&client_secret=" +
                                 s.secret + "&scope=https%3A%2F%2Fmanagement.azure.com%2F.default";
        const HttpReply granted = client_->send({"POST",
                                                 "https://login.microsoftonline.com/" + s.tenantId + "/oauth2/v2.0/token",
                                                 {"Content-Type: application/x-www-form-urlencoded"},
                                                 &form});
        bearer_ = "Authorization: Bearer " + nlohmann::json::parse(granted.body).value("access_token", "");
        subscriptionUrl_ = "https://management.azure.com/subscriptions/" + s.id;
    }
    // Azure's error code of an answer, "" for none.
    static std::string Code(const HttpReply& reply) {
        const nlohmann::json body = nlohmann::json::parse(reply.body, nullptr, false);
        return body.is_object() && body.contains("error") ? body["error"].value("code", "") : "";
    }

    TempFolder folder_;
    azsim::SubscriptionState state_{folder_.path()};
    azsim::BlobEndpoint endpoint_{folder_.path()};
    std::unique_ptr<HttpsClient> client_;
    std::string bearer_;           // "Authorization: Bearer ..."
    std::string subscriptionUrl_;  // "https://management.azure.com/subscriptions/{id}"
};

}  // namespace azsimtest
