// Snapshots of page blobs (PUT ?comp=snapshot): the blob's content frozen under a new snapshot id,
// carrying the metadata the request sets (the blob's own when it sets none). The snapshot set its
// metadata names is kept in step, as the managed snapshots' sets follow their tags; a snapshot's
// deletion (DELETE ?snapshot=) leaves its set the same way.
#include <chrono>
#include <optional>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/arm/SnapshotShapes.h"
#include "azsim/endpoint/BlobOperations.h"
#include "azsim/endpoint/BlobRecords.h"
#include "azsim/model/ResourceIds.h"

namespace azsim {

namespace {

// The metadata a request sets: its "x-ms-meta-<name>" headers.
Tags requestedMetadata(const httplib::Request& req) {
    Tags metadata;
    for (const auto& [name, value] : req.headers)
        if (name.size() > 10 && boost::algorithm::istarts_with(name, "x-ms-meta-")) metadata[name.substr(10)] = value;
    return metadata;
}

std::int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Records the snapshot `id` of the blob with its metadata, and joins the set the metadata names.
void recordSnapshot(StateDocument& doc, const BlobKey& key, const std::string& id, const Tags& requested) {
    const StorageAccount* account = doc.findStorageAccount(key.account);
    const UnmanagedDisk* disk = doc.findUnmanagedDisk(key);
    BlobSnapshot snap;
    snap.blob = key;
    if (account) snap.blob.account = account->name;
    snap.storeSnapshot = id;
    snap.createdAt = nowSeconds();
    snap.metadata = requested.empty() && disk ? disk->tags : requested;
    doc.blobSnapshots.push_back(snap);
    JoinSnapshotSet(doc, PageBlobUri(snap.blob, id), snap.metadata, account ? account->resourceGroup : std::string(),
                    snap.createdAt);
}

}  // namespace

void snapshotBlob(Exchange& ex, const SubscriptionState& state) {
    if (!ex.snapshot.empty())
        return sendError(ex, ServiceError::of(400, "InvalidQueryParameterValue")
                                 .detail("QueryParameterName", "snapshot")
                                 .detail("QueryParameterValue", ex.snapshot));
    PageBlobStore store = state.blobs();
    const Tags requested = requestedMetadata(ex.req);
    std::optional<ServiceError> refused;
    std::string id;
    changeRecords(state, [&](StateDocument& doc) {
        std::string error;
        if (!store.exists(ex.key)) refused = ServiceError::of(404, "BlobNotFound");
        else if ((id = store.createSnapshot(ex.key, &error)).empty()) refused = ServiceError::of(500, "InternalError");
        if (refused) return false;
        recordSnapshot(doc, ex.key, id, requested);
        return true;
    });
    if (refused) return sendError(ex, *refused);
    BlobProperties props;
    if (store.properties(ex.key, std::string(), props)) setPropertyHeaders(ex, props);
    ex.res.set_header("x-ms-snapshot", id);
    ex.res.set_header("x-ms-request-server-encrypted", "false");
    sendEmpty(ex, 201);
}

}  // namespace azsim
