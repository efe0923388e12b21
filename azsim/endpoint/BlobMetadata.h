// A blob's metadata ("x-ms-meta-<name>" headers) as the blob endpoint serves it:
// a page blob's is its disk record's tags, a snapshot's is its own. Names keep
// the case they were set with and are compared ignoring it.
#pragma once

#include "azsim/blob/PageBlobStore.h"
#include "azsim/endpoint/Exchange.h"
#include "azsim/model/SubscriptionState.h"

namespace azsim {

// GET or HEAD ?comp=metadata[&snapshot=]: the metadata as headers, 200 with no body.
void getBlobMetadata(Exchange& ex, const SubscriptionState& state);
// PUT ?comp=metadata: the blob's metadata replaced by the request's, 200. Names must be identifiers
// (letters, digits, '_', not led by a digit), each given once; a snapshot's metadata never changes.
void setBlobMetadata(Exchange& ex, const SubscriptionState& state);
// GET or HEAD of a blob's data or properties, its metadata among the headers (not on a ranged GET, which
// reads the data alone).
void getBlobWithMetadata(Exchange& ex, const SubscriptionState& state, const PageBlobStore& store);

}  // namespace azsim
