#include "cloudsdk/VmCreation.h"

namespace AzureSDKCppBridge {

std::string ConfigText(const nlohmann::json& config, const char* pointer) {
    const nlohmann::json::json_pointer at(pointer);
    return config.contains(at) && config.at(at).is_string() ? config.at(at).get<std::string>() : std::string();
}

}  // namespace AzureSDKCppBridge
