#include "azsim/arm/ManagementService.h"

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "azsim/arm/ArmReply.h"
#include "azsim/endpoint/HttpForms.h"
#include "azsim/model/StateDocument.h"

namespace azsim {

namespace {

std::string firstLabel(const std::string& host) {
    std::string label = host.substr(0, host.find_first_of(".:"));
    for (char& c : label) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return label;
}

// The error code of an answer: Resource Manager's "error.code" or the identity service's "error".
std::string errorCodeOf(const httplib::Response& res) {
    if (res.status < 400) return std::string();
    const nlohmann::json body = nlohmann::json::parse(res.body, nullptr, false);
    if (!body.is_object() || !body.contains("error")) return std::string();
    const nlohmann::json& error = body["error"];
    if (error.is_string()) return error.get<std::string>();
    return error.is_object() ? error.value("code", std::string()) : std::string();
}

std::string credentialKind(const httplib::Request& req) {
    const std::string authorization = req.get_header_value("Authorization");
    if (authorization.empty()) return req.path.find("/oauth2/") != std::string::npos ? "secret" : "none";
    return authorization.compare(0, 7, "Bearer ") == 0 ? "bearer" : "other";
}

}  // namespace

ManagementService::ManagementService(const std::string& stateDir)
    : tokens_(stateDir), resources_(stateDir), faults_(stateDir), log_(stateDir) {}

bool ManagementService::Serves(const std::string& host) {
    const std::string label = firstLabel(host);
    return label == "management" || label == "login" || label == "adfs";
}

void ManagementService::handle(const httplib::Request& req, httplib::Response& res) {
    const std::string requestId = newRequestId();
    res.set_header("x-ms-request-id", requestId);
    res.set_header("x-ms-correlation-request-id", requestId);
    const char* fault = nullptr;
    if (applyFault(req, res, &fault)) serve(req, res);
    RequestRecord record;
    record.time = serviceTimeNow();
    record.requestId = requestId;
    record.method = req.method;
    record.path = req.path;
    record.bodyBytes = req.body.size();
    record.auth = credentialKind(req);
    record.status = res.status;
    record.errorCode = errorCodeOf(res);
    const bool drop = fault && std::string(fault) == "drop";
    if (fault) record.fault = fault;
    if (drop) record.status = 0;
    log_.append(record);
    // Only now, so that a client that sees its connection end finds the request recorded.
    if (drop && SSL_get_fd(req.ssl) >= 0) ::shutdown(SSL_get_fd(req.ssl), SHUT_RDWR);
}

bool ManagementService::applyFault(const httplib::Request& req, httplib::Response& res, const char** applied) {
    std::optional<HttpFault> fault = faults_.takeHttpFault(req.method, req.path);
    if (!fault) return true;
    switch (fault->kind) {
        case HttpFaultKind::Status:
            *applied = "status";
            sendArmError(res, fault->status, fault->errorCode, "Injected failure of '" + req.path + "'.");
            return false;
        case HttpFaultKind::Delay:
            *applied = "delay";
            std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));
            return true;
        case HttpFaultKind::Drop:
        case HttpFaultKind::ShortBody:  // management answers are small: a short one is a dropped one
            *applied = "drop";
            res.status = 500;
            return false;
    }
    return true;
}

void ManagementService::serve(const httplib::Request& req, httplib::Response& res) {
    try {
        if (firstLabel(req.get_header_value("Host")) == "management")
            resources_.handle(req, res);
        else if (!tokens_.handle(req, res))
            sendJson(res, 404, {{"error", "invalid_request"}, {"error_description", "No such endpoint."}});
    } catch (const std::exception& e) {
        sendArmError(res, 500, "InternalServerError", e.what());
    }
}

}  // namespace azsim
