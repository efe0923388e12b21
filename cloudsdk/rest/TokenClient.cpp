#include "cloudsdk/rest/TokenClient.h"

#include <curl/curl.h>

#include <nlohmann/json.hpp>

#include "cloudsdk/rest/HttpExchange.h"

namespace AzureSDKCppBridge::rest {

namespace {

std::string formEscape(const std::string& value) {
    char* escaped = curl_easy_escape(nullptr, value.c_str(), static_cast<int>(value.size()));
    std::string out = escaped ? escaped : "";
    curl_free(escaped);
    return out;
}

// "expires_in" is a number in version 2 answers and a string in version 1 answers.
long long secondsOf(const nlohmann::json& value) {
    if (value.is_number_integer()) return value.get<long long>();
    if (value.is_string()) return std::stoll(value.get<std::string>());
    return 0;
}

// Why an answer holds no token: the identity service's "error_description" (else its "error"), or the
// message of a gateway's {"error": {"code", "message"}} body.
std::string reasonOf(const nlohmann::json& body) {
    if (!body.is_object() || !body.contains("error")) return std::string();
    const nlohmann::json& error = body["error"];
    if (error.is_object()) return error.value("code", std::string()) + ": " + error.value("message", std::string());
    const std::string description = body.value("error_description", std::string());
    return description.empty() && error.is_string() ? error.get<std::string>() : description;
}

}  // namespace

TokenClient::TokenClient(CloudEndpoints endpoints, std::string clientId, std::string secret, std::string audience)
    : endpoints_(std::move(endpoints)),
      clientId_(std::move(clientId)),
      secret_(std::move(secret)),
      audience_(audience.empty() ? endpoints_.resourceManager + "/" : std::move(audience)) {}

bool TokenClient::token(const std::string& tenant, std::string& token, std::string& error, bool& refused) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (token_.empty() || std::chrono::steady_clock::now() >= refreshAt_) {
        if (!fetch(tenant, error, refused)) return false;
    }
    token = token_;
    return true;
}

bool TokenClient::fetch(const std::string& tenant, std::string& error, bool& refused) {
    std::string form = "grant_type=client_credentials&client_id=" + formEscape(clientId_) +
                       "&client_secret=" + formEscape(secret_);
    form += endpoints_.federation() ? "&resource=" + formEscape(audience_)
                                    : "&scope=" + formEscape(audience_ + ".default");
    const std::string url = endpoints_.tokenUrl(tenant);
    const HttpReply reply = SendHttp(NX_HTTP_POST, url, {}, form, "application/x-www-form-urlencoded");
    // Only a 4xx answer refuses the credentials; no answer or a server error leaves them unjudged.
    refused = reply.status >= 400 && reply.status < 500;
    if (reply.status == 0) {
        error = "The identity service at [" + url + "] could not be reached: " + reply.transportError;
        return false;
    }
    const nlohmann::json body = nlohmann::json::parse(reply.body, nullptr, false);
    if (reply.status != 200 || !body.is_object() || !body.contains("access_token")) {
        const std::string reason = reasonOf(body);
        const char* what = refused ? "refused a token" : "could not answer";
        error = std::string("The identity service ") + what + " (HTTP " + std::to_string(reply.status) + ")" +
                (reason.empty() ? std::string() : ": " + reason);
        return false;
    }
    token_ = body["access_token"].get<std::string>();
    const long long lifetime = body.contains("expires_in") ? secondsOf(body["expires_in"]) : 0;
    refreshAt_ = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime) - kRefreshMargin;
    return true;
}

}  // namespace AzureSDKCppBridge::rest
