// Where the wrapper finds the cloud: the identity authority, Resource
// Manager, the tenant and the storage suffix, from settings section "CloudSdk"
// ("sAuthorityUrl", "sResourceManagerUrl", "sTenantId", "sStorageSuffix");
// Azure's public cloud by default. An
// authority whose path ends in "/adfs" is a federation service (on-premises
// clouds): it has no tenant in its token path and takes "resource" rather
// than "scope".
#pragma once

#include <string>

namespace AzureSDKCppBridge::rest {

struct CloudEndpoints {
    std::string authority = "https://login.microsoftonline.com";
    std::string resourceManager = "https://management.azure.com";
    std::string tenant;  // empty: found from the subscription's authentication challenge
    // Blob endpoints are "https://{account}.blob.{storageSuffix}" ("sStorageSuffix").
    std::string storageSuffix = "core.windows.net";

    static CloudEndpoints FromSettings();
    bool federation() const;
    // The token endpoint for `tenant`.
    std::string tokenUrl(const std::string& tenantId) const;
};

}  // namespace AzureSDKCppBridge::rest
