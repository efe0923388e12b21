// Read access to a managed snapshot's data for the length of one wrapper call: a
// SAS URL granted through Resource Manager, ended again when the call is done,
// unless the snapshot was being read already (that access is another reader's,
// whom ending it would cut off).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "cloudsdk/rest/ArmClient.h"

namespace AzureSDKCppBridge {

class SnapshotReadAccess {
public:
    // `snapshot` is the snapshot's resource as read. Throws OperationFailure when access is not granted.
    SnapshotReadAccess(rest::ArmClient& arm, const nlohmann::json& snapshot);
    // Ends an access still open; its failure is left to the access's own expiry.
    ~SnapshotReadAccess();
    SnapshotReadAccess(const SnapshotReadAccess&) = delete;
    SnapshotReadAccess& operator=(const SnapshotReadAccess&) = delete;

    const std::string& url() const { return url_; }
    // Ends the access this call granted, if it granted one.
    rest::ArmResult end();

private:
    rest::ArmClient& arm_;
    std::string id_;
    std::string url_;
    bool open_ = false;
};

}  // namespace AzureSDKCppBridge
