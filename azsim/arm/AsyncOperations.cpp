#include "azsim/arm/AsyncOperations.h"

#include "azsim/endpoint/HttpForms.h"

namespace azsim {

std::string AsyncOperations::succeeded(const nlohmann::json& result) {
    AsyncOperation op;
    op.id = newRequestId();
    op.startTime = serviceTimeNow();
    op.endTime = op.startTime;
    op.status = "Succeeded";
    op.result = result;
    std::lock_guard<std::mutex> lock(mutex_);
    byId_[op.id] = op;
    return op.id;
}

std::optional<AsyncOperation> AsyncOperations::find(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byId_.find(id);
    if (it == byId_.end()) return std::nullopt;
    return it->second;
}

}  // namespace azsim
