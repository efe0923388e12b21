// The management side of the endpoint: requests to the identity service
// (hosts "login.*" and "adfs.*") and to Resource Manager (hosts
// "management.*", whatever cloud suffix follows). Every request first meets
// the HTTP fault rules (matched against its path), then its service; each is
// recorded in the endpoint's request log as blob requests are.
#pragma once

#include <httplib.h>

#include <string>

#include "azsim/arm/ResourceManager.h"
#include "azsim/arm/TokenService.h"
#include "azsim/endpoint/RequestLog.h"
#include "azsim/faults/FaultBook.h"

namespace azsim {

class ManagementService {
public:
    explicit ManagementService(const std::string& stateDir);

    // True for a request to one of the hosts this side serves.
    static bool Serves(const std::string& host);
    void handle(const httplib::Request& req, httplib::Response& res);

private:
    // The kind of fault applied ("status", "delay", "drop"), or null; false when the request is answered.
    bool applyFault(const httplib::Request& req, httplib::Response& res, const char** applied);
    void serve(const httplib::Request& req, httplib::Response& res);

    TokenService tokens_;
    ResourceManager resources_;
    FaultBook faults_;
    RequestLog log_;
};

}  // namespace azsim
