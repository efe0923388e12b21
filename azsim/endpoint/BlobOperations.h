// The blob operations the endpoint serves, each answering one checked and
// authorised request (version and credential already verified).
#pragma once

#include "azsim/blob/PageBlobStore.h"
#include "azsim/endpoint/Exchange.h"
#include "azsim/model/SubscriptionState.h"

namespace azsim {

// GET or HEAD of a blob or snapshot, whole or one byte range.
void getBlob(Exchange& ex, const PageBlobStore& store);
// GET ?comp=pagelist: allocated pages, or with "prevsnapshot" / "x-ms-previous-snapshot-url" the pages
// changed since that snapshot (written as PageRange, cleared as ClearRange).
void getPageRanges(Exchange& ex, const PageBlobStore& store);
// PUT ?comp=page with "x-ms-page-write: update" (body) or "clear".
void putPage(Exchange& ex, PageBlobStore& store);
// PUT of a whole blob: "x-ms-blob-type: BlockBlob" with its content, or PageBlob with "x-ms-blob-content-length".
// A page blob of a storage account needs its container, is refused while a VM leases the blob as its
// disk, and is recorded as an unattached disk tagged with its metadata ("x-ms-meta-<name>").
void putBlob(Exchange& ex, const SubscriptionState& state);
// PUT with "x-ms-copy-source" (a blob or snapshot URL of this service): a synchronous copy of a page blob onto
// the blob named, which a VM must not lease; answered 202 with "x-ms-copy-status: success".
void copyBlob(Exchange& ex, const SubscriptionState& state);
// PUT ?comp=snapshot: a snapshot of the blob ("x-ms-snapshot" in the 201), with the request's "x-ms-meta-<name>"
// headers as its metadata (else the blob's); the snapshot set the metadata names records it as a member.
void snapshotBlob(Exchange& ex, const SubscriptionState& state);
// DELETE of a blob with its snapshots ("x-ms-delete-snapshots: include"), of its snapshots only ("only"),
// or (?snapshot=) of one snapshot. A blob that has snapshots needs the header; one a VM leases stays.
void deleteBlob(Exchange& ex, const SubscriptionState& state);

// Containers of the subscription's storage accounts (?restype=container): create (PUT), properties
// (GET, HEAD), delete with every blob in it (DELETE), and (&comp=list) the list of its blobs, by
// "prefix", from "marker", at most "maxresults", with "include=snapshots,metadata".
void createContainer(Exchange& ex, const SubscriptionState& state);
void getContainer(Exchange& ex, const SubscriptionState& state);
void deleteContainer(Exchange& ex, const SubscriptionState& state);
void listBlobs(Exchange& ex, const SubscriptionState& state);

}  // namespace azsim
