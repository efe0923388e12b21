// Access to blob data: SAS URLs of managed snapshots and their revocation, granted and ended through
// Resource Manager, and storage bearer tokens.
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"
#include "host/settings/NXPlatformInfo.h"

namespace AzureSDKCppBridge {

long long SasLifetimeSeconds() {
    unsigned long seconds = 8 * 3600;
    NXPlatformInfo::getNumber("CloudSdk", "nSasLifetimeSeconds", &seconds);
    return static_cast<long long>(seconds);
}

namespace {

// The resource id of the managed snapshot of that name: in `resourceGroup`, or, with no group
// named, the one of that name in the subscription's list.
rest::ArmResult SnapshotIdOf(rest::ArmClient& arm, const std::string& resourceGroup, const std::string& name,
                             std::string& id) {
    if (!resourceGroup.empty()) {
        id = "/subscriptions/" + arm.subscriptionId() + "/resourceGroups/" + resourceGroup +
             "/providers/Microsoft.Compute/snapshots/" + name;
        rest::ArmResult named;
        named.ok = true;
        return named;
    }
    rest::ArmResult found = rest::FindByName(arm, "Microsoft.Compute/snapshots", rest::kDiskVersion, name, "snapshot");
    if (found.ok) id = found.body.value("id", "");
    return found;
}

}  // namespace

bool CAzureSDKCppBridge::GetSASTokenURI(const std::string& resourceGroup, const std::string& snapshotName,
                                        std::string& sasUri) try {
    if (std::optional<Refusal> refusal =
            impl_->begin("GetSASTokenURI", {{"resourceGroup", resourceGroup}, {"snapshotName", snapshotName}}))
        return Fail(refusal->code, refusal->text);
    std::string id;
    rest::ArmResult result = SnapshotIdOf(*impl_->arm, resourceGroup, snapshotName, id);
    if (result.ok)
        result = impl_->arm->action(id + "/beginGetAccess", rest::kDiskVersion, true,
                                    {{"access", "Read"}, {"durationInSeconds", SasLifetimeSeconds()}});
    if (!result.ok) return Fail(result.code, result.text);
    const std::string url = result.body.is_object() ? result.body.value("accessSAS", "") : std::string();
    if (url.empty())
        return Fail(SDK_ERR_GENERAL, "Access to snapshot [" + snapshotName + "] was granted without an access URL");
    sasUri = url;
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::RevokeSASToken(const std::string& resourceGroup, const std::string& snapshotName) try {
    if (std::optional<Refusal> refusal =
            impl_->begin("RevokeSASToken", {{"resourceGroup", resourceGroup}, {"snapshotName", snapshotName}}))
        return Fail(refusal->code, refusal->text);
    std::string id;
    rest::ArmResult result = SnapshotIdOf(*impl_->arm, resourceGroup, snapshotName, id);
    if (result.ok) result = impl_->arm->action(id + "/endGetAccess", rest::kDiskVersion, true, nullptr, false);
    return result.ok || Fail(result.code, result.text);
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
