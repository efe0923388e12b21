#include "azsim/Identity.h"

#include <boost/algorithm/string/predicate.hpp>

namespace azsim {

namespace {

const nlohmann::json* FindSubscription(const nlohmann::json& document, const std::string& id) {
    auto it = document.find("subscriptions");
    if (it == document.end() || !it->is_array()) return nullptr;
    for (const auto& sub : *it)
        if (boost::algorithm::iequals(sub.value("id", ""), id)) return &sub;
    return nullptr;
}

SignInResult Failure(std::string text) {
    SignInResult r;
    r.errorText = std::move(text);
    return r;
}

}  // namespace

bool HasSubscription(const nlohmann::json& document, const std::string& subscriptionId) {
    return FindSubscription(document, subscriptionId) != nullptr;
}

SignInResult SignIn(const nlohmann::json& document, const std::string& subscriptionId,
                    const std::string& applicationId, const std::string& secret) {
    const nlohmann::json* sub = FindSubscription(document, subscriptionId);
    if (!sub)
        return Failure("SubscriptionNotFound: The subscription '" + subscriptionId + "' could not be found.");
    std::string tenant = sub->value("tenantId", "");
    if (!boost::algorithm::iequals(sub->value("applicationId", ""), applicationId))
        return Failure("AADSTS700016: Application with identifier '" + applicationId +
                       "' was not found in the directory '" + tenant +
                       "'. This can happen if the application has not been installed by the administrator "
                       "of the tenant or consented to by any user in the tenant.");
    if (sub->value("secret", "") != secret)
        return Failure("AADSTS7000215: Invalid client secret provided. Ensure the secret being sent in the "
                       "request is the client secret value, not the client secret ID, for a secret added to app '" +
                       applicationId + "'.");
    SignInResult ok;
    ok.ok = true;
    return ok;
}

SignInResult SignInClassic(const nlohmann::json& document, const std::string& subscriptionId,
                           const std::string& secret) {
    const nlohmann::json* sub = FindSubscription(document, subscriptionId);
    if (!sub)
        return Failure("SubscriptionNotFound: The subscription '" + subscriptionId + "' could not be found.");
    if (sub->value("secret", "") != secret)
        return Failure("ForbiddenError: The server failed to authenticate the request. Verify that the credential "
                       "is valid and is associated with subscription '" + subscriptionId + "'.");
    SignInResult ok;
    ok.ok = true;
    return ok;
}

}  // namespace azsim
