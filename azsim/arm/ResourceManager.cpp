#include "azsim/arm/ResourceManager.h"

#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/predicate.hpp>

#include <set>

#include "azsim/arm/ArmReply.h"
#include "azsim/arm/ArmShapes.h"

namespace azsim {

namespace {

using boost::algorithm::iequals;

const char* const kComputeVersion = "2023-09-01";

// The api-versions each provider answers here.
const std::set<std::string> kSubscriptionVersions = {"2016-06-01", "2019-11-01", "2020-01-01", "2022-12-01"};
const std::set<std::string> kResourceVersions = {"2018-05-01", "2019-10-01", "2020-06-01", "2021-04-01",
                                                 "2022-09-01"};
const std::set<std::string> kComputeVersions = {"2020-06-01", "2021-03-01", "2021-07-01", "2022-03-01",
                                                "2022-08-01", "2022-11-01", "2023-03-01", "2023-07-01",
                                                "2023-09-01", "2024-03-01"};

std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> out;
    for (std::size_t start = 1; start <= path.size();) {
        std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) out.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// True when `path` has the shape of `pattern`, whose "*" segments match any name and others match
// case-insensitively.
bool shaped(const std::vector<std::string>& path, std::initializer_list<const char*> pattern) {
    if (path.size() != pattern.size()) return false;
    std::size_t i = 0;
    for (const char* part : pattern) {
        if (std::string(part) != "*" && !iequals(path[i], part)) return false;
        ++i;
    }
    return true;
}

bool isCompute(const std::vector<std::string>& path) {
    for (const std::string& segment : path)
        if (iequals(segment, "Microsoft.Compute")) return true;
    return false;
}

std::string vmNotFound(const std::string& group, const std::string& name) {
    return "The Resource 'Microsoft.Compute/virtualMachines/" + name + "' under resource group '" + group +
           "' was not found. For more details please go to https://aka.ms/ARMResourceNotFoundFix";
}

std::string groupNotFound(const std::string& group) {
    return "Resource group '" + group + "' could not be found.";
}

}  // namespace

ResourceManager::ResourceManager(const std::string& stateDir) : state_(stateDir), authority_(stateDir) {}

void ResourceManager::handle(const httplib::Request& req, httplib::Response& res) {
    const Segments path = split(req.path);
    if (path.size() < 2 || !iequals(path[0], "subscriptions"))
        return sendArmError(res, 404, "InvalidResourceType", "The resource type could not be found.");
    if (!authorize(req, res, path) || !checkVersion(req, res, path)) return;
    const StateDocument doc = state_.load();
    if (!doc.findSubscription(path[1]))
        return sendArmError(res, 404, "SubscriptionNotFound", "The subscription '" + path[1] + "' could not be found.");
    route(req, res, path);
}

bool ResourceManager::authorize(const httplib::Request& req, httplib::Response& res, const Segments& path) const {
    const std::string authorization = req.get_header_value("Authorization");
    const bool bearer = authorization.compare(0, 7, "Bearer ") == 0;
    const AccessVerdict verdict = bearer ? authority_.verifyToken(authorization.substr(7)) : AccessVerdict::Missing;
    if (verdict == AccessVerdict::Ok) return true;
    // The challenge names the authority of the subscription's tenant, so that a client can find its tenant.
    std::string tenant = "common";
    const StateDocument doc = state_.load();
    if (const Subscription* s = doc.findSubscription(path[1]); s && !s->tenantId.empty()) tenant = s->tenantId;
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

bool ResourceManager::checkVersion(const httplib::Request& req, httplib::Response& res, const Segments& path) const {
    const std::string version = req.get_param_value("api-version");
    if (version.empty()) {
        sendArmError(res, 400, "MissingApiVersionParameter",
                     "The api-version query parameter (?api-version=) is required for all requests.");
        return false;
    }
    const bool compute = isCompute(path);
    const std::set<std::string>& known =
        compute ? kComputeVersions : path.size() == 2 ? kSubscriptionVersions : kResourceVersions;
    if (known.count(version)) return true;
    if (compute)
        sendArmError(res, 400, "NoRegisteredProviderFound",
                     "No registered resource provider found for API version '" + version +
                         "' and type 'virtualMachines'. The supported api-versions are '" +
                         boost::algorithm::join(known, ", ") + "'.");
    else
        sendArmError(res, 400, "InvalidApiVersionParameter",
                     "The api-version '" + version + "' is invalid. The supported versions are '" +
                         boost::algorithm::join(known, ",") + "'.");
    return false;
}

void ResourceManager::route(const httplib::Request& req, httplib::Response& res, const Segments& path) {
    const bool get = req.method == "GET";
    const std::string& subscription = path[1];
    if (get && path.size() == 2) {
        const StateDocument doc = state_.load();
        const Subscription* s = doc.findSubscription(subscription);
        return sendJson(res, 200, {{"id", "/subscriptions/" + s->id},
                                   {"subscriptionId", s->id},
                                   {"tenantId", s->tenantId},
                                   {"displayName", s->name},
                                   {"state", "Enabled"}});
    }
    if (get && shaped(path, {"subscriptions", "*", "resourcegroups"})) return listGroups(res, subscription);
    if (get && shaped(path, {"subscriptions", "*", "resourcegroups", "*"}))
        return getGroup(res, subscription, path[3]);
    if (get && shaped(path, {"subscriptions", "*", "providers", "Microsoft.Compute", "virtualMachines"}))
        return listVms(res, subscription, std::string());
    if (get && shaped(path, {"subscriptions", "*", "resourcegroups", "*", "providers", "Microsoft.Compute",
                             "virtualMachines"}))
        return listVms(res, subscription, path[3]);
    if (get && shaped(path, {"subscriptions", "*", "resourcegroups", "*", "providers", "Microsoft.Compute",
                             "virtualMachines", "*"}))
        return getVm(req, res, path);
    if (req.method == "POST" && shaped(path, {"subscriptions", "*", "resourcegroups", "*", "providers",
                                              "Microsoft.Compute", "virtualMachines", "*", "*"}))
        return powerAction(req, res, path);
    if (get && shaped(path, {"subscriptions", "*", "providers", "Microsoft.Compute", "locations", "*", "operations",
                             "*"}))
        return operationStatus(req, res, path[7]);
    sendArmError(res, get || req.method == "POST" ? 404 : 405,
                 get || req.method == "POST" ? "InvalidResourceType" : "MethodNotAllowed",
                 "The resource type or method of '" + req.method + " " + req.path + "' is not served.");
}

void ResourceManager::listGroups(httplib::Response& res, const std::string& subscription) const {
    nlohmann::json value = nlohmann::json::array();
    for (const ResourceGroup& group : state_.load().resourceGroups)
        value.push_back(ResourceGroupJson(subscription, group));
    sendJson(res, 200, {{"value", value}});
}

void ResourceManager::getGroup(httplib::Response& res, const std::string& subscription,
                               const std::string& group) const {
    const StateDocument doc = state_.load();
    const ResourceGroup* found = doc.findResourceGroup(group);
    if (!found) return sendArmError(res, 404, "ResourceGroupNotFound", groupNotFound(group));
    sendJson(res, 200, ResourceGroupJson(subscription, *found));
}

void ResourceManager::listVms(httplib::Response& res, const std::string& subscription,
                              const std::string& group) const {
    const StateDocument doc = state_.load();
    if (!group.empty() && !doc.findResourceGroup(group))
        return sendArmError(res, 404, "ResourceGroupNotFound", groupNotFound(group));
    nlohmann::json value = nlohmann::json::array();
    for (const VirtualMachine& vm : doc.vms)
        if (group.empty() || iequals(vm.resourceGroup, group))
            value.push_back(VirtualMachineJson(doc, subscription, vm, false));
    sendJson(res, 200, {{"value", value}});
}

void ResourceManager::getVm(const httplib::Request& req, httplib::Response& res, const Segments& path) const {
    const StateDocument doc = state_.load();
    if (!doc.findResourceGroup(path[3])) return sendArmError(res, 404, "ResourceGroupNotFound", groupNotFound(path[3]));
    const VirtualMachine* vm = doc.findVm(path[7], path[3]);
    if (!vm) return sendArmError(res, 404, "ResourceNotFound", vmNotFound(path[3], path[7]));
    sendJson(res, 200, VirtualMachineJson(doc, path[1], *vm, iequals(req.get_param_value("$expand"), "instanceView")));
}

void ResourceManager::powerAction(const httplib::Request& req, httplib::Response& res, const Segments& path) {
    const std::string& action = path[8];
    PowerState target = PowerState::Unknown;
    if (iequals(action, "start")) target = PowerState::Running;
    if (iequals(action, "powerOff")) target = PowerState::Stopped;
    if (iequals(action, "deallocate")) target = PowerState::Deallocated;
    if (target == PowerState::Unknown)
        return sendArmError(res, 404, "InvalidResourceType",
                            "The resource type 'virtualMachines/" + action + "' could not be found.");
    std::string region;
    int status = 0;
    state_.mutate([&](StateDocument& doc) {
        VirtualMachine* vm = doc.findResourceGroup(path[3]) ? doc.findVm(path[7], path[3]) : nullptr;
        if (!vm) {
            status = 404;
            return false;
        }
        region = vm->region;
        // Powering off a deallocated VM leaves it deallocated, as the cloud does.
        if (vm->powerState == target || (target == PowerState::Stopped && vm->powerState == PowerState::Deallocated))
            return false;
        vm->powerState = target;
        return true;
    });
    if (status == 404 && !state_.load().findResourceGroup(path[3]))
        return sendArmError(res, 404, "ResourceGroupNotFound", groupNotFound(path[3]));
    if (status == 404) return sendArmError(res, 404, "ResourceNotFound", vmNotFound(path[3], path[7]));
    const std::string id = operations_.succeeded();
    const std::string statusUrl = "https://" + req.get_header_value("Host") + "/subscriptions/" + path[1] +
                                   "/providers/Microsoft.Compute/locations/" + region + "/operations/" + id +
                                   "?p=" + id + "&api-version=" + kComputeVersion;
    res.set_header("Azure-AsyncOperation", statusUrl);
    res.set_header("Location", statusUrl + "&monitor=true");
    // The change is made already: the status can be read at once.
    res.set_header("Retry-After", "0");
    res.status = 202;
}

void ResourceManager::operationStatus(const httplib::Request& req, httplib::Response& res,
                                      const std::string& id) const {
    const std::optional<AsyncOperation> op = operations_.find(id);
    if (!op)
        return sendArmError(res, 404, "OperationNotFound",
                            "The operation '" + id + "' was not found.");
    // The Location form answers like the action's own result: 200 once it has ended.
    if (req.get_param_value("monitor") == "true") {
        res.status = 200;
        return;
    }
    sendJson(res, 200, {{"name", op->id}, {"startTime", op->startTime}, {"endTime", op->endTime},
                        {"status", op->status}});
}

}  // namespace azsim
