// Existence questions asked of the SDK wrapper, read as three answers. The wrapper
// answers false both for "does not exist" and for "could not ask"; only its
// not-found code is a definite absence. A caller that gets Unknown must fail its
// step with the wrapper's code and text instead of treating the thing as absent.
#pragma once

#include <string>

#include "cloudsdk/AzureSDKCppBridge.h"

enum class Presence { Present, Absent, Unknown };

Presence BlobPresence(AzureSDKCppBridge::CAzureSDKCppBridge& sdk, const std::string& resourceGroup,
                      const std::string& storageAccount, const std::string& container, const std::string& blob);

Presence ContainerPresence(AzureSDKCppBridge::CAzureSDKCppBridge& sdk, const std::string& resourceGroup,
                           const std::string& storageAccount, const std::string& container);
