#include "cloudsdk/rest/CloudEndpoints.h"

#include "host/settings/NXPlatformInfo.h"

namespace AzureSDKCppBridge::rest {

namespace {

std::string withoutTrailingSlash(std::string url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

}  // namespace

CloudEndpoints CloudEndpoints::FromSettings() {
    CloudEndpoints endpoints;
    std::string value;
    if (NXPlatformInfo::getString("CloudSdk", "sAuthorityUrl", &value) && !value.empty())
        endpoints.authority = value;
    if (NXPlatformInfo::getString("CloudSdk", "sResourceManagerUrl", &value) && !value.empty())
        endpoints.resourceManager = value;
    if (NXPlatformInfo::getString("CloudSdk", "sTenantId", &value)) endpoints.tenant = value;
    if (NXPlatformInfo::getString("CloudSdk", "sStorageSuffix", &value) && !value.empty())
        endpoints.storageSuffix = value;
    endpoints.authority = withoutTrailingSlash(endpoints.authority);
    endpoints.resourceManager = withoutTrailingSlash(endpoints.resourceManager);
    return endpoints;
}

bool CloudEndpoints::federation() const {
    return authority.size() >= 5 && authority.compare(authority.size() - 5, 5, "/adfs") == 0;
}

std::string CloudEndpoints::tokenUrl(const std::string& tenantId) const {
    return federation() ? authority + "/oauth2/token" : authority + "/" + tenantId + "/oauth2/v2.0/token";
}

}  // namespace AzureSDKCppBridge::rest
