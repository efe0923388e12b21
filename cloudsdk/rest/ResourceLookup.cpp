#include "cloudsdk/rest/ResourceLookup.h"

#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/SdkErrorCodes.h"

namespace AzureSDKCppBridge::rest {

ArmResult ListOfType(ArmClient& arm, const std::string& type, const std::string& apiVersion) {
    return arm.list("/subscriptions/" + arm.subscriptionId() + "/providers/" + type, apiVersion);
}

ArmResult FindByName(ArmClient& arm, const std::string& type, const std::string& apiVersion,
                     const std::string& name, const std::string& what) {
    ArmResult all = ListOfType(arm, type, apiVersion);
    if (!all.ok) return all;
    for (const nlohmann::json& item : all.body)
        if (boost::algorithm::iequals(item.value("name", ""), name)) {
            all.body = item;
            return all;
        }
    ArmResult missing;
    missing.code = SDK_ERR_NOT_FOUND;
    missing.text = "ResourceNotFound: No " + what + " named '" + name + "' exists.";
    return missing;
}

}  // namespace AzureSDKCppBridge::rest
