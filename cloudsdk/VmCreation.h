// What the deployments of VMs share with the operations that prepare them: the mark a
// registered OS disk carries, the deferred-deployment member of a VM configuration, and
// reading a configuration's text fields.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace AzureSDKCppBridge {

// The metadata key with which a page blob registered as an OS disk records its OS type.
constexpr const char* kRegisteredOsTypeTag = "osType";
// The member that marks a VM configuration as a deferred deployment's; it holds the VM's managed
// flag ("managed") and key backups ("dekBackup", "kekBackup"), which DeployVMFromConfig applies.
constexpr const char* kDeferredDeploymentMember = "deferredDeployment";

// A string member at a JSON pointer of the configuration, or empty.
std::string ConfigText(const nlohmann::json& config, const char* pointer);

}  // namespace AzureSDKCppBridge
