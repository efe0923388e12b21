#include <algorithm>
#include <optional>

#include "azsim/endpoint/BlobOperations.h"
#include "azsim/endpoint/BlobRecords.h"
#include "azsim/endpoint/HttpForms.h"

namespace azsim {

void deleteBlob(Exchange& ex, const SubscriptionState& state) {
    const std::string what = ex.header("x-ms-delete-snapshots");
    if (!what.empty() && what != "include" && what != "only")
        return sendError(ex, ServiceError::of(400, "InvalidHeaderValue")
                                 .detail("HeaderName", "x-ms-delete-snapshots")
                                 .detail("HeaderValue", what));
    PageBlobStore store = state.blobs();
    std::optional<ServiceError> refused;
    changeRecords(state, [&](StateDocument& doc) {
        if (!store.exists(ex.key, ex.snapshot)) {
            refused = ServiceError::of(404, "BlobNotFound");
            return false;
        }
        if (!ex.snapshot.empty()) {
            store.deleteSnapshot(ex.key, ex.snapshot);
            forgetSnapshot(doc, ex.key, ex.snapshot);
            return true;
        }
        const std::vector<std::string> snapshots = store.snapshots(ex.key);
        if (!snapshots.empty() && what.empty()) refused = ServiceError::of(409, "SnapshotsPresent");
        else if (what != "only" && vmLeasing(doc, ex.key)) refused = ServiceError::of(412, "LeaseIdMissing");
        if (refused) return false;
        if (what == "only") {
            for (const std::string& snapshot : snapshots) {
                store.deleteSnapshot(ex.key, snapshot);
                forgetSnapshot(doc, ex.key, snapshot);
            }
            return true;
        }
        store.deleteBlob(ex.key);
        forgetPageBlob(doc, ex.key);
        return true;
    });
    if (refused) return sendError(ex, *refused);
    ex.res.set_header("x-ms-delete-type-permanent", "true");
    sendEmpty(ex, 202);
}

}  // namespace azsim
