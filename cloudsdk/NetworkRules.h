// The names and address ranges the cloud accepts for a new virtual network and its subnets.
#pragma once

#include <string>
#include <vector>

#include "plugin/frame/records/VMInfoStructs.h"

namespace AzureSDKCppBridge {

// Empty when the cloud accepts `network` as a new network (an empty address prefix and no subnets
// take the defaults); otherwise the first value it refuses, with the rule that value breaks:
// a network name of 2 to 64 characters and a subnet name of 1 to 80, each of letters, digits,
// '_', '.' and '-', beginning with a letter or digit and ending with a letter, digit or '_';
// an address prefix "a.b.c.d/n" with parts 0-255, n from 2 to 29 and no bits set past the first n,
// with room for a range of at least /29 per subnet.
std::string NetworkRequestProblem(const VMInfoStructs::SNetworkInfo& network);

// Up to `count` subnet ranges cut in turn from the accepted prefix `network` ("10.0.0.0/16"): /24
// ranges when the network is /24 or wider and they fit, else the widest equal ranges that fit (at
// most /29); fewer than `count` when the network cannot hold that many.
std::vector<std::string> SubnetPrefixes(const std::string& network, std::size_t count);

}  // namespace AzureSDKCppBridge
