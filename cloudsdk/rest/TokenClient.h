// Access tokens for one audience (Resource Manager unless named: the storage
// service is another) by the client-credentials grant of an application (its
// id and secret), kept while they last and fetched anew a while before they
// expire, so that no request goes out with a token about to end.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "cloudsdk/rest/CloudEndpoints.h"

namespace AzureSDKCppBridge::rest {

class TokenClient {
public:
    // A token is fetched anew once less than this much of its lifetime is left.
    static constexpr std::chrono::seconds kRefreshMargin{300};

    // The storage service's audience, the same in every cloud.
    static constexpr const char* kStorageAudience = "https://storage.azure.com/";

    // `audience` empty: Resource Manager's ("{Resource Manager}/").
    TokenClient(CloudEndpoints endpoints, std::string clientId, std::string secret,
                std::string audience = std::string());

    // A valid token in `token`; false with the reason in `error`, `refused` when the identity service answered.
    bool token(const std::string& tenant, std::string& token, std::string& error, bool& refused);

private:
    bool fetch(const std::string& tenant, std::string& error, bool& refused);

    CloudEndpoints endpoints_;
    std::string clientId_;
    std::string secret_;
    std::string audience_;
    std::mutex mutex_;
    std::string token_;
    std::chrono::steady_clock::time_point refreshAt_;
};

}  // namespace AzureSDKCppBridge::rest
