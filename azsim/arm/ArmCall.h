// One Resource Manager request as a provider's routes see it: the request
// and its answer, the path cut into segments, the subscription's state and
// the table of long-running operations. Each provider's routes take the
// requests whose path and method they serve and leave the others.
#pragma once

#include <httplib.h>

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "azsim/arm/AsyncOperations.h"
#include "azsim/model/SubscriptionState.h"

namespace azsim {

using Segments = std::vector<std::string>;

// The non-empty segments of a path.
Segments SplitPath(const std::string& path);

struct ArmCall {
    const httplib::Request& req;
    httplib::Response& res;
    const Segments& path;
    SubscriptionState& state;
    AsyncOperations& operations;

    bool is(const char* method) const { return req.method == method; }
    // True when the path has the shape of `pattern`, whose "*" segments match any name and
    // others match case-insensitively.
    bool shaped(std::initializer_list<const char*> pattern) const;
    const std::string& subscription() const { return path[1]; }
    // Answers 202 for an operation of `provider` ("Microsoft.Compute") in `region` that has already
    // taken effect: "Azure-AsyncOperation" names its status, "Location" its result (`result`, or none).
    void accepted(const std::string& provider, const std::string& region, const std::string& apiVersion,
                  const nlohmann::json& result = nullptr);
};

// A provider's routes: true when they served the request.
using ArmRoutes = bool (*)(ArmCall& call);

// Every provider's routes, in the order they are tried.
const std::vector<ArmRoutes>& AllArmRoutes();

bool ServeSubscriptionRoutes(ArmCall& call);
bool ServeVmStatusRoutes(ArmCall& call);
bool ServeVirtualMachineRoutes(ArmCall& call);
bool ServeSnapshotRoutes(ArmCall& call);
bool ServeDiskRoutes(ArmCall& call);
bool ServeNetworkRoutes(ArmCall& call);
bool ServeNetworkWrites(ArmCall& call);
bool ServeStorageRoutes(ArmCall& call);
bool ServeLocationRoutes(ArmCall& call);
bool ServeImageRoutes(ArmCall& call);

// Staging and clean-up.
bool ServeContainerRoutes(ArmCall& call);

}  // namespace azsim
