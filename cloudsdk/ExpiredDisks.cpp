// Removal of expired managed disks that this product left in a region: only disks that carry
// "createdByJob" (of any job), were created before the expiry and are attached to no VM.
// A customer's disk never carries the tag, so it is never a candidate.
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/DiskUse.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/VmRemoval.h"

namespace AzureSDKCppBridge {

using azsim::StateDocument;

namespace {

bool Expired(const StateDocument& doc, const azsim::ManagedDisk& disk, const azsim::Region& region,
             std::time_t expiryTime) {
    return doc.findRegion(disk.region) == &region && disk.tags.count(kCreatedByJobTag) != 0 &&
           disk.createdAt < static_cast<std::int64_t>(expiryTime) &&
           !VmUsingDisk(doc, disk);
}

}  // namespace

bool CAzureSDKCppBridge::DeleteExpiredDisks(const std::string& region, std::time_t expiryTime) try {
    nlohmann::json args = {{"region", region}, {"expiryTime", static_cast<long long>(expiryTime)}};
    if (std::optional<Refusal> refusal = impl_->begin("DeleteExpiredDisks", args))
        return Fail(refusal->code, refusal->text);
    std::vector<azsim::BlobKey> data;
    impl_->localState().mutate([&](StateDocument& doc) {
        const azsim::Region* where = doc.findRegion(region);
        if (!where) throw OperationFailure(SDK_ERR_NOT_FOUND, "Region [" + region + "] does not exist");
        std::vector<std::string> expired;
        for (const azsim::ManagedDisk& disk : doc.managedDisks)
            if (Expired(doc, disk, *where, expiryTime)) expired.push_back(disk.id);
        for (const std::string& id : expired)
            if (std::optional<azsim::BlobKey> blob = RemoveManagedDisk(doc, id)) data.push_back(*blob);
        return !expired.empty();
    });
    DeleteBlobData(impl_->localState().blobs(), data);
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
