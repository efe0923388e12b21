#include "cloudsdk/SnapshotReadAccess.h"

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"

namespace AzureSDKCppBridge {

SnapshotReadAccess::SnapshotReadAccess(rest::ArmClient& arm, const nlohmann::json& snapshot)
    : arm_(arm), id_(snapshot.value("id", "")) {
    const nlohmann::json properties = snapshot.value("properties", nlohmann::json::object());
    const bool readAlready = properties.value("diskState", "") == "ActiveSAS";
    const rest::ArmResult granted = arm_.action(id_ + "/beginGetAccess", rest::kDiskVersion, true,
                                                {{"access", "Read"}, {"durationInSeconds", SasLifetimeSeconds()}});
    if (!granted.ok) throw OperationFailure(granted.code, granted.text);
    url_ = granted.body.is_object() ? granted.body.value("accessSAS", "") : std::string();
    open_ = !readAlready;
    if (url_.empty()) {
        end();
        throw OperationFailure(SDK_ERR_GENERAL, "Access to snapshot [" + id_ + "] was granted without an access URL");
    }
}

SnapshotReadAccess::~SnapshotReadAccess() {
    try {
        end();
    } catch (...) {
    }
}

rest::ArmResult SnapshotReadAccess::end() {
    if (!open_) {
        rest::ArmResult none;
        none.ok = true;
        return none;
    }
    open_ = false;
    return arm_.action(id_ + "/endGetAccess", rest::kDiskVersion, true, nullptr, false);
}

}  // namespace AzureSDKCppBridge
