#include <algorithm>
#include <chrono>
#include <optional>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/endpoint/BlobOperations.h"
#include "azsim/endpoint/BlobRecords.h"
#include "azsim/endpoint/HttpForms.h"
#include "azsim/model/ResourceIds.h"

namespace azsim {

namespace {

constexpr std::size_t kMaxListed = 5000;

std::int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A container has no properties of its own here: its answers carry fixed ones.
void setContainerHeaders(Exchange& ex) {
    ex.res.set_header("ETag", quotedEtag("0x8DC0000000000000"));
    ex.res.set_header("Last-Modified", httpDate(nowSeconds()));
    ex.res.set_header("x-ms-lease-status", "unlocked");
    ex.res.set_header("x-ms-lease-state", "available");
    ex.res.set_header("x-ms-has-immutability-policy", "false");
    ex.res.set_header("x-ms-has-legal-hold", "false");
}

bool includes(const std::string& include, const std::string& what) {
    for (std::size_t start = 0; start <= include.size();) {
        const std::size_t end = std::min(include.find(',', start), include.size());
        if (include.compare(start, end - start, what) == 0) return true;
        start = end + 1;
    }
    return false;
}

std::string element(const std::string& name, const std::string& value) {
    return "<" + name + ">" + escapeXml(value) + "</" + name + ">";
}

// A blob a VM has as its disk is leased by it, with no end.
std::string leaseElements(bool leased) {
    return leased ? element("LeaseStatus", "locked") + element("LeaseState", "leased") +
                        element("LeaseDuration", "infinite")
                  : element("LeaseStatus", "unlocked") + element("LeaseState", "available");
}

std::string blobXml(const PageBlobStore& store, const StateDocument& doc, const BlobKey& key,
                    const std::string& snapshot, bool metadata) {
    BlobProperties props;
    if (!store.properties(key, snapshot, props)) return std::string();
    std::string xml = "<Blob>" + element("Name", key.name);
    if (!snapshot.empty()) xml += element("Snapshot", snapshot);
    xml += "<Properties>" + element("Last-Modified", httpDate(props.lastModified)) +
           element("Etag", quotedEtag(props.etag)) + element("Content-Length", std::to_string(props.size)) +
           element("Content-Type", "application/octet-stream") +
           element("BlobType", props.type == BlobType::Page ? "PageBlob" : "BlockBlob") +
           leaseElements(snapshot.empty() && vmLeasing(doc, key)) +
           element("ServerEncrypted", "true") + "</Properties>";
    if (metadata) {
        xml += "<Metadata>";
        for (const auto& [name, value] : storedMetadata(doc, key, snapshot)) xml += element(name, value);
        xml += "</Metadata>";
    }
    return xml + "</Blob>";
}

}  // namespace

void createContainer(Exchange& ex, const SubscriptionState& state) {
    if (!IsNewContainerName(ex.key.container)) return sendError(ex, ServiceError::of(400, "InvalidResourceName"));
    std::optional<ServiceError> refused;
    changeRecords(state, [&](StateDocument& doc) {
        StorageAccount* account = doc.findStorageAccount(ex.key.account);
        if (!account) refused = ServiceError::of(404, "ResourceNotFound");
        else if (hasContainer(*account, ex.key.container)) refused = ServiceError::of(409, "ContainerAlreadyExists");
        else account->containers.push_back(ex.key.container);
        return !refused;
    });
    if (refused) return sendError(ex, *refused);
    setContainerHeaders(ex);
    sendEmpty(ex, 201);
}

void getContainer(Exchange& ex, const SubscriptionState& state) {
    const StateDocument doc = loadRecords(state);
    const StorageAccount* account = doc.findStorageAccount(ex.key.account);
    if (!account || !hasContainer(*account, ex.key.container))
        return sendError(ex, ServiceError::of(404, "ContainerNotFound"));
    setContainerHeaders(ex);
    sendEmpty(ex, 200);
}

void deleteContainer(Exchange& ex, const SubscriptionState& state) {
    PageBlobStore store = state.blobs();
    const bool found = changeRecords(state, [&](StateDocument& doc) {
        StorageAccount* account = doc.findStorageAccount(ex.key.account);
        if (!account || !hasContainer(*account, ex.key.container)) return false;
        for (const BlobKey& key : store.list(account->name, ex.key.container)) {
            store.deleteBlob(key);
            forgetPageBlob(doc, key);
        }
        auto& names = account->containers;
        const auto named = [&](const std::string& c) { return boost::algorithm::iequals(c, ex.key.container); };
        names.erase(std::remove_if(names.begin(), names.end(), named), names.end());
        return true;
    });
    if (!found) return sendError(ex, ServiceError::of(404, "ContainerNotFound"));
    sendEmpty(ex, 202);
}

void listBlobs(Exchange& ex, const SubscriptionState& state) {
    const StateDocument doc = loadRecords(state);
    const StorageAccount* account = doc.findStorageAccount(ex.key.account);
    if (!account || !hasContainer(*account, ex.key.container))
        return sendError(ex, ServiceError::of(404, "ContainerNotFound"));
    const std::string prefix = ex.param("prefix");
    const std::string marker = ex.param("marker");
    const std::string include = ex.param("include");
    std::size_t most = kMaxListed;
    if (!ex.param("maxresults").empty()) {
        std::optional<std::uint64_t> asked = parseDecimal(ex.param("maxresults"));
        if (!asked || *asked == 0)
            return sendError(ex, ServiceError::of(400, "InvalidQueryParameterValue")
                                     .detail("QueryParameterName", "maxresults")
                                     .detail("QueryParameterValue", ex.param("maxresults")));
        most = static_cast<std::size_t>(std::min<std::uint64_t>(*asked, kMaxListed));
    }
    const PageBlobStore store = state.blobs();
    std::string blobs;
    std::string next;
    std::size_t listed = 0;
    for (const BlobKey& key : store.list(account->name, ex.key.container)) {
        if (key.name.compare(0, prefix.size(), prefix) != 0 || key.name < marker) continue;
        if (listed == most) {
            next = key.name;
            break;
        }
        // A blob's snapshots come before it, oldest first, as the service lists them.
        if (includes(include, "snapshots"))
            for (const std::string& snapshot : store.snapshots(key))
                blobs += blobXml(store, doc, key, snapshot, includes(include, "metadata"));
        blobs += blobXml(store, doc, key, std::string(), includes(include, "metadata"));
        ++listed;
    }
    const std::string endpoint = "https://" + ex.header("Host") + "/";
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?><EnumerationResults ServiceEndpoint=\"" +
                      escapeXml(endpoint) + "\" ContainerName=\"" + escapeXml(ex.key.container) + "\">";
    if (!prefix.empty()) xml += element("Prefix", prefix);
    if (!marker.empty()) xml += element("Marker", marker);
    if (!ex.param("maxresults").empty()) xml += element("MaxResults", std::to_string(most));
    xml += "<Blobs>" + blobs + "</Blobs>" + (next.empty() ? "<NextMarker />" : element("NextMarker", next));
    sendBody(ex, 200, xml + "</EnumerationResults>", "application/xml");
}

}  // namespace azsim
