#include "azsim/arm/ArmReply.h"

namespace azsim {

void sendJson(httplib::Response& res, int status, const nlohmann::json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json; charset=utf-8");
}

void sendArmError(httplib::Response& res, int status, const std::string& code, const std::string& message) {
    res.set_header("x-ms-failure-cause", status >= 500 ? "service" : "gateway");
    if (status == 429 || status == 503) res.set_header("Retry-After", std::to_string(kRetryAfterSeconds));
    sendJson(res, status, {{"error", {{"code", code}, {"message", message}}}});
}

}  // namespace azsim

namespace azsim {

void sendGroupNotFound(httplib::Response& res, const std::string& group) {
    sendArmError(res, 404, "ResourceGroupNotFound", "Resource group '" + group + "' could not be found.");
}

void sendResourceNotFound(httplib::Response& res, const std::string& type, const std::string& group,
                          const std::string& name) {
    sendArmError(res, 404, "ResourceNotFound",
                 "The Resource '" + type + "/" + name + "' under resource group '" + group +
                     "' was not found. For more details please go to https://aka.ms/ARMResourceNotFoundFix");
}

}  // namespace azsim
