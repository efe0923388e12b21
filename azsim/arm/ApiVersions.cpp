#include "azsim/arm/ApiVersions.h"

#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/predicate.hpp>

#include <map>
#include <set>

#include "azsim/arm/ArmReply.h"

namespace azsim {

namespace {

using Versions = std::set<std::string>;

// By provider namespace; "" is the subscription itself, "Microsoft.Resources" also its groups.
// Each set holds the versions of the hybrid profile the command-line client uses as well as the
// current ones the wrapper pins.
const std::map<std::string, Versions, std::less<>>& KnownVersions() {
    static const std::map<std::string, Versions, std::less<>> known = {
        {"", {"2016-06-01", "2019-11-01", "2020-01-01", "2022-12-01"}},
        {"Microsoft.Resources", {"2018-05-01", "2019-10-01", "2020-06-01", "2021-04-01", "2022-09-01"}},
        {"Microsoft.Compute",
         {"2019-07-01", "2020-05-01", "2020-06-01", "2020-06-30", "2020-09-30", "2020-12-01", "2021-03-01",
          "2021-04-01", "2021-07-01", "2021-12-01", "2022-03-01", "2022-03-02", "2022-07-02", "2022-08-01",
          "2022-11-01", "2023-01-02", "2023-03-01", "2023-04-02", "2023-07-01", "2023-09-01", "2023-10-02",
          "2024-03-01", "2024-03-02"}},
        {"Microsoft.Network",
         {"2018-11-01", "2020-11-01", "2021-05-01", "2022-07-01", "2023-04-01", "2023-05-01", "2023-09-01"}},
        {"Microsoft.Storage", {"2019-06-01", "2021-04-01", "2021-09-01", "2022-09-01", "2023-01-01", "2023-05-01"}},
    };
    return known;
}

// The provider namespace a path addresses ("Microsoft.Compute"), "Microsoft.Resources" for a
// path under the subscription that names none, and "" for the subscription itself and its locations.
std::string ProviderOf(const Segments& path) {
    for (std::size_t i = 0; i + 1 < path.size(); ++i)
        if (boost::algorithm::iequals(path[i], "providers")) {
            for (const auto& [name, versions] : KnownVersions())
                if (boost::algorithm::iequals(name, path[i + 1])) return name;
            return path[i + 1];
        }
    // The subscription's locations are versioned with the subscription itself.
    const bool subscription = path.size() == 2 || (path.size() == 3 && boost::algorithm::iequals(path[2], "locations"));
    return subscription ? std::string() : std::string("Microsoft.Resources");
}

}  // namespace

bool CheckApiVersion(const httplib::Request& req, httplib::Response& res, const Segments& path) {
    const std::string version = req.get_param_value("api-version");
    if (version.empty()) {
        sendArmError(res, 400, "MissingApiVersionParameter",
                     "The api-version query parameter (?api-version=) is required for all requests.");
        return false;
    }
    const std::string provider = ProviderOf(path);
    const auto found = KnownVersions().find(provider);
    if (found != KnownVersions().end() && found->second.count(version)) return true;
    const Versions none;
    const Versions& known = found == KnownVersions().end() ? none : found->second;
    if (!provider.empty() && provider != "Microsoft.Resources")
        sendArmError(res, 400, "NoRegisteredProviderFound",
                     "No registered resource provider found for API version '" + version + "' of namespace '" +
                         provider + "'. The supported api-versions are '" + boost::algorithm::join(known, ", ") +
                         "'.");
    else
        sendArmError(res, 400, "InvalidApiVersionParameter",
                     "The api-version '" + version + "' is invalid. The supported versions are '" +
                         boost::algorithm::join(known, ",") + "'.");
    return false;
}

}  // namespace azsim
