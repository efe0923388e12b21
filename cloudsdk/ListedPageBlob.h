// A page blob as its container lists it: whether it is there, whether a VM leases it, and its
// metadata (the job that created it, a registered OS type, a replica's marks).
#pragma once

#include <map>
#include <string>

#include "cloudsdk/BlobAddress.h"
#include "cloudsdk/rest/ArmClient.h"
#include "cloudsdk/rest/BlobClient.h"

namespace AzureSDKCppBridge {

struct ListedPageBlob {
    bool found = false;
    bool leased = false;
    std::map<std::string, std::string> metadata;

    // The value of metadata `name` (any case); empty when absent.
    std::string value(const std::string& name) const;
};

// Lists the blob at `address` (every part of its container's list with that prefix). A container
// that is not there lists nothing; any other failure fails with the service's code and text.
rest::ArmResult ListPageBlob(rest::BlobClient& blob, const BlobAddress& address, ListedPageBlob& out);

}  // namespace AzureSDKCppBridge
