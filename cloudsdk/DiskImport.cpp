#include "cloudsdk/DiskImport.h"

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"

namespace AzureSDKCppBridge {

azsim::ManagedDisk ImportPageBlob(azsim::PageBlobStore& store, const std::string& subscriptionId,
                                  const DeploymentDisk& d, const azsim::VirtualMachine& vm, bool osDisk,
                                  const azsim::Tags& tags, long long now) {
    azsim::ManagedDisk md;
    md.name = ImportedDiskName(d.blob);
    md.resourceGroup = vm.resourceGroup;
    md.id = azsim::ManagedDiskId(subscriptionId, vm.resourceGroup, md.name);
    md.region = vm.region;
    md.sizeBytes = d.blobBytes;
    md.sku = boost::algorithm::istarts_with(d.account->sku, "Premium") ? "Premium_LRS" : "Standard_LRS";
    if (osDisk) {
        md.osType = vm.osType;
        md.firmware = vm.firmware;
    }
    md.tags = tags;
    md.zones = vm.zones;
    md.sourceId = azsim::PageBlobUri(d.blob);
    md.state = "Attached";
    md.blob = azsim::NewManagedDiskBlob();
    md.createdAt = now;
    std::string error;
    if (!store.copyBlob(d.blob, std::string(), md.blob, &error))
        throw OperationFailure(SDK_ERR_GENERAL,
                               "Importing blob '" + d.blob.name + "' into disk '" + md.name + "' failed: " + error);
    return md;
}

}  // namespace AzureSDKCppBridge
