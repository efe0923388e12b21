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
