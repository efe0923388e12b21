// Resource Manager of a simulated subscription: hands each request to the
// routes of its provider, and serves the status resource of the
// long-running operations those routes start, the lists of subscriptions and
// tenants, and the cloud's endpoint metadata ("/metadata/endpoints", which
// needs no token). Each other request is checked for a bearer token the
// subscription's authority issued and for an api-version its provider
// answers, then translated to the subscription's model and the answer back
// to Azure's shapes.
#pragma once

#include <httplib.h>

#include <string>
#include <vector>

#include "azsim/arm/ArmCall.h"
#include "azsim/arm/AsyncOperations.h"
#include "azsim/auth/AccessAuthority.h"
#include "azsim/model/SubscriptionState.h"

namespace azsim {

class ResourceManager {
public:
    explicit ResourceManager(const std::string& stateDir);
    void handle(const httplib::Request& req, httplib::Response& res);

private:
    bool authorize(const httplib::Request& req, httplib::Response& res, const Segments& path) const;
    // The subscriptions or the tenants ("subscriptions", "tenants") the caller's directory holds.
    void listDirectory(const httplib::Request& req, httplib::Response& res, const std::string& kind) const;
    void operationStatus(const httplib::Request& req, httplib::Response& res, const std::string& id) const;

    SubscriptionState state_;
    AccessAuthority authority_;
    AsyncOperations operations_;
};

}  // namespace azsim
