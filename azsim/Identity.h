// Sign-in to a simulated subscription: the application (client) id and its
// secret must match what the subscription holds. Failures carry the texts an
// identity service answers with, so callers see what they would see in the cloud.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace azsim {

struct SignInResult {
    bool ok = false;
    std::string errorText;
};

// `document` is the state document; subscriptions live in its "subscriptions" array,
// each with "id", "applicationId", "secret" and optional "tenantId" and "name".
SignInResult SignIn(const nlohmann::json& document, const std::string& subscriptionId,
                    const std::string& applicationId, const std::string& secret);

// Sign-in of the classic model: the subscription itself is the identity and `secret` its credential.
SignInResult SignInClassic(const nlohmann::json& document, const std::string& subscriptionId,
                           const std::string& secret);

// True when the document holds a subscription with this id.
bool HasSubscription(const nlohmann::json& document, const std::string& subscriptionId);

}  // namespace azsim
