#include "plugin/frame/Existence.h"

#include "cloudsdk/SdkErrorCodes.h"

namespace {

Presence Answer(AzureSDKCppBridge::CAzureSDKCppBridge& sdk, bool exists) {
    if (exists) return Presence::Present;
    return sdk.GetLastErrorCode() == AzureSDKCppBridge::SDK_ERR_NOT_FOUND ? Presence::Absent : Presence::Unknown;
}

}  // namespace

Presence BlobPresence(AzureSDKCppBridge::CAzureSDKCppBridge& sdk, const std::string& resourceGroup,
                      const std::string& storageAccount, const std::string& container, const std::string& blob) {
    return Answer(sdk, sdk.DoesBlobExist(resourceGroup, storageAccount, container, blob));
}

Presence ContainerPresence(AzureSDKCppBridge::CAzureSDKCppBridge& sdk, const std::string& resourceGroup,
                           const std::string& storageAccount, const std::string& container) {
    return Answer(sdk, sdk.DoesContainerExist(resourceGroup, storageAccount, container));
}
