// The names and address ranges the cloud accepts for a new virtual network and its subnets.
#pragma once

#include <string>

#include "plugin/frame/records/VMInfoStructs.h"

namespace AzureSDKCppBridge {

// Empty when the cloud accepts `network` as a new network (an empty address prefix and no subnets
// take the defaults); otherwise the first value it refuses, with the rule that value breaks:
// a network name of 2 to 64 characters and a subnet name of 1 to 80, each of letters, digits,
// '_', '.' and '-', beginning with a letter or digit and ending with a letter, digit or '_';
// an address prefix "a.b.c.d/n" with parts 0-255, n from 2 to 29 and no bits set past the first n.
std::string NetworkRequestProblem(const VMInfoStructs::SNetworkInfo& network);

}  // namespace AzureSDKCppBridge
