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
