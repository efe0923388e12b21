// The long-running operations the management side has accepted, by id, for
// their status resource. A simulated operation takes effect when accepted, so
// each one has ended when its status is first asked for.
#pragma once

#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace azsim {

struct AsyncOperation {
    std::string id;
    std::string startTime;
    std::string endTime;
    std::string status;  // "Succeeded", "Failed", "Canceled" or "InProgress"
    nlohmann::json result;  // what the operation's "Location" answers once it has ended; null for no body
};

class AsyncOperations {
public:
    // Records a new operation that has succeeded with `result`; returns its id.
    std::string succeeded(const nlohmann::json& result = nullptr);
    std::optional<AsyncOperation> find(const std::string& id) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, AsyncOperation> byId_;
};

}  // namespace azsim
