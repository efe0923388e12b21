// Operations of the cloud SDK wrapper that this build does not provide yet.
// Each one fails honestly: it returns false with the text "Operation [<name>]
// is not available in this build", so a caller takes its ordinary failure path.
#include "cloudsdk/AzureSDKCppBridge.h"

#include <string>

#include "host/log/EvDebug.h"

namespace AzureSDKCppBridge {

using VMInfoStructs::SDataCenterInfo;
using VMInfoStructs::SDatastoreInfo;
using VMInfoStructs::SDisk;
using VMInfoStructs::SectorRange;
using VMInfoStructs::SHostInfo;
using VMInfoStructs::SInventoryInfo;
using VMInfoStructs::SNetworkInfo;
using VMInfoStructs::SVMInfo;
using VMInfoStructs::SVMSizeInfo;

bool CAzureSDKCppBridge::NotAvailable(const char* operation) {
    const std::string tag = std::string("AzureSDKCppBridge::CAzureSDKCppBridge::") + operation;
    const std::string text = std::string("Operation [") + operation + "] is not available in this build";
    EvDebug::Error(tag.c_str(), "%s", text.c_str());
    return Fail(0, text);
}

// Inventory: browse nodes, hosts, VMs, regions, storage accounts, sizes and images.





















// Snapshots: VM snapshots, disk snapshot sets and blob snapshots.














// Access: SAS URLs of managed snapshots and the storage bearer token.



// Blobs and disks: containers, page blobs, page data, managed disks and disk tags.







bool CAzureSDKCppBridge::UploadPageBlobToStorageAccount(const std::string&, const std::string&, const std::string&,
                                                        const std::string&, const std::string&) try {
    return NotAvailable("UploadPageBlobToStorageAccount");
} catch (...) {
    return FailOnException();
}





// VMs and networks: deployment, restore, power, disk attachment, guest scripts.





}  // namespace AzureSDKCppBridge
