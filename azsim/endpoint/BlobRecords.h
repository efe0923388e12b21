// What the subscription's document records about the blobs of its storage
// accounts, as the blob service keeps it in step: containers, the disk record
// of each page blob (with its metadata as tags), the VM that leases a blob as
// its disk, and the records that go with a deleted blob.
#pragma once

#include <functional>
#include <string>

#include "azsim/model/StateDocument.h"
#include "azsim/model/SubscriptionState.h"

namespace azsim {

// The document, or for a folder without one (blob data served on its own) an empty one: no accounts.
StateDocument loadRecords(const SubscriptionState& state);
// Applies `change` under the folder lock and saves the document when it returns true; without a
// document, `change` sees an empty one, which is not saved.
bool changeRecords(const SubscriptionState& state, const std::function<bool(StateDocument&)>& change);

// Account and container names are case-insensitive in the service; blob names are not.
bool sameBlob(const BlobKey& a, const BlobKey& b);
// The metadata the records hold for the blob (its disk record's tags) or for one of its snapshots
// (`snapshot` set); none for a blob without records.
Tags storedMetadata(const StateDocument& doc, const BlobKey& key, const std::string& snapshot);
bool hasContainer(const StorageAccount& account, const std::string& container);
// The VM that has the page blob as one of its disks, if any: such a blob is leased by the VM.
const VirtualMachine* vmLeasing(const StateDocument& doc, const BlobKey& key);
// Drops the record of one snapshot of a blob, and the snapshot-set members naming it.
void forgetSnapshot(StateDocument& doc, const BlobKey& key, const std::string& snapshot);
// Drops the records of a page blob: its disk record, its blob snapshots, and the snapshot-set members
// naming them (sets left empty go too). The blob's data is the caller's.
void forgetPageBlob(StateDocument& doc, const BlobKey& key);
// Records a new page blob of `account` as an unattached disk carrying `tags`, replacing an older record.
void recordPageBlob(StateDocument& doc, const StorageAccount& account, const BlobKey& key, std::uint64_t size,
                    const Tags& tags);

}  // namespace azsim
