// Finding a resource the wrapper is asked for by name: the wrapper's
// operations name VMs, disks and snapshots without their resource group,
// so the resource is the one of that name in the subscription's list of its type.
#pragma once

#include <string>

#include "cloudsdk/rest/ArmClient.h"

namespace AzureSDKCppBridge::rest {

// Every resource of `type` ("Microsoft.Compute/disks") in the subscription, every page.
ArmResult ListOfType(ArmClient& arm, const std::string& type, const std::string& apiVersion);

// The resource of `type` named `name` (any case); its JSON is the body. Not found
// (SDK_ERR_NOT_FOUND, with `what` and the name in the text) when the list holds none;
// a list that could not be read fails with its own code and text.
ArmResult FindByName(ArmClient& arm, const std::string& type, const std::string& apiVersion,
                     const std::string& name, const std::string& what);

}  // namespace AzureSDKCppBridge::rest
