#include "azsim/arm/TokenService.h"

#include <boost/algorithm/string/predicate.hpp>

#include <algorithm>
#include <chrono>
#include <regex>

#include "azsim/arm/ArmReply.h"
#include "azsim/auth/AccessAuthority.h"
#include "azsim/auth/KeyFile.h"
#include "azsim/endpoint/HttpForms.h"
#include "azsim/model/SubscriptionState.h"

namespace azsim {

namespace {

// The federation service of an on-premises cloud is its own tenant.
const char* const kFederationTenant = "adfs";

std::int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The identity service's error body: {"error", "error_description" starting "AADSTS<n>: ", "error_codes", ...}.
void sendOAuthError(httplib::Response& res, int status, const std::string& error, int number,
                    const std::string& description) {
    const std::string trace = newRequestId();
    sendJson(res, status,
             {{"error", error},
              {"error_description", "AADSTS" + std::to_string(number) + ": " + description +
                                        " Trace ID: " + trace + " Timestamp: " + serviceTimeNow()},
              {"error_codes", {number}},
              {"timestamp", serviceTimeNow()},
              {"trace_id", trace},
              {"correlation_id", newRequestId()}});
}

const Subscription* applicationOf(const StateDocument& doc, const std::string& clientId) {
    for (const Subscription& s : doc.subscriptions)
        if (boost::algorithm::iequals(s.applicationId, clientId)) return &s;
    return nullptr;
}

}  // namespace

TokenService::TokenService(std::string stateDir) : stateDir_(std::move(stateDir)) {}

bool TokenService::handle(const httplib::Request& req, httplib::Response& res) const {
    static const std::regex tokenPath("^/([^/]+)/oauth2/(v2\\.0/)?token$", std::regex::icase);
    static const std::regex discoveryPath("^/([^/]+)/(v2\\.0/)?\\.well-known/openid-configuration$",
                                          std::regex::icase);
    std::smatch match;
    if (req.method == "GET" && std::regex_match(req.path, match, discoveryPath)) {
        discover(req, res, match[1].str(), match[2].matched);
        return true;
    }
    if (!std::regex_match(req.path, match, tokenPath)) return false;
    if (req.method != "POST") {
        sendOAuthError(res, 405, "invalid_request", 900561,
                       "The endpoint only accepts POST requests. Received a " + req.method + " request.");
        return true;
    }
    grant(req, res, match[1].str(), match[2].matched);
    return true;
}

void TokenService::discover(const httplib::Request& req, httplib::Response& res, const std::string& tenant,
                            bool v2) const {
    const bool federation = boost::algorithm::iequals(tenant, kFederationTenant);
    // The federation service has no tenants and no version 2 form; the public form knows its tenants
    // and the multi-tenant names.
    const StateDocument doc = SubscriptionState(stateDir_).load();
    const bool known = federation ? !v2
                                  : boost::algorithm::iequals(tenant, "common") ||
                                        boost::algorithm::iequals(tenant, "organizations") ||
                                        std::any_of(doc.subscriptions.begin(), doc.subscriptions.end(),
                                                    [&tenant](const Subscription& s) {
                                                        return boost::algorithm::iequals(s.tenantId, tenant);
                                                    });
    if (!known)
        return sendOAuthError(res, 400, "invalid_tenant", 90002,
                              "Tenant '" + tenant + "' not found. Check to make sure you have the correct tenant ID.");
    const std::string base = "https://" + req.get_header_value("Host") + "/" + tenant;
    const std::string oauth = base + (v2 ? "/oauth2/v2.0" : "/oauth2");
    sendJson(res, 200,
             {{"issuer", v2 ? base + "/v2.0" : base},
              {"authorization_endpoint", oauth + "/authorize"},
              {"token_endpoint", oauth + "/token"},
              {"jwks_uri", base + "/discovery/keys"},
              {"token_endpoint_auth_methods_supported", {"client_secret_post"}},
              {"grant_types_supported", {"client_credentials"}},
              {"response_types_supported", {"token"}},
              {"subject_types_supported", {"public"}},
              {"id_token_signing_alg_values_supported", {"RS256"}},
              {"scopes_supported", {"openid"}}});
}

void TokenService::grant(const httplib::Request& req, httplib::Response& res, const std::string& tenant,
                         bool v2) const {
    httplib::Params form;
    httplib::detail::parse_query_text(req.body, form);
    auto field = [&form](const char* name) {
        auto it = form.find(name);
        return it == form.end() ? std::string() : it->second;
    };
    const std::string grantType = field("grant_type");
    if (grantType.empty())
        return sendOAuthError(res, 400, "invalid_request", 900144,
                              "The request body must contain the following parameter: 'grant_type'.");
    if (grantType != "client_credentials")
        return sendOAuthError(res, 400, "unsupported_grant_type", 70003,
                              "The app requested an unsupported grant type '" + grantType + "'.");
    const bool federation = boost::algorithm::iequals(tenant, kFederationTenant);
    // The federation service takes a version 2 "scope" as well as a "resource", and answers in the form asked.
    const bool scoped = v2 || (federation && field("resource").empty() && !field("scope").empty());
    const char* audienceField = scoped ? "scope" : "resource";
    const std::string audience = field(audienceField);
    if (field("client_id").empty() || audience.empty())
        return sendOAuthError(res, 400, "invalid_request", 900144,
                              std::string("The request body must contain the following parameter: '") +
                                  (field("client_id").empty() ? "client_id" : audienceField) + "'.");
    const StateDocument doc = SubscriptionState(stateDir_).load();
    const Subscription* app = applicationOf(doc, field("client_id"));
    if (!federation && app && !app->tenantId.empty() && !boost::algorithm::iequals(app->tenantId, tenant))
        return sendOAuthError(res, 400, "invalid_request", 90002,
                              "Tenant '" + tenant + "' not found. Check to make sure you have the correct tenant ID.");
    if (!app)
        return sendOAuthError(res, 400, "unauthorized_client", 700016,
                              "Application with identifier '" + field("client_id") +
                                  "' was not found in the directory '" + tenant + "'.");
    if (field("client_secret").empty())
        return sendOAuthError(res, 401, "invalid_client", 7000218,
                              "The request body must contain the following parameter: 'client_assertion' or "
                              "'client_secret'.");
    if (field("client_secret") != app->secret)
        return sendOAuthError(res, 401, "invalid_client", 7000215,
                              "Invalid client secret provided. Ensure the secret being sent in the request is the "
                              "client secret value, not the client secret ID, for a secret added to app '" +
                                  app->applicationId + "'.");

    const std::int64_t lifetime = KeyFile(stateDir_).read().tokenLifetime;
    const std::string token = AccessAuthority(stateDir_).issueToken(app->applicationId);
    // Version 1 answers carry their numbers as strings, version 2 answers as numbers.
    nlohmann::json body = {{"token_type", "Bearer"}, {"access_token", token}};
    if (scoped) {
        body["expires_in"] = lifetime;
        body["ext_expires_in"] = lifetime;
    } else {
        const std::int64_t now = nowSeconds();
        body["expires_in"] = std::to_string(lifetime);
        body["ext_expires_in"] = std::to_string(lifetime);
        body["expires_on"] = std::to_string(now + lifetime);
        body["not_before"] = std::to_string(now);
        body["resource"] = audience;
    }
    res.set_header("Cache-Control", "no-store, no-cache");
    sendJson(res, 200, body);
}

}  // namespace azsim
