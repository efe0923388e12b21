// The state of a simulated subscription in its folder: the typed document in
// "state.json" and the blob data (a PageBlobStore rooted at the folder).
// Read-modify-write cycles hold the folder lock, so processes sharing a folder
// never lose each other's changes.
#pragma once

#include <functional>
#include <string>

#include "azsim/StateFolder.h"
#include "azsim/blob/PageBlobStore.h"
#include "azsim/model/StateDocument.h"

namespace azsim {

class SubscriptionState {
public:
    explicit SubscriptionState(std::string stateDir);

    const std::string& dir() const { return folder_.dir(); }
    bool exists() const { return folder_.exists(); }
    // The blob data of the folder, as the endpoint of the same folder sees it.
    PageBlobStore blobs() const { return PageBlobStore(dir()); }

    // Throws azsim::Error when the document is missing or malformed.
    StateDocument load() const;
    // Replaces the document under the folder lock. Not to be called from inside `mutate`.
    void save(const StateDocument& document) const;
    // Under the folder lock: loads the document, applies `change` and saves it when
    // `change` returns true. Returns what `change` returned; exceptions pass through unsaved.
    bool mutate(const std::function<bool(StateDocument&)>& change) const;

private:
    StateFolder folder_;
};

}  // namespace azsim
