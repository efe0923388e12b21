// The blob operations the endpoint serves, each answering one checked and
// authorised request (version and credential already verified).
#pragma once

#include "azsim/blob/PageBlobStore.h"
#include "azsim/endpoint/Exchange.h"

namespace azsim {

// GET or HEAD of a blob or snapshot, whole or one byte range.
void getBlob(Exchange& ex, const PageBlobStore& store);
// GET ?comp=pagelist: allocated pages, or with "prevsnapshot" / "x-ms-previous-snapshot-url" the pages
// changed since that snapshot (written as PageRange, cleared as ClearRange).
void getPageRanges(Exchange& ex, const PageBlobStore& store);
// PUT ?comp=page with "x-ms-page-write: update" (body) or "clear".
void putPage(Exchange& ex, PageBlobStore& store);
// PUT of a whole blob: "x-ms-blob-type: BlockBlob" with its content, or PageBlob with "x-ms-blob-content-length".
void putBlob(Exchange& ex, PageBlobStore& store);

}  // namespace azsim
