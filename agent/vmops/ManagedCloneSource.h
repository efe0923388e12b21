// The source a clone of a VM on managed disks is made from. The plugin makes each new disk from
// the integrity snapshot of a page blob in the "vhds" container of the clone's storage account,
// the blob that the clone request's entry for that disk names. A managed disk has no such blob,
// so each disk's snapshot of the chosen set is first copied into a page blob there, and the
// copies are snapshotted as one set, whose GUID the request then names. Only what this object
// created is removed, when it goes.
#pragma once

#include <string>
#include <vector>

#include "agent/host/AgentCloud.h"
#include "cloudsdk/AzureSDKCppBridge.h"

namespace vsagent {

class ManagedCloneSource {
public:
    ManagedCloneSource(const CloudCredentials& credentials, long long jobId);
    ~ManagedCloneSource();
    ManagedCloneSource(const ManagedCloneSource&) = delete;
    ManagedCloneSource& operator=(const ManagedCloneSource&) = delete;

    // Copies the disks of `source` as of its snapshot set `snapshotSet` into `clone.storageAccount`
    // (an account of the source's region when none is given), and fills `clone.disks` (the source's,
    // in its order) with the blobs' names and the new set's GUID. False with `error` set.
    bool stage(const SVMInfo& source, const std::string& snapshotSet, SVMInfo& clone, std::string& error);

private:
    bool chooseAccount(const SVMInfo& source, SVMInfo& clone, std::string& error);
    bool copyDisk(const SDisk& disk, const std::string& snapshotSet, const std::string& blobName, SDisk& copy,
                  std::string& error);
    bool fail(const std::string& what, std::string& error);

    AzureSDKCppBridge::CAzureSDKCppBridge sdk_;
    std::string account_;
    bool createdContainer_ = false;
    std::vector<std::string> blobs_;
    std::vector<SDisk> copies_;
    std::string copiesSet_;
};

}  // namespace vsagent
