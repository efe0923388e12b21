// Resource Manager routes of a simulated subscription: the subscription,
// resource groups, virtual machines with their instance view and power
// actions, and the status resource of the long-running operations those
// actions start. Each request is checked for a bearer token the subscription's
// authority issued and for an api-version its provider answers, then
// translated to the subscription's model and the answer back to Azure's shapes.
#pragma once

#include <httplib.h>

#include <string>
#include <vector>

#include "azsim/arm/AsyncOperations.h"
#include "azsim/auth/AccessAuthority.h"
#include "azsim/model/SubscriptionState.h"

namespace azsim {

class ResourceManager {
public:
    explicit ResourceManager(const std::string& stateDir);
    void handle(const httplib::Request& req, httplib::Response& res);

private:
    using Segments = std::vector<std::string>;
    bool authorize(const httplib::Request& req, httplib::Response& res, const Segments& path) const;
    bool checkVersion(const httplib::Request& req, httplib::Response& res, const Segments& path) const;
    void route(const httplib::Request& req, httplib::Response& res, const Segments& path);
    void listGroups(httplib::Response& res, const std::string& subscription) const;
    void getGroup(httplib::Response& res, const std::string& subscription, const std::string& group) const;
    void listVms(httplib::Response& res, const std::string& subscription, const std::string& group) const;
    void getVm(const httplib::Request& req, httplib::Response& res, const Segments& path) const;
    void powerAction(const httplib::Request& req, httplib::Response& res, const Segments& path);
    void operationStatus(const httplib::Request& req, httplib::Response& res, const std::string& id) const;

    SubscriptionState state_;
    AccessAuthority authority_;
    AsyncOperations operations_;
};

}  // namespace azsim
