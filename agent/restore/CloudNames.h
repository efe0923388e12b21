// The cloud's rules for the names a restore gives or is given, checked before
// anything is created, so that a name the cloud would refuse (or one that is a
// path, or holds a newline or quotes) never reaches it.
#pragma once

#include <string>

namespace vsagent {

enum class CloudName { Vm, ManagedDisk, PageBlob, ResourceGroup, StorageAccount, Container };

// Empty when `name` may name a resource of `kind`; otherwise a sentence naming the
// value (control characters shown as '?') and the rule it breaks.
std::string CloudNameProblem(CloudName kind, const std::string& name);

// The same for "account" or "account\container", the placement of page blobs.
std::string PlacementProblem(const std::string& placement);

}  // namespace vsagent
