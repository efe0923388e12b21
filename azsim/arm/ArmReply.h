// Answers of the management side of the endpoint in Resource Manager's form:
// JSON bodies, and errors as {"error": {"code": ..., "message": ...}} with the
// request id headers every answer carries.
#pragma once

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <string>

namespace azsim {

void sendJson(httplib::Response& res, int status, const nlohmann::json& body);
void sendArmError(httplib::Response& res, int status, const std::string& code, const std::string& message);
// 404 "ResourceGroupNotFound" for a group the subscription does not have.
void sendGroupNotFound(httplib::Response& res, const std::string& group);
// 404 "ResourceNotFound" for resource `name` of `type` ("Microsoft.Compute/disks") in `group`.
void sendResourceNotFound(httplib::Response& res, const std::string& type, const std::string& group,
                          const std::string& name);
// The "Retry-After" a throttled or unavailable answer carries, in seconds.
constexpr int kRetryAfterSeconds = 1;

}  // namespace azsim
