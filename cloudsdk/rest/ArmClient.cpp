#include "cloudsdk/rest/ArmClient.h"

#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/Retries.h"

namespace AzureSDKCppBridge::rest {

namespace {

// Polling interval of a long-running operation whose answer names none.
constexpr unsigned long kDefaultPollMs = 10000;

ArmResult failed(int code, const std::string& text) {
    ArmResult result;
    result.code = code;
    result.text = text;
    return result;
}

// The result of a final answer: its body when 2xx, else the wrapper error with Azure's code and message.
ArmResult resultOf(const HttpReply& reply, const std::string& url) {
    if (reply.status == 0)
        return failed(SDK_ERR_GENERAL, "Resource Manager could not be reached at [" + url + "]: " +
                                           reply.transportError);
    const nlohmann::json body = nlohmann::json::parse(reply.body, nullptr, false);
    if (reply.status >= 200 && reply.status < 300) {
        ArmResult result;
        result.ok = true;
        if (!body.is_discarded()) result.body = body;
        return result;
    }
    std::string azure = "HTTP " + std::to_string(reply.status);
    if (body.is_object() && body.contains("error") && body["error"].is_object())
        azure = body["error"].value("code", azure) + ": " + body["error"].value("message", std::string());
    if (reply.status == 404) return failed(SDK_ERR_NOT_FOUND, azure);
    if (reply.status == 401 || reply.status == 403) return failed(SDK_ERR_AUTHENTICATION, azure);
    return failed(SDK_ERR_GENERAL,
                  "Resource Manager could not answer (HTTP " + std::to_string(reply.status) + "): " + azure);
}

// The tenant an authentication challenge names: the last segment of its "authorization_uri".
std::string challengedTenant(const HttpReply& reply) {
    const std::string challenge = reply.header("WWW-Authenticate");
    const std::string key = "authorization_uri=\"";
    std::size_t start = challenge.find(key);
    if (start == std::string::npos) return std::string();
    start += key.size();
    const std::size_t end = challenge.find('"', start);
    if (end == std::string::npos) return std::string();
    const std::string uri = challenge.substr(start, end - start);
    return uri.substr(uri.rfind('/') + 1);
}

}  // namespace

ArmClient::ArmClient(CloudEndpoints endpoints, std::string subscriptionId, std::string clientId, std::string secret)
    : endpoints_(endpoints),
      subscriptionId_(std::move(subscriptionId)),
      tokens_(std::move(endpoints), std::move(clientId), std::move(secret)) {}

bool ArmClient::tenant(std::string& out, ArmResult& failure) {
    std::lock_guard<std::mutex> lock(tenantMutex_);
    out = endpoints_.tenant;
    if (!endpoints_.tenant.empty() || endpoints_.federation()) return true;
    // Resource Manager's challenge to an anonymous request names the subscription's tenant.
    const std::string url = endpoints_.resourceManager + "/subscriptions/" + subscriptionId_ +
                            "?api-version=" + kSubscriptionsVersion;
    const HttpReply reply = SendHttp(NX_HTTP_GET, url, {"Accept: application/json"});
    endpoints_.tenant = reply.status == 401 ? challengedTenant(reply) : std::string();
    out = endpoints_.tenant;
    if (!out.empty()) return true;
    failure = reply.status == 0 ? resultOf(reply, url)
                                : failed(SDK_ERR_GENERAL, "The tenant of subscription '" + subscriptionId_ +
                                                              "' could not be found: set CloudSdk/sTenantId");
    return false;
}

ArmResult ArmClient::signIn() {
    ArmResult result;
    std::string tenantId, token, error;
    bool refused = false;
    if (!tenant(tenantId, result)) return result;
    if (!tokens_.token(tenantId, token, error, refused))
        return failed(refused ? SDK_ERR_AUTHENTICATION : SDK_ERR_GENERAL, error);
    result.ok = true;
    return result;
}

HttpReply ArmClient::sendOnce(_http_req_type_ method, const std::string& url, ArmResult& failure,
                              const std::string& body) {
    std::string tenantId;
    if (!tenant(tenantId, failure)) return HttpReply();
    std::string token, error;
    bool refused = false;
    if (!tokens_.token(tenantId, token, error, refused)) {
        failure = failed(refused ? SDK_ERR_AUTHENTICATION : SDK_ERR_GENERAL, error);
        return HttpReply();
    }
    const bool hasBody = method == NX_HTTP_POST || method == NX_HTTP_PUT;
    return SendHttp(method, url, {"Authorization: Bearer " + token, "Accept: application/json"}, body,
                    hasBody ? "application/json" : std::string());
}

HttpReply ArmClient::send(_http_req_type_ method, const std::string& url, ArmResult& failure,
                          const std::string& body) {
    return SendWithRetries(kMaxAttempts, [&](bool& stop) {
        HttpReply reply = sendOnce(method, url, failure, body);
        stop = !failure.text.empty();
        return reply;
    });
}

ArmResult ArmClient::get(const std::string& path, const std::string& apiVersion, const std::string& query) {
    const std::string url =
        endpoints_.resourceManager + path + "?api-version=" + apiVersion + (query.empty() ? "" : "&" + query);
    ArmResult failure;
    const HttpReply reply = send(NX_HTTP_GET, url, failure);
    return failure.text.empty() ? resultOf(reply, url) : failure;
}

ArmResult ArmClient::list(const std::string& path, const std::string& apiVersion, const std::string& query) {
    ArmResult all = get(path, apiVersion, query);
    if (!all.ok) return all;
    nlohmann::json items = all.body.value("value", nlohmann::json::array());
    for (std::string next = all.body.value("nextLink", ""); !next.empty();) {
        ArmResult failure;
        const HttpReply reply = send(NX_HTTP_GET, next, failure);
        ArmResult page = failure.text.empty() ? resultOf(reply, next) : failure;
        if (!page.ok) return page;
        for (const nlohmann::json& item : page.body.value("value", nlohmann::json::array())) items.push_back(item);
        next = page.body.value("nextLink", "");
    }
    all.body = items;
    return all;
}

ArmResult ArmClient::action(const std::string& path, const std::string& apiVersion, bool wait,
                            const nlohmann::json& body, bool readResult) {
    return exchange(NX_HTTP_POST, endpoints_.resourceManager + path + "?api-version=" + apiVersion, body, wait,
                    readResult ? FinalRead::Location : FinalRead::None);
}

ArmResult ArmClient::put(const std::string& path, const std::string& apiVersion, const nlohmann::json& body,
                         bool wait) {
    const std::string url = endpoints_.resourceManager + path + "?api-version=" + apiVersion;
    return exchange(NX_HTTP_PUT, url, body, wait, FinalRead::Resource);
}

ArmResult ArmClient::remove(const std::string& path, const std::string& apiVersion, bool wait) {
    return exchange(NX_HTTP_DELETE, endpoints_.resourceManager + path + "?api-version=" + apiVersion, nullptr,
                    wait, FinalRead::None);
}

ArmResult ArmClient::exchange(_http_req_type_ method, const std::string& url, const nlohmann::json& body, bool wait,
                              FinalRead final) {
    ArmResult failure;
    const HttpReply reply = send(method, url, failure, body.is_null() ? std::string() : body.dump());
    if (!failure.text.empty()) return failure;
    ArmResult result = resultOf(reply, url);
    const bool running = reply.status == 202 || !reply.header("Azure-AsyncOperation").empty();
    return result.ok && wait && running ? follow(reply, url, final) : result;
}

ArmResult ArmClient::follow(const HttpReply& accepted, const std::string& resourceUrl, FinalRead final) {
    const std::string operation = accepted.header("Azure-AsyncOperation");
    const std::string location = accepted.header("Location");
    const std::string url = operation.empty() ? location : operation;
    if (url.empty()) return resultOf(accepted, url);
    HttpReply last = accepted;
    for (int poll = 0; poll < kMaxPolls; ++poll) {
        Pause(RetryAfterMs(last, kDefaultPollMs));
        ArmResult failure;
        last = send(NX_HTTP_GET, url, failure);
        if (!failure.text.empty()) return failure;
        ArmResult state = resultOf(last, url);
        if (!state.ok) return state;
        if (operation.empty()) {
            if (last.status != 202) return state;
            continue;
        }
        const std::string status = state.body.value("status", "");
        if (status == "Succeeded")
            return finalResult(final == FinalRead::Resource   ? resourceUrl
                               : final == FinalRead::Location ? location
                                                              : std::string(),
                               state);
        if (status == "Failed" || status == "Canceled") {
            const nlohmann::json error = state.body.value("error", nlohmann::json::object());
            return failed(SDK_ERR_GENERAL, "The operation ended " + status + ": " + error.value("code", "") + ": " +
                                               error.value("message", ""));
        }
    }
    return failed(SDK_ERR_GENERAL, "The operation at [" + url + "] had not ended after " +
                                       std::to_string(kMaxPolls) + " polls");
}

ArmResult ArmClient::finalResult(const std::string& url, const ArmResult& ended) {
    if (url.empty()) return ended;
    ArmResult failure;
    const HttpReply reply = send(NX_HTTP_GET, url, failure);
    return failure.text.empty() ? resultOf(reply, url) : failure;
}

}  // namespace AzureSDKCppBridge::rest
