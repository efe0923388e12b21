#include <optional>

#include "azsim/endpoint/BlobOperations.h"
#include "azsim/endpoint/BlobRecords.h"
#include "azsim/endpoint/HttpForms.h"
#include "azsim/model/ResourceIds.h"

namespace azsim {

void copyBlob(Exchange& ex, const SubscriptionState& state) {
    const std::string source = ex.header("x-ms-copy-source");
    BlobKey from;
    std::string fromSnapshot;
    if (!blobUrl(source, from, fromSnapshot) || (!fromSnapshot.empty() && !isSnapshotId(fromSnapshot)))
        return sendError(ex, ServiceError::of(400, "InvalidHeaderValue")
                                 .detail("HeaderName", "x-ms-copy-source")
                                 .detail("HeaderValue", source));
    PageBlobStore store = state.blobs();
    std::optional<ServiceError> refused;
    changeRecords(state, [&](StateDocument& doc) {
        const StorageAccount* account = doc.findStorageAccount(ex.key.account);
        BlobProperties props;
        std::string error;
        if (!store.properties(from, fromSnapshot, props) || props.type != BlobType::Page)
            refused = ServiceError::of(404, "CannotVerifyCopySource");
        else if (account && !hasContainer(*account, ex.key.container))
            refused = ServiceError::of(404, "ContainerNotFound");
        else if (account && vmLeasing(doc, ex.key))
            refused = ServiceError::of(412, "LeaseIdMissing");
        else if (!store.copyBlob(from, fromSnapshot, ex.key, &error))
            refused = ServiceError::of(500, "InternalError");
        if (refused || !account || doc.findUnmanagedDisk(ex.key)) return false;
        recordPageBlob(doc, *account, ex.key, props.size, Tags());
        return true;
    });
    if (refused) return sendError(ex, *refused);
    BlobProperties props;
    if (store.properties(ex.key, std::string(), props)) setPropertyHeaders(ex, props);
    // The copy is done before the answer: it is never pending.
    ex.res.set_header("x-ms-copy-id", NewGuid());
    ex.res.set_header("x-ms-copy-status", "success");
    sendEmpty(ex, 202);
}

}  // namespace azsim
