// Access to blob data: SAS URLs of managed snapshots, their revocation, and storage bearer tokens.
#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/sys/Time.h"

namespace AzureSDKCppBridge {

long long SasLifetimeSeconds() {
    unsigned long seconds = 8 * 3600;
    NXPlatformInfo::getNumber("CloudSdk", "nSasLifetimeSeconds", &seconds);
    return static_cast<long long>(seconds);
}

bool CAzureSDKCppBridge::GetSASTokenURI(const std::string& resourceGroup, const std::string& snapshotName,
                                        std::string& sasUri) try {
    if (std::optional<Refusal> refusal =
            impl_->begin("GetSASTokenURI", {{"resourceGroup", resourceGroup}, {"snapshotName", snapshotName}}))
        return Fail(refusal->code, refusal->text);
    std::string url;
    try {
        bool found = impl_->subscription->mutate([&](azsim::StateDocument& doc) {
            azsim::ManagedSnapshot* snap = doc.findSnapshotByName(snapshotName, resourceGroup);
            if (!snap) return false;
            long long expiry = NxClock::nowSeconds() + SasLifetimeSeconds();
            url = azsim::ManagedDiskAccessUrl(snap->blob) + "?snapshot=" + snap->storeSnapshot + "&" +
                  impl_->access->issueSas(snap->blob, snap->storeSnapshot, "r", expiry);
            snap->grant.active = true;
            snap->grant.accessUrl = url;
            snap->grant.expiresAt = expiry;
            return true;
        });
        if (!found)
            return Fail(SDK_ERR_NOT_FOUND, "ResourceNotFound: The Resource 'Microsoft.Compute/snapshots/" +
                                               snapshotName + "' under resource group '" + resourceGroup +
                                               "' was not found.");
    } catch (const azsim::Error& e) {
        return Fail(SDK_ERR_GENERAL, e.what());
    }
    sasUri = url;
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::RevokeSASToken(const std::string& resourceGroup, const std::string& snapshotName) try {
    if (std::optional<Refusal> refusal =
            impl_->begin("RevokeSASToken", {{"resourceGroup", resourceGroup}, {"snapshotName", snapshotName}}))
        return Fail(refusal->code, refusal->text);
    try {
        bool found = impl_->subscription->mutate([&](azsim::StateDocument& doc) {
            azsim::ManagedSnapshot* snap = doc.findSnapshotByName(snapshotName, resourceGroup);
            if (!snap) return false;
            impl_->access->revokeSas(snap->blob, snap->storeSnapshot);
            snap->grant = azsim::AccessGrant();
            return true;
        });
        if (!found)
            return Fail(SDK_ERR_NOT_FOUND, "ResourceNotFound: The Resource 'Microsoft.Compute/snapshots/" +
                                               snapshotName + "' was not found.");
    } catch (const azsim::Error& e) {
        return Fail(SDK_ERR_GENERAL, e.what());
    }
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetStorageAccessToken(std::string& token) try {
    if (std::optional<Refusal> refusal = impl_->begin("GetStorageAccessToken", nlohmann::json::object()))
        return Fail(refusal->code, refusal->text);
    int code = 0;
    std::string text;
    return impl_->blob->token(token, code, text) || Fail(code, text);
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
