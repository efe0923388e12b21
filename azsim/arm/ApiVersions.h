// The api-versions each resource provider of the simulated subscription
// answers, and the check every Resource Manager request passes first.
#pragma once

#include <httplib.h>

#include <string>
#include <vector>

#include "azsim/arm/ArmCall.h"

namespace azsim {

// The api-versions `provider` ("Microsoft.Compute") answers, newest first; none for an unknown one.
std::vector<std::string> ApiVersionsOf(const std::string& provider);

// True when the request names an api-version its provider answers; else answers 400 as Azure does.
bool CheckApiVersion(const httplib::Request& req, httplib::Response& res, const Segments& path);

}  // namespace azsim
