// The api-version each Resource Manager provider's requests are pinned to.
// A version is changed only together with the request and answer shapes it implies.
#pragma once

namespace AzureSDKCppBridge::rest {

constexpr const char* kSubscriptionsVersion = "2022-12-01";
constexpr const char* kResourcesVersion = "2022-09-01";
// Virtual machines, their sizes and run commands.
constexpr const char* kComputeVersion = "2023-09-01";
// Managed disks and snapshots, which Microsoft.Compute versions apart from its VMs.
constexpr const char* kDiskVersion = "2023-04-02";
// The resource SKUs (a VM size's capabilities and zones per location), versioned on their own.
constexpr const char* kResourceSkusVersion = "2021-07-01";
constexpr const char* kNetworkVersion = "2023-09-01";
constexpr const char* kStorageVersion = "2023-01-01";

}  // namespace AzureSDKCppBridge::rest
