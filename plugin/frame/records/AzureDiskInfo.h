// The plugin's record of one disk it reads or writes: the entry of its disk map.
//
// Backup registers one per mounted disk (keyed by disk path), restore one per
// disk to be written; the disk data path looks entries up and updates only the
// entry of the disk it works on.
#pragma once

#include <string>

#include "plugin/frame/records/Enums.h"

struct SAzureDiskInfo {
    std::string vmResourceGroup;      // resource group of the VM (backup) or restore destination
    std::string blobName;             // page-blob or managed-disk name
    UINT64 blobSize = 0;              // bytes; reads are clamped to it
    std::string container;
    std::string dataUrl;              // URL the data path reads
    bool directUpload = false;        // write through a direct-upload managed-disk access URL
    std::string firmware;
    bool isEncrypted = false;
    bool isManaged = false;           // reads go to a snapshot SAS URL without a bearer token
    bool isOsDisk = false;
    bool isSnapCopy = false;          // registered by a snapshot-engine or backup-copy job
    std::string location;
    std::string managedDiskRef;
    std::string originalDiskName;
    bool readsStagingBlob = false;    // reads a staging blob that a failed read recreates once
    std::string resourceGroup;
    std::string snapshotId;
    std::string sourceUri;
    std::string storageAccount;
    std::string uploadAccessUrl;
    bool uploaded = false;
    std::string vmSize;
    bool createdByJob = false;        // this job created the blob or managed disk; only such disks are cleaned up
};
