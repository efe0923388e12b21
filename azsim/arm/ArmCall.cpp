#include "azsim/arm/ArmCall.h"

#include <boost/algorithm/string/predicate.hpp>

namespace azsim {

Segments SplitPath(const std::string& path) {
    Segments out;
    for (std::size_t start = 1; start <= path.size();) {
        std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) out.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

bool ArmCall::shaped(std::initializer_list<const char*> pattern) const {
    if (path.size() != pattern.size()) return false;
    std::size_t i = 0;
    for (const char* part : pattern) {
        if (std::string(part) != "*" && !boost::algorithm::iequals(path[i], part)) return false;
        ++i;
    }
    return true;
}

void ArmCall::accepted(const std::string& provider, const std::string& region, const std::string& apiVersion,
                       const nlohmann::json& result) {
    const std::string id = operations.succeeded(result);
    const std::string statusUrl = "https://" + req.get_header_value("Host") + "/subscriptions/" + subscription() +
                                  "/providers/" + provider + "/locations/" + region + "/operations/" + id +
                                  "?p=" + id + "&api-version=" + apiVersion;
    res.set_header("Azure-AsyncOperation", statusUrl);
    res.set_header("Location", statusUrl + "&monitor=true");
    // The change is made already: the status can be read at once.
    res.set_header("Retry-After", "0");
    res.status = 202;
}

const std::vector<ArmRoutes>& AllArmRoutes() {
    static const std::vector<ArmRoutes> routes = {
        &ServeSubscriptionRoutes,
        &ServeVmStatusRoutes,
        &ServeVirtualMachineRoutes,
        &ServeSnapshotRoutes,
        &ServeDiskRoutes,
        &ServeNetworkRoutes,
        &ServeNetworkWrites,
        &ServeStorageRoutes,
        &ServeLocationRoutes,
        &ServeImageRoutes,
        &ServeContainerRoutes,
    };
    return routes;
}

}  // namespace azsim
