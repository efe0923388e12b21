// Registering a page blob as an OS disk: the blob's record says which OS it boots, so that a
// deployment from the blob gives the VM that OS type.
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/VmCreation.h"

namespace AzureSDKCppBridge {

bool CAzureSDKCppBridge::RegisterBlobAsOSDisk(const std::string& storageAccount, const std::string& container,
                                              const std::string& blobName, bool isWindows) try {
    nlohmann::json args = {{"storageAccount", storageAccount}, {"container", container}, {"blobName", blobName},
                           {"isWindows", isWindows}};
    if (std::optional<Refusal> refusal = impl_->simulatedOnly("RegisterBlobAsOSDisk", args))
        return Fail(refusal->code, refusal->text);
    const azsim::PageBlobStore store = impl_->localState().blobs();
    impl_->localState().mutate([&](azsim::StateDocument& doc) {
        const azsim::StorageAccount* account = doc.findStorageAccount(storageAccount);
        if (!account)
            throw OperationFailure(SDK_ERR_NOT_FOUND, "StorageAccountNotFound: The storage account '" +
                                                          storageAccount + "' was not found.");
        const azsim::BlobKey key{account->name, container, blobName};
        azsim::BlobProperties props;
        if (!store.properties(key, std::string(), props) || props.type != azsim::BlobType::Page)
            throw OperationFailure(SDK_ERR_NOT_FOUND, "BlobNotFound: The page blob '" + storageAccount + "/" +
                                                          container + "/" + blobName + "' does not exist.");
        azsim::UnmanagedDisk* record = doc.findUnmanagedDisk(key);
        if (!record) {
            azsim::UnmanagedDisk disk;
            disk.name = blobName;
            disk.resourceGroup = account->resourceGroup;
            disk.region = account->region;
            disk.sizeBytes = props.size;
            disk.blob = key;
            doc.unmanagedDisks.push_back(disk);
            record = &doc.unmanagedDisks.back();
        }
        record->tags[kRegisteredOsTypeTag] = isWindows ? "Windows" : "Linux";
        return true;
    });
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
