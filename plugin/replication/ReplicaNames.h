// Names and tags that identify a replica's page blobs from one replication run to the next.
#pragma once

#include <string>

// The tag on each destination blob that holds its disk's replication GUID; read without regard to case.
constexpr const char* kReplicationDiskGuidTag = "_NX_REPLICATION_DISK_GUID_";

// The destination blob name of a replicated disk: "<group>-<vm>.vhd" for the OS disk, else
// "<group>-<vm>-<n>.vhd" with n counting the virtual disks in list order from 0.
std::string ReplicaBlobName(const std::string& resourceGroup, const std::string& vmName, bool isOsDisk, int n);
