#include "agent/vmops/ManagedCloneSource.h"

#include <stdexcept>

#include "agent/host/AgentHost.h"
#include "cloudsdk/SdkErrorCodes.h"

namespace vsagent {

namespace {

const char* const kVhds = "vhds";

}  // namespace

ManagedCloneSource::ManagedCloneSource(const CloudCredentials& credentials, long long jobId) {
    if (!sdk_.Initialize(AgentHost::kInstance, AgentHost::kApplicationName, jobId, VSINST_AZURE_RESOURCE_MANAGER) ||
        !sdk_.Connect(credentials.subscriptionId, credentials.applicationId, credentials.secret))
        throw std::runtime_error("cannot connect to the subscription: " + sdk_.GetLastErrorString());
}

ManagedCloneSource::~ManagedCloneSource() {
    // Best effort: what cannot be removed stays with the set GUID or the "vhds" names it was given.
    if (!copiesSet_.empty()) sdk_.DeleteDiskSnapshots(copiesSet_, copies_, "", false);
    for (const std::string& blob : blobs_) sdk_.DeletePageBlob("", account_, kVhds, blob);
    if (createdContainer_) sdk_.DeleteStorageContainer("", account_, kVhds);
}

bool ManagedCloneSource::fail(const std::string& what, std::string& error) {
    error = what + " failed: " + sdk_.GetLastErrorString();
    return false;
}

bool ManagedCloneSource::chooseAccount(const SVMInfo& source, SVMInfo& clone, std::string& error) {
    if (clone.storageAccount.empty()) {
        std::vector<SDatastoreInfo> accounts;
        if (!sdk_.GetStorageAccountInfoListForRegion(source.region, 0, 0, accounts))
            return fail("listing the storage accounts of region [" + source.region + "]", error);
        if (accounts.empty()) {
            error = "region [" + source.region + "] has no storage account to copy the disks through; pass --storage ACCOUNT";
            return false;
        }
        clone.storageAccount = accounts.front().name;
    }
    account_ = clone.storageAccount;
    if (sdk_.DoesContainerExist("", account_, kVhds)) return true;
    // Only a definite "not found" is absence; a question that could not be answered stops here.
    if (sdk_.GetLastErrorCode() != AzureSDKCppBridge::SDK_ERR_NOT_FOUND)
        return fail("asking for container [" + std::string(kVhds) + "] of storage account [" + account_ + "]", error);
    if (!sdk_.CreateStorageContainer("", account_, kVhds))
        return fail("creating container [" + std::string(kVhds) + "] in storage account [" + account_ + "]", error);
    createdContainer_ = true;
    return true;
}

bool ManagedCloneSource::copyDisk(const SDisk& disk, const std::string& snapshotSet, const std::string& blobName,
                                  SDisk& copy, std::string& error) {
    std::string snapshot;
    // A VM snapshot carries the snapshot engine's marker, not a backup's.
    if (!sdk_.GetManagedDiskSnapshotIDForSnapshotGUID(disk.managedDiskId, snapshotSet, true, "", snapshot))
        return fail("looking up the snapshot of disk [" + disk.name + "]", error);
    if (snapshot.empty()) {
        error = "snapshot [" + snapshotSet + "] holds no snapshot of disk [" + disk.name + "]";
        return false;
    }
    std::string uri;
    if (!sdk_.CreateDiskFromSnapshot(snapshot, account_, kVhds, blobName, snapshotSet, uri, false, true))
        return fail("copying the snapshot of disk [" + disk.name + "] into blob [" + blobName + "]", error);
    blobs_.push_back(blobName);
    copy = SDisk();
    copy.name = blobName;
    copy.uri = uri;
    copy.storageAccount = account_;
    copy.isOsDisk = disk.isOsDisk;
    return true;
}

bool ManagedCloneSource::stage(const SVMInfo& source, const std::string& snapshotSet, SVMInfo& clone,
                               std::string& error) {
    if (!chooseAccount(source, clone, error)) return false;
    std::vector<SDisk> copies(source.disks.size());
    for (std::size_t i = 0; i < source.disks.size(); ++i) {
        const std::string blob = clone.name + "-clone-source-" + std::to_string(i) + ".vhd";
        if (!copyDisk(source.disks[i], snapshotSet, blob, copies[i], error)) return false;
    }
    std::vector<SDisk> snapshotted;
    std::string set;
    if (!sdk_.CreateDiskSnapshots(copies, source.resourceGroup, source.region, clone.name, 0, 0, set, snapshotted))
        return fail("snapshotting the copies of the disks of VM [" + source.name + "]", error);
    copiesSet_ = set;
    copies_ = copies;
    clone.disks = source.disks;
    for (std::size_t i = 0; i < copies.size(); ++i) clone.disks[i].uri = copies[i].name;
    if (!clone.disks.empty()) clone.disks.front().integritySnapshot = set;
    return true;
}

}  // namespace vsagent
