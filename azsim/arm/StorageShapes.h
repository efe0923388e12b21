// Resource Manager's JSON shape of a simulated storage account.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "azsim/model/Resources.h"

namespace azsim {

// The blob service's host suffix of the cloud whose Resource Manager answers on `managementHost`
// ("management.azure.com" -> "blob.core.windows.net").
std::string BlobSuffixFor(const std::string& managementHost);

// The account with its primary blob endpoint on `blobSuffix`.
nlohmann::json StorageAccountJson(const std::string& subscription, const StorageAccount& account,
                                  const std::string& blobSuffix);

}  // namespace azsim
