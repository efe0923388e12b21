// Resource Manager requests of one subscription: a bearer token from the
// token client on each, the api-version the caller pins, retries with
// back-off on throttling (429), server errors (5xx) and lost connections,
// honouring "Retry-After", and long-running operations followed through
// "Azure-AsyncOperation" (or "Location") to their end. Waits go through the
// host's sleeper. Failures carry the wrapper's error code: a definite 404 is
// "not found", anything else says the cloud could not be asked, with Azure's text.
#pragma once

#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "cloudsdk/rest/CloudEndpoints.h"
#include "cloudsdk/rest/HttpExchange.h"
#include "cloudsdk/rest/TokenClient.h"

namespace AzureSDKCppBridge::rest {

struct ArmResult {
    bool ok = false;
    int code = 0;      // wrapper error code when not ok
    std::string text;  // why, when not ok
    nlohmann::json body;
};

class ArmClient {
public:
    static constexpr int kMaxAttempts = 4;
    static constexpr int kMaxPolls = 360;

    ArmClient(CloudEndpoints endpoints, std::string subscriptionId, std::string clientId, std::string secret);

    const std::string& subscriptionId() const { return subscriptionId_; }
    // GET of `path` ("/subscriptions/..."); `query` is added after the api-version ("$expand=...").
    ArmResult get(const std::string& path, const std::string& apiVersion, const std::string& query = std::string());
    // Every item of a list, following "nextLink"; `query` as for get.
    ArmResult list(const std::string& path, const std::string& apiVersion, const std::string& query = std::string());
    // POST of an action with an optional JSON body; with `wait`, its long-running operation is
    // followed to its end and, with `readResult`, the result its "Location" answers is the body (an
    // action whose result the caller does not use saves that request).
    ArmResult action(const std::string& path, const std::string& apiVersion, bool wait,
                     const nlohmann::json& body = nullptr, bool readResult = true);
    // PUT of a resource's whole body (create or replace); with `wait`, followed to its end and the
    // resource read back as the body.
    ArmResult put(const std::string& path, const std::string& apiVersion, const nlohmann::json& body,
                  bool wait = true);
    // DELETE of a resource; with `wait`, followed to its end (nothing is read after it). A resource
    // already gone is not found.
    ArmResult remove(const std::string& path, const std::string& apiVersion, bool wait = true);
    // The first token, asked for now so that refused credentials show at once; later requests reuse it.
    ArmResult signIn();
    // The tenant to sign in to (found once, under its lock); false with `failure` when it cannot be found.
    bool tenant(std::string& out, ArmResult& failure);

private:
    // The request, sent again while the answer says to retry.
    HttpReply send(_http_req_type_ method, const std::string& url, ArmResult& failure,
                   const std::string& body = std::string());
    HttpReply sendOnce(_http_req_type_ method, const std::string& url, ArmResult& failure, const std::string& body);
    // Where the result of an operation that has ended is read: nowhere, its "Location", or the resource.
    enum class FinalRead { None, Location, Resource };
    // One request and its answer; an accepted one followed to its end when `wait`, then its
    // result read as `final` says (the resource being `url`).
    ArmResult exchange(_http_req_type_ method, const std::string& url, const nlohmann::json& body, bool wait,
                       FinalRead final);
    ArmResult follow(const HttpReply& accepted, const std::string& url, FinalRead final);
    // The result of an operation that has ended: what `url` answers, or `ended` when there is none to read.
    ArmResult finalResult(const std::string& url, const ArmResult& ended);

    CloudEndpoints endpoints_;
    std::string subscriptionId_;
    TokenClient tokens_;
    std::mutex tenantMutex_;
};

}  // namespace AzureSDKCppBridge::rest
