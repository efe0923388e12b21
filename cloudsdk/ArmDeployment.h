// A new VM deployed over Resource Manager from a VM record. What the record names is read and
// resolved first: the group and its region, the disks, the networks, subnets and security groups,
// and the interface and address a redeployment of the name takes over. Then the managed disks
// imported from staged page blobs, the public IP address, the network interfaces and the VM are
// put, in that order (each needs the one before), everything new tagged with the job. The cloud
// checks the VM itself (size, zones, generation, disks free, premium storage, slots); when it
// refuses, or any step fails before the VM exists, what this call created is deleted again.
// A clone's copies of its source's disks are made first, and deleted alike.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cloudsdk/rest/ArmClient.h"
#include "cloudsdk/rest/BlobClient.h"
#include "plugin/frame/records/Records.h"

namespace AzureSDKCppBridge {

struct DeploymentAsk {
    VMInfoStructs::SVMInfo vm;
    // The OS disk by name; empty: the record's own mark. An unmanaged VM's OS disk may be named by
    // this alone: the page blob of that name in the VM's storage account.
    std::string osDiskName;
    // The VM's configuration: its tags, its OS disk's OS type and key vault (an object, maybe empty).
    nlohmann::json config = nlohmann::json::object();
    bool managed = false;  // managed disks: each page blob is imported into a new managed disk
    // The VM runs on copies of the listed disks, made by this call and named after it ("{vm}-osdisk",
    // "{vm}-data{lun}"): a managed disk's copy, or a page blob imported.
    bool copyDisks = false;
    bool publicIp = false;
    bool powerOn = true;  // false: the VM is deallocated once made
    std::string dekBackup;
    std::string kekBackup;
    std::string job;  // the creating job's tag
};

struct DeployedVm {
    bool created = false;  // the VM exists: a failure after that leaves it in place
    std::string guid;
    std::vector<std::string> importedFrom;  // the URLs of the page blobs imported into its disks
};

// Deploys what `ask` describes. Fails with the cloud's error, or with the reason the record cannot
// be deployed as it reads ("Code: message").
rest::ArmResult DeployOverRest(rest::ArmClient& arm, rest::BlobClient& blob, const DeploymentAsk& ask,
                               DeployedVm& out);

// The managed disk a page blob at `url` is imported into: the blob's name without ".vhd".
std::string ImportedDiskNameOf(const std::string& url);

}  // namespace AzureSDKCppBridge
