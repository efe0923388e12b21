#include "azsim/arm/ResourceManager.h"

#include <boost/algorithm/string/predicate.hpp>

#include <algorithm>

#include "azsim/arm/ApiVersions.h"
#include "azsim/arm/ArmReply.h"
#include "azsim/arm/ArmShapes.h"

namespace azsim {

namespace {

using boost::algorithm::iequals;

// The identity service and audience of the cloud whose Resource Manager is `host`: the public clouds' own,
// and for any other the federation service on the sibling host "adfs.<suffix>", as on-premises clouds have.
nlohmann::json CloudMetadata(const std::string& host) {
    const std::string suffix = host.substr(host.find('.') + 1);  // with the port, if any
    const std::string domain = suffix.substr(0, suffix.find(':'));
    static const char* const kPublic[][3] = {
        {"azure.com", "https://login.microsoftonline.com/", "https://management.core.windows.net/"},
        {"chinacloudapi.cn", "https://login.chinacloudapi.cn/", "https://management.core.chinacloudapi.cn/"},
        {"usgovcloudapi.net", "https://login.microsoftonline.us/", "https://management.core.usgovcloudapi.net/"},
    };
    nlohmann::json authentication = {{"loginEndpoint", "https://adfs." + suffix + "/adfs"},
                                     {"audiences", {"https://" + host + "/"}}};
    for (const auto& cloud : kPublic)
        if (iequals(domain, cloud[0])) authentication = {{"loginEndpoint", cloud[1]}, {"audiences", {cloud[2]}}};
    return {{"galleryEndpoint", "https://gallery." + suffix + "/"},
            {"graphEndpoint", "https://graph." + suffix + "/"},
            {"portalEndpoint", "https://portal." + suffix + "/"},
            {"authentication", authentication}};
}

}  // namespace

ResourceManager::ResourceManager(const std::string& stateDir) : state_(stateDir), authority_(stateDir) {}

void ResourceManager::handle(const httplib::Request& req, httplib::Response& res) {
    const Segments path = SplitPath(req.path);
    // The cloud's endpoints are public: a client reads them before it has a token.
    if (req.method == "GET" && path.size() == 2 && iequals(path[0], "metadata") && iequals(path[1], "endpoints")) {
        if (CheckApiVersion(req, res, path)) sendJson(res, 200, CloudMetadata(req.get_header_value("Host")));
        return;
    }
    const bool directory = path.size() == 1 && (iequals(path[0], "subscriptions") || iequals(path[0], "tenants"));
    if (!directory && (path.size() < 2 || !iequals(path[0], "subscriptions")))
        return sendArmError(res, 404, "InvalidResourceType", "The resource type could not be found.");
    if (!authorize(req, res, path) || !CheckApiVersion(req, res, path)) return;
    if (directory) return listDirectory(req, res, path[0]);
    const StateDocument doc = state_.load();
    if (!doc.findSubscription(path[1]))
        return sendArmError(res, 404, "SubscriptionNotFound", "The subscription '" + path[1] + "' could not be found.");
    ArmCall call{req, res, path, state_, operations_};
    if (req.method == "GET" && call.shaped({"subscriptions", "*", "providers", "*", "locations", "*", "operations", "*"}))
        return operationStatus(req, res, path[7]);
    for (ArmRoutes routes : AllArmRoutes())
        if (routes(call)) return;
    const bool known = req.method == "GET" || req.method == "POST" || req.method == "PUT" || req.method == "DELETE" ||
                       req.method == "PATCH";
    sendArmError(res, known ? 404 : 405, known ? "InvalidResourceType" : "MethodNotAllowed",
                 "The resource type or method of '" + req.method + " " + req.path + "' is not served.");
}

bool ResourceManager::authorize(const httplib::Request& req, httplib::Response& res, const Segments& path) const {
    const std::string authorization = req.get_header_value("Authorization");
    const bool bearer = authorization.compare(0, 7, "Bearer ") == 0;
    const AccessVerdict verdict = bearer ? authority_.verifyToken(authorization.substr(7)) : AccessVerdict::Missing;
    if (verdict == AccessVerdict::Ok) return true;
    // The challenge names the authority of the subscription's tenant, so that a client can find its tenant.
    std::string tenant = "common";
    const StateDocument doc = state_.load();
    const Subscription* s = path.size() > 1 ? doc.findSubscription(path[1]) : nullptr;
    if (s && !s->tenantId.empty()) tenant = s->tenantId;
    std::string code = "AuthenticationFailed";
    std::string message = "Authentication failed. The 'Authorization' header is missing.";
    if (bearer && verdict == AccessVerdict::Expired) {
        code = "ExpiredAuthenticationToken";
        message = "The access token expiry UTC time is earlier than the current UTC time.";
    } else if (bearer || !authorization.empty()) {
        code = "InvalidAuthenticationToken";
        message = "The access token is invalid.";
    }
    res.set_header("WWW-Authenticate", "Bearer authorization_uri=\"https://login.microsoftonline.com/" + tenant +
                                           "\", error=\"invalid_token\", error_description=\"" + message + "\"");
    sendArmError(res, 401, code, message);
    return false;
}

void ResourceManager::listDirectory(const httplib::Request& req, httplib::Response& res,
                                    const std::string& kind) const {
    if (req.method != "GET")
        return sendArmError(res, 405, "MethodNotAllowed", "The method '" + req.method + "' is not served here.");
    nlohmann::json value = nlohmann::json::array();
    std::vector<std::string> tenants;
    for (const Subscription& s : state_.load().subscriptions) {
        if (iequals(kind, "subscriptions")) value.push_back(SubscriptionJson(s));
        else if (std::find(tenants.begin(), tenants.end(), s.tenantId) == tenants.end()) tenants.push_back(s.tenantId);
    }
    for (const std::string& tenant : tenants) value.push_back(TenantJson(tenant));
    sendJson(res, 200, {{"value", value}});
}

void ResourceManager::operationStatus(const httplib::Request& req, httplib::Response& res,
                                      const std::string& id) const {
    const std::optional<AsyncOperation> op = operations_.find(id);
    if (!op)
        return sendArmError(res, 404, "OperationNotFound",
                            "The operation '" + id + "' was not found.");
    // The Location form answers like the action's own result: 200 once it has ended.
    if (req.get_param_value("monitor") == "true") {
        if (op->result.is_null()) res.status = 200;
        else sendJson(res, 200, op->result);
        return;
    }
    sendJson(res, 200, {{"name", op->id}, {"startTime", op->startTime}, {"endTime", op->endTime},
                        {"status", op->status}});
}

}  // namespace azsim
