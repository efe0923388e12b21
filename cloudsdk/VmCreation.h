// Creating a VM from a checked deployment request: the VM, the managed disks it
// imports from page blobs, its network interfaces, public IP and the record of
// the deployment, in one change of the state document. Restores, deploys and
// clones all end here.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "azsim/model/StateDocument.h"
#include "cloudsdk/DeploymentRequest.h"

namespace AzureSDKCppBridge {

// The metadata key with which a page blob registered as an OS disk records its OS type.
constexpr const char* kRegisteredOsTypeTag = "osType";
// The member that marks a VM configuration as a deferred deployment's; it holds the VM's managed
// flag ("managed") and key backups ("dekBackup", "kekBackup"), which DeployVMFromConfig applies.
constexpr const char* kDeferredDeploymentMember = "deferredDeployment";

struct CreatedVm {
    std::string guid;
    std::vector<azsim::BlobKey> newBlobs;     // data of the managed disks made from staged blobs
    std::vector<azsim::BlobKey> stagedBlobs;  // the staged blobs they were made from
};

struct CreationOptions {
    std::string jobId;  // the creating job's mark (CreatedByJob.h)
    bool powerOn = true;  // false: the VM is created deallocated
    std::string dekBackup;
    std::string kekBackup;
    std::string kind;  // leads the deployment record's name: "restore", "deploy", "clone"
};

// A string member at a JSON pointer of the configuration, or empty.
std::string ConfigText(const nlohmann::json& config, const char* pointer);

// Creates what the checked request `r` describes, everything tagged with the job. Reads the
// request only before it changes the document; the data of disks it imports is listed in
// `out.newBlobs` so that the caller can delete it when the document is not saved.
void CreateVm(azsim::StateDocument& doc, azsim::PageBlobStore& store, const DeploymentRequest& r,
              const CreationOptions& o, CreatedVm& out);

}  // namespace AzureSDKCppBridge
