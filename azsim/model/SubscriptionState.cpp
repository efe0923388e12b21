#include "azsim/model/SubscriptionState.h"

namespace azsim {

SubscriptionState::SubscriptionState(std::string stateDir) : folder_(std::move(stateDir)) {}

StateDocument SubscriptionState::load() const { return StateDocument::fromJson(folder_.load()); }

void SubscriptionState::save(const StateDocument& document) const {
    StateFolder::Lock lock(folder_);
    folder_.save(document.toJson());
}

bool SubscriptionState::mutate(const std::function<bool(StateDocument&)>& change) const {
    StateFolder::Lock lock(folder_);
    StateDocument document = load();
    if (!change(document)) return false;
    folder_.save(document.toJson());
    return true;
}

}  // namespace azsim
