// Sign-in of the classic model to a simulated subscription, and whether a
// subscription exists. Failures carry the texts the management service answers
// with, so callers see what they would see in the cloud.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace azsim {

struct SignInResult {
    bool ok = false;
    std::string errorText;
};

// `document` is the state document; subscriptions live in its "subscriptions" array,
// each with "id", "secret" and optional "tenantId", "applicationId" and "name".

// Sign-in of the classic model: the subscription itself is the identity and `secret` its credential.
SignInResult SignInClassic(const nlohmann::json& document, const std::string& subscriptionId,
                           const std::string& secret);

}  // namespace azsim
