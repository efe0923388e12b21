#include "azsim/arm/StorageShapes.h"

#include <boost/algorithm/string/predicate.hpp>

namespace azsim {

std::string BlobSuffixFor(const std::string& managementHost) {
    std::string host = managementHost.substr(0, managementHost.find(':'));
    const std::string::size_type dot = host.find('.');
    const std::string domain = dot == std::string::npos ? host : host.substr(dot + 1);
    // The public cloud's storage lives under another domain; the others share theirs, and Azure
    // Stack Hub's regions name the blob service without "core".
    if (boost::algorithm::iequals(domain, "azure.com")) return "blob.core.windows.net";
    if (boost::algorithm::icontains(domain, "azurestack")) return "blob." + domain;
    return "blob.core." + domain;
}

nlohmann::json StorageAccountJson(const std::string& subscription, const StorageAccount& account,
                                  const std::string& blobSuffix) {
    const bool premium = boost::algorithm::istarts_with(account.sku, "Premium");
    return {{"id", "/subscriptions/" + subscription + "/resourceGroups/" + account.resourceGroup +
                       "/providers/Microsoft.Storage/storageAccounts/" + account.name},
            {"name", account.name},
            {"type", "Microsoft.Storage/storageAccounts"},
            {"location", account.region},
            {"kind", account.kind},
            {"sku", {{"name", account.sku}, {"tier", premium ? "Premium" : "Standard"}}},
            {"tags", nlohmann::json::object()},
            {"properties",
             {{"provisioningState", "Succeeded"},
              {"primaryLocation", account.region},
              {"statusOfPrimary", "available"},
              {"primaryEndpoints", {{"blob", "https://" + account.name + "." + blobSuffix + "/"}}}}}};
}

}  // namespace azsim
