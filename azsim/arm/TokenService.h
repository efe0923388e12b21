// The identity service of a simulated subscription: the OAuth2 token endpoint
// for the client-credentials grant, under the public cloud's form
// ("/{tenant}/oauth2/token" with "resource", "/{tenant}/oauth2/v2.0/token" with
// "scope") and the federation-service form of on-premises clouds
// ("/adfs/oauth2/token", with a "resource" or a "scope"); and the discovery
// document that names each ("/{tenant}[/v2.0]/.well-known/openid-configuration",
// "/adfs/.well-known/openid-configuration"). The client id and secret must be
// an application the subscriptions of the state folder hold, and the tenant
// that subscription's.
#pragma once

#include <httplib.h>

#include <string>

namespace azsim {

class TokenService {
public:
    explicit TokenService(std::string stateDir);
    // True when `path` is a token endpoint; the request is then answered.
    bool handle(const httplib::Request& req, httplib::Response& res) const;

private:
    void discover(const httplib::Request& req, httplib::Response& res, const std::string& tenant, bool v2) const;
    void grant(const httplib::Request& req, httplib::Response& res, const std::string& tenant, bool v2) const;

    std::string stateDir_;
};

}  // namespace azsim
